// Pacing of long calls: the work is cut into chunks so that its caller can check for
// a reason to stop (a signal on the interpreter's main thread) between them.
#pragma once

#include <chrono>
#include <exception>

namespace mivo {

// Thrown by Pacer::step when the caller's check asks to stop. Whatever the call had
// written to its outputs by then is incomplete and must be discarded.
class SearchStopped : public std::exception {
 public:
  const char* what() const noexcept override { return "search stopped by its caller"; }
};

// Splits a long call into chunks of about `interval` of work: the call marks the end of
// every small piece of work with step(), and once the interval has passed since the last
// check, step() runs the caller's check. A check returning false stops the call.
class Pacer {
 public:
  using Check = bool (*)(void* context);
  static constexpr std::chrono::milliseconds kInterval{10};

  // Without a check, step() does nothing.
  explicit Pacer(Check check = nullptr, void* context = nullptr,
                 std::chrono::nanoseconds interval = kInterval);

  // Throws SearchStopped when the check, due now, says stop.
  void step();

 private:
  Check check_;
  void* context_;
  std::chrono::nanoseconds interval_;
  std::chrono::steady_clock::time_point due_;
};

}  // namespace mivo
