// Helpers of the module functions that compute for long: the interpreter lock released
// around the work with signals checked between its chunks, and the binding steps they
// share (keyword-only parameters, integers that may be negative).
#pragma once

#include <exception>
#include <utility>

#include "../lib/args.h"
#include "../lib/errors.h"
#include "../lib/messages.h"
#include "../lib/numpy_api.h"
#include "../lib/python.h"
#include "../lib/ref.h"
#include "../lib/results.h"
#include "../pacing.h"

namespace mivo::py::batch {

// True on the main thread of the main interpreter, the only place where Python runs
// signal handlers: only there does a long call take the lock back to run them.
bool on_main_thread();

// The thread state put aside while the lock is released.
struct Released {
  PyThreadState* state = nullptr;
};

// Between chunks of work on the main thread: takes the lock, runs the signal handlers,
// releases the lock again. A handler that raises leaves its exception set and stops
// the work.
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
  } catch (const SearchStopped&) {
    throw PythonError{};
  }
}

// o as an integer (an int or anything with __index__), else the TypeError naming the
// argument; *overflow is set as PyLong_AsLongLongAndOverflow sets it.
long long to_integer(PyObject* o, const char* name, int* overflow);

// Refuses more than `allowed` positional arguments: the rest are keyword-only.
template <class Sig>
void require_positional_at_most(const Sig& sig, Py_ssize_t nargs, size_t allowed) {
  const size_t given = static_cast<size_t>(PyVectorcall_NARGS(nargs));
  if (given > allowed) {
    throw_error(PyExc_TypeError, too_many_positional(sig.name, allowed, allowed, given));
  }
}

// A result buffer as an array of `rows` x `columns`.
template <class T>
PyObject* matrix_result(ResultBuffer<T>& buffer, uint64_t rows, uint64_t columns,
                        numpy::TypeNum type) {
  Ref flat = Ref::steal(buffer.to_array(type));
  return checked_new(
      PyObject_CallMethod(flat.get(), "reshape", "(nn)", static_cast<Py_ssize_t>(rows),
                          static_cast<Py_ssize_t>(columns)),
      kWhatArray);
}

}  // namespace mivo::py::batch
