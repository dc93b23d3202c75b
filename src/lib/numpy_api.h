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

// NumPy's type numbers; (unsigned) long long is 64 bits on every platform NumPy supports.
enum TypeNum : int { kUInt8 = 2, kInt32 = 5, kUInt32 = 6, kInt64 = 9, kUInt64 = 10, kFloat32 = 11 };

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

enum class Order { C, Any };

// True when an array's elements lie in one aligned block that can be read in place:
// contiguous in C order, or with Order::Any in either order. Empty arrays are the
// callers' to decide: NumPy may give them no data at all.
inline bool is_contiguous_block(const ArrayFields* a, Order order) {
  const int contiguous = order == Order::C ? kCContiguous : (kCContiguous | kFContiguous);
  return (a->flags & kAligned) && (a->flags & contiguous) && a->data != nullptr;
}

// True when the interface is loaded (loading it on first use); false when NumPy
// cannot be imported, for callers that can do without it. An interrupted lookup, or a
// call made on the looking-up thread by code that the lookup runs, propagates its
// error and keeps nothing.
bool available();

// True when o is an ndarray (or subclass) with exactly ndim dimensions whose element
// type is equivalent to type_num (no byte swap, no cast). Loads the interface; when
// NumPy cannot be imported, throws an internal failure whose message begins
// "Failed to access NumPy array API capsule" (then and on every later call).
bool is_array_of(PyObject* o, int ndim, TypeNum type_num);

// True when o's type is exactly ndarray (not a subclass). Loads the interface.
bool is_exact_array(PyObject* o);

// A new one-dimensional array of `count` elements over `data`, which the array
// takes over (freed with std::free when the array dies). On failure `data` is freed
// and an internal failure is thrown.
PyObject* array_over(void* data, size_t count, TypeNum type_num);

// The same with `nd` dimensions, C-contiguous: a matrix result without a reshape.
PyObject* array_over(void* data, int nd, const Py_ssize_t* dims, TypeNum type_num);

// A new read-only C-contiguous array of `nd` dimensions over `data`, which it does not
// own: `base` (given a new reference) keeps the memory alive. Empty arrays may pass a
// null data pointer. Throws an internal failure when the array cannot be made.
PyObject* array_view(const void* data, int nd, const Py_ssize_t* dims, TypeNum type_num,
                     PyObject* base);

}  // namespace mivo::py::numpy
