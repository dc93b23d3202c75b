// NumPy's array interface, reached through its capsule on first use.
//
// Only a handful of stable entries of the interface table and the leading fields of
// the array struct are used; both are the same in NumPy 1.x and 2.x, so one binary
// serves either without NumPy's headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "python.h"

namespace mivo::py::numpy {

enum TypeNum : int { kUInt8 = 2, kUInt32 = 6, kFloat32 = 11 };

inline constexpr int kCContiguous = 0x0001;
inline constexpr int kFContiguous = 0x0002;
inline constexpr int kAligned = 0x0100;
inline constexpr int kWriteable = 0x0400;

// The leading fields of every ndarray.
struct ArrayFields {
  PyObject_HEAD
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

inline ArrayFields* fields(PyObject* array) { return reinterpret_cast<ArrayFields*>(array); }

// Loads the interface on first use. Throws an internal failure whose message begins
// "Failed to access NumPy array API capsule" when NumPy cannot be imported (then and
// on every later call). An interrupted lookup, or a call made on the looking-up thread
// by code that the lookup runs, propagates its error and keeps nothing.
void ensure_loaded();

// True when the interface is loaded (loading it on first use); false when NumPy
// cannot be imported, for callers that can do without it. Interruptions and
// re-entries propagate as in ensure_loaded.
bool available();

// True when o is an ndarray (or subclass) with exactly ndim dimensions whose element
// type is equivalent to type_num (no byte swap, no cast). Loads the interface.
bool is_array_of(PyObject* o, int ndim, TypeNum type_num);

// True when o's type is exactly ndarray (not a subclass). Loads the interface.
bool is_exact_array(PyObject* o);

// A new one-dimensional array of `count` elements over `data`, which the array
// takes over (freed with std::free when the array dies). On failure `data` is freed
// and an internal failure is thrown.
PyObject* array_over(void* data, size_t count, TypeNum type_num);

}  // namespace mivo::py::numpy
