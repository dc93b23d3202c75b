// A one-time initialiser for lazy lookups that runs Python code.
#pragma once

#include <atomic>
#include <climits>
#include <string>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "errors.h"
#include "messages.h"
#include "python.h"

namespace mivo::py {

// The first caller runs the lookup while holding the interpreter; a thread that
// arrives while it runs releases the interpreter and sleeps until it ends (no C++
// mutex is held across Python code, so the lookup may let other threads in).
//
// The lookup runs Python code (imports, and whatever hooks, finalizers or signal
// handlers run inside them), which may call back into the module on the same thread.
// Such a call cannot wait for a lookup that only its own thread can finish: it fails
// at once with RuntimeError instead. A failed attempt is kept for the rest of the
// process only when it is an ordinary exception that no such re-entry caused; an
// interruption (KeyboardInterrupt, SystemExit), a PanicException or a re-entry error
// propagates and leaves the lookup to the next call, on any thread. So does a C++
// exception thrown by the attempt (a failed allocation): the state never stays
// "running" behind it.
class Once {
  // Sleeping on the state and waking its sleepers. On Linux this is the futex call that
  // std::atomic::wait makes, made directly: libstdc++ 16 moved that wait out of line
  // into a symbol version (GLIBCXX_3.4.35) that the C++ runtimes of the systems our
  // wheels target do not have.
#if defined(__linux__)
  static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);
  static void sleep_while(std::atomic<int>& state, int value) {
    while (state.load(std::memory_order_acquire) == value) {
      syscall(SYS_futex, reinterpret_cast<int*>(&state), FUTEX_WAIT_PRIVATE, value, nullptr,
              nullptr, 0);
    }
  }
  static void wake_all(std::atomic<int>& state) {
    syscall(SYS_futex, reinterpret_cast<int*>(&state), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
  }
#else
  static void sleep_while(std::atomic<int>& state, int value) {
    state.wait(value, std::memory_order_acquire);
  }
  static void wake_all(std::atomic<int>& state) { state.notify_all(); }
#endif

 public:
  // `what` names the lookup in the re-entry error.
  explicit constexpr Once(const char* what) : what_(what) {}

  // attempt() performs the lookup and publishes its result; it returns false with a
  // Python error pending when it fails. keep(exc) records a failure that is kept;
  // later calls then return without running anything, and callers read what was
  // published or kept. Throws PythonError (or the attempt's C++ exception) when the
  // failure is not kept.
  // True once a lookup has completed (published, or its failure kept).
  bool done() const { return state_.load(std::memory_order_acquire) == kDone; }

  template <class Attempt, class Keep>
  void run(Attempt&& attempt, Keep&& keep) {
    const unsigned long me = PyThread_get_thread_ident();
    for (;;) {
      const int state = state_.load(std::memory_order_acquire);
      if (state == kDone) return;
      if (state == kRunning) {
        // Only this thread ever stores its own id, and it clears it before it lets
        // the state go, so seeing it here means this thread runs the lookup.
        if (owner_.load(std::memory_order_relaxed) == me) {
          reentered_ = true;
          throw_error(PyExc_RuntimeError, lookup_reentered(what_));
        }
        // Sleeps until the owner lets the state go (Release notifies): a lookup may take
        // seconds (an import from a slow disk), and a spinning waiter would burn a core.
        Py_BEGIN_ALLOW_THREADS
        sleep_while(state_, kRunning);
        Py_END_ALLOW_THREADS
        continue;  // done, or given back by an interrupted attempt: look again
      }
      int expected = kIdle;
      if (!state_.compare_exchange_strong(expected, kRunning, std::memory_order_acq_rel)) continue;
      owner_.store(me, std::memory_order_relaxed);
      reentered_ = false;
      Release release{*this};
      if (!attempt()) {
        if (reentered_ || !PyErr_ExceptionMatches(PyExc_Exception)) throw_python_error();
        Ref exc = fetch_exception();
        keep(exc.get());
      }
      release.state = kDone;
      return;
    }
  }

 private:
  static constexpr int kIdle = 0, kRunning = 1, kDone = 2;

  // Lets the state go on every exit of an attempt: idle unless it completed.
  struct Release {
    Once& once;
    int state = kIdle;
    ~Release() {
      once.owner_.store(0, std::memory_order_relaxed);
      once.state_.store(state, std::memory_order_release);
      wake_all(once.state_);
    }
  };

  const char* what_;
  std::atomic<int> state_{kIdle};
  std::atomic<unsigned long> owner_{0};
  bool reentered_ = false;  // read and written only by the thread that owns the lookup
};

}  // namespace mivo::py
