// The pacer of long calls (see pacing.h).
#include "pacing.h"

namespace mivo {

Pacer::Pacer(Check check, void* context, std::chrono::nanoseconds interval)
    : check_(check),
      context_(context),
      interval_(interval),
      due_(std::chrono::steady_clock::now() + interval) {}

void Pacer::step() {
  if (check_ == nullptr) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < due_) return;
  if (!check_(context_)) throw SearchStopped();
  // The next chunk is counted from the end of the check: a check that waited for the
  // interpreter lock must not make the following chunks shorter.
  due_ = std::chrono::steady_clock::now() + interval_;
}

}  // namespace mivo
