// Binding steps of the long module functions (see call_helpers.h).
#include "call_helpers.h"

#include "../lib/convert.h"
#include "../lib/errors.h"
#include "../lib/ref.h"

namespace mivo::py::batch {

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
