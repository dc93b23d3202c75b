// Helpers of the long module functions (see call_helpers.h).
#include "call_helpers.h"

#include "../lib/convert.h"
#include "../lib/ref.h"

namespace mivo::py::batch {

bool on_main_thread() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) return false;
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  if (!threading) throw_python_error();
  Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  if (!main) throw_python_error();
  Ref ident = Ref::steal(PyObject_GetAttrString(main.get(), "ident"));
  if (!ident) throw_python_error();
  const unsigned long id = PyLong_AsUnsignedLong(ident.get());
  if (id == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw_python_error();
  return id == PyThread_get_thread_ident();
}

bool check_signals(void* context) {
  auto* released = static_cast<Released*>(context);
  PyEval_RestoreThread(released->state);
  const bool go_on = PyErr_CheckSignals() == 0;
  released->state = PyEval_SaveThread();
  return go_on;
}

long long to_integer(PyObject* o, const char* name, int* overflow) {
  Ref index = Ref::steal(PyNumber_Index(o));
  if (!index) {
    name_type_error(name);
    throw_python_error();
  }
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), overflow);
  if (value == -1 && PyErr_Occurred()) throw_python_error();
  return value;
}

}  // namespace mivo::py::batch
