// Long native work with the interpreter lock released: other threads run meanwhile, and
// on the main thread the work is paced so that signal handlers run between its pieces.
#pragma once

#include <exception>

#include "../pacing.h"
#include "errors.h"
#include "python.h"

namespace mivo::py {

// True on the main thread of the main interpreter, the only place where Python runs
// signal handlers: only there does a long call take the lock back to run them.
bool on_main_thread();

// The thread state put aside while the lock is released.
struct Released {
  PyThreadState* state = nullptr;
};

// Between pieces of work on the main thread: takes the lock, runs the signal handlers,
// releases the lock again. A handler that raises leaves its exception set and stops
// the work. `context` is the Released of the call.
bool check_signals(void* context);

// Runs work(pacer) with the lock released, and rethrows whatever it threw once the
// lock is held again; a stop by a signal handler becomes that handler's exception.
// The work must not touch Python objects.
template <class F>
void run_released(F&& work) {
  const bool main = on_main_thread();
  Released released;
  std::exception_ptr failure;
  released.state = PyEval_SaveThread();
  try {
    Pacer pacer(main ? check_signals : nullptr, &released);
    work(pacer);
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(released.state);
  if (!failure) return;
  try {
    std::rethrow_exception(failure);
  } catch (const Stopped&) {
    throw PythonError{};
  }
}

}  // namespace mivo::py
