// The one include of the interpreter's headers, with shims for older versions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace mivo::py {

// Converts an int (any subclass) to uint64; OverflowError for negatives and values
// of 2^64 or more (PyLong_AsUInt64 would raise ValueError for negatives). Returns
// false with the error set.
inline bool long_as_u64(PyObject* v, uint64_t* out) {
  unsigned long long r = PyLong_AsUnsignedLongLong(v);
  if (r == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = r;
  return true;
}

}  // namespace mivo::py
