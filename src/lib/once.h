// A one-time initialiser for lazy lookups that runs Python code.
#pragma once

#include <atomic>
#include <thread>

#include "python.h"

namespace mivo::py {

// The first caller runs the initialiser while holding the interpreter; a thread
// that arrives while it runs releases the interpreter while it waits (no C++ mutex
// is held across Python code, so the initialiser may let other threads in).
class Once {
 public:
  template <class F>
  void run(F&& init) {
    if (state_.load(std::memory_order_acquire) == kDone) return;
    int expected = kIdle;
    if (state_.compare_exchange_strong(expected, kRunning, std::memory_order_acq_rel)) {
      init();
      state_.store(kDone, std::memory_order_release);
      return;
    }
    Py_BEGIN_ALLOW_THREADS
    while (state_.load(std::memory_order_acquire) != kDone) std::this_thread::yield();
    Py_END_ALLOW_THREADS
  }

 private:
  static constexpr int kIdle = 0, kRunning = 1, kDone = 2;
  std::atomic<int> state_{kIdle};
};

}  // namespace mivo::py
