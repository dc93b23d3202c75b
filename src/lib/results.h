// Native results handed to Python: numbers and NumPy arrays over native buffers.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>

#include "../error.h"
#include "errors.h"
#include "messages.h"
#include "numpy_api.h"
#include "python.h"

namespace mivo::py {

// A malloc'd buffer of `count` elements that a NumPy result array takes over.
// Allocation failure (including a byte size that overflows) throws std::bad_alloc.
template <class T>
class ResultBuffer {
 public:
  explicit ResultBuffer(uint64_t count) : count_(count) {
    require_allocatable(count, sizeof(T));
    const size_t bytes = count * sizeof(T);
    // Never zero bytes: NumPy allocates memory of its own for a null data pointer.
    data_ = static_cast<T*>(std::malloc(bytes == 0 ? 1 : bytes));
    if (data_ == nullptr) throw std::bad_alloc();
  }
  ResultBuffer(const ResultBuffer&) = delete;
  ResultBuffer& operator=(const ResultBuffer&) = delete;
  ~ResultBuffer() { std::free(data_); }

  T* data() { return data_; }
  std::span<T> span() { return {data_, static_cast<size_t>(count_)}; }

  // Hands the buffer to a new 1-D array.
  PyObject* to_array(numpy::TypeNum type_num) {
    T* data = data_;
    data_ = nullptr;
    return numpy::array_over(data, count_, type_num);
  }

  // Hands the buffer to a new C-contiguous array of rows x columns (== count).
  PyObject* to_matrix(uint64_t rows, uint64_t columns, numpy::TypeNum type_num) {
    if (rows * columns != count_) MIVO_FAIL(kResultShapeDiffers);
    const Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(columns)};
    T* data = data_;
    data_ = nullptr;
    return numpy::array_over(data, 2, dims, type_num);
  }

 private:
  T* data_;
  uint64_t count_;
};

inline PyObject* float_result(float value) {
  return checked_new(PyFloat_FromDouble(static_cast<double>(value)), kWhatFloat);
}

inline PyObject* int_result(uint64_t value) {
  return checked_new(PyLong_FromUnsignedLongLong(value), kWhatInt);
}

inline PyObject* signed_result(int64_t value) {
  return checked_new(PyLong_FromLongLong(value), kWhatInt);
}

inline PyObject* none_result() { Py_RETURN_NONE; }

}  // namespace mivo::py
