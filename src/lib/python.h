// The one include of the interpreter's headers, with shims for older versions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace mivo::py {

// Converts an int (any subclass) to uint64; OverflowError for negatives and values
// of 2^64 or more. Returns false with the error set.
inline bool long_as_u64(PyObject* v, uint64_t* out) {
#if PY_VERSION_HEX >= 0x030E0000
  return PyLong_AsUInt64(v, out) == 0;
#else
  unsigned long long r = PyLong_AsUnsignedLongLong(v);
  if (r == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = r;
  return true;
#endif
}

}  // namespace mivo::py
