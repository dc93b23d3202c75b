// The per-object access state: shared readers or one exclusive writer, never waiting.
#pragma once

#include <atomic>
#include <cstdint>

#include "errors.h"
#include "messages.h"

namespace mivo::py {

// 0 when free, n > 0 with n shared holders, -1 with one exclusive holder.
struct AccessState {
  std::atomic<int64_t> count{0};
};

enum class Access { Shared, Exclusive };

// Holds shared or exclusive access for its lifetime. A conflicting request raises
// RuntimeError at once (throws PythonError); nobody waits.
class AccessGuard {
 public:
  AccessGuard() = default;
  AccessGuard(AccessState& state, Access mode) { acquire(state, mode); }
  AccessGuard(AccessGuard&& other) noexcept : state_(other.state_), mode_(other.mode_) {
    other.state_ = nullptr;
  }
  AccessGuard& operator=(AccessGuard&&) = delete;
  AccessGuard(const AccessGuard&) = delete;
  ~AccessGuard() { release(); }

 private:
  void acquire(AccessState& state, Access mode) {
    if (mode == Access::Exclusive) {
      int64_t expected = 0;
      if (!state.count.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
        throw_error(PyExc_RuntimeError, kAlreadyBorrowed);
      }
    } else {
      int64_t current = state.count.load(std::memory_order_relaxed);
      do {
        if (current == -1) throw_error(PyExc_RuntimeError, kAlreadyMutablyBorrowed);
      } while (!state.count.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
    }
    state_ = &state;
    mode_ = mode;
  }
  void release() noexcept {
    if (state_ == nullptr) return;
    if (mode_ == Access::Exclusive) {
      state_->count.store(0, std::memory_order_release);
    } else {
      state_->count.fetch_sub(1, std::memory_order_release);
    }
    state_ = nullptr;
  }

  AccessState* state_ = nullptr;
  Access mode_ = Access::Shared;
};

}  // namespace mivo::py
