// Objects that belong to one interpreter, and where each interpreter's are kept.
#pragma once

#include <atomic>

#include "errors.h"
#include "messages.h"
#include "python.h"
#include "ref.h"

namespace mivo::py {

// True when the running interpreter is the process's main one.
inline bool in_main_interpreter() { return PyInterpreterState_Get() == PyInterpreterState_Main(); }

// Every object the module builds (its classes, PanicException, the array holder's
// type) belongs to the interpreter that built it and may be used only while that
// interpreter lives. The main interpreter lives as long as the process, so its objects
// are kept in process-wide slots. Any other interpreter (a legacy sub-interpreter,
// which shares this module) keeps its own in the dictionary that the interpreter gives
// extensions for such data: they are released with it, and no object of a finished
// interpreter is ever reached from another.

// The running interpreter's object called `key`, as a borrowed reference that lives as
// long as the interpreter: `slot` in the main interpreter, an entry of the
// interpreter's dictionary elsewhere. When there is none yet, make() builds it (a new
// reference, or null with a Python error set) and the first one published wins a race.
// Throws PythonError (never through throw_python_error, which itself looks up
// PanicException here).
template <class Make>
PyObject* interpreter_object(std::atomic<PyObject*>& slot, const char* key, Make&& make) {
  if (in_main_interpreter()) {
    PyObject* object = slot.load(std::memory_order_acquire);
    if (object != nullptr) return object;
    PyObject* made = make();
    if (made == nullptr) throw PythonError{};
    PyObject* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
      Py_DECREF(made);  // another thread won; its object lives for the process
      return expected;
    }
    return made;
  }
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (dict == nullptr) {  // the interpreter could not allocate it
    PyErr_NoMemory();
    throw PythonError{};
  }
  Ref name = Ref::steal(PyUnicode_FromFormat(kInterpreterKeyFormat, key));
  if (!name) throw PythonError{};
  PyObject* object = PyDict_GetItemWithError(dict, name.get());
  if (object != nullptr) return object;
  if (PyErr_Occurred()) throw PythonError{};
  Ref made = Ref::steal(make());
  if (!made) throw PythonError{};
  object = PyDict_SetDefault(dict, name.get(), made.get());  // keeps a racing winner's
  if (object == nullptr) throw PythonError{};
  return object;
}

// The running interpreter's object called `key` if it was built, else null. Call it
// with no Python error pending; a failed look-up counts as absent.
inline PyObject* existing_interpreter_object(std::atomic<PyObject*>& slot, const char* key) {
  if (in_main_interpreter()) return slot.load(std::memory_order_acquire);
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  Ref name = dict ? Ref::steal(PyUnicode_FromFormat(kInterpreterKeyFormat, key)) : Ref();
  PyObject* object = name ? PyDict_GetItemWithError(dict, name.get()) : nullptr;
  if (object == nullptr) PyErr_Clear();
  return object;
}

}  // namespace mivo::py
