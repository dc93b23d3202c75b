// The rows of a float32 matrix argument, read in place under a buffer export where
// possible: what quantize takes as vectors, and search as queries and vectors.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "../error.h"
#include "../lib/convert.h"
#include "../lib/errors.h"
#include "../lib/numpy_api.h"
#include "../lib/python.h"
#include "messages.h"

namespace mivo::py::batch {

// What a matrix argument that is not C-contiguous gets: queries are small and copied
// whatever their strides (a slice such as queries[::2] is the common case); vectors,
// which may be large, are copied only when contiguous in column-major order, as the
// fitting matrix is, and otherwise refused with a TypeError naming the argument.
enum class Strided { kCopy, kRefuse };

// The rows of a float32 matrix argument named `name`. A C-contiguous aligned float32
// matrix is read where it lies, under a buffer export held for the call (so nothing
// can resize it); another 2-D float32 array is copied in its logical row-major order
// (or refused, see Strided), and anything else is the TypeError `not_matrix`. Columns
// other than the quantizer's dimension are a DimensionMismatch, as for each row alone.
class VectorRows {
 public:
  VectorRows(PyObject* o, uint64_t dimension, const char* name, const char* not_matrix,
             Strided strided = Strided::kRefuse) {
    // The fitting matrix's other form, a flat sequence with a row count, has no place here.
    if (!numpy::is_array_of(o, 2, numpy::kFloat32)) throw_error(PyExc_TypeError, not_matrix);
    const numpy::ArrayFields* a = numpy::fields(o);
    rows_ = static_cast<uint64_t>(a->dimensions[0]);
    const uint64_t cols = static_cast<uint64_t>(a->dimensions[1]);
    if (cols != dimension) throw QuantizerError::dimension_mismatch(dimension, cols);
    if (numpy::is_contiguous_block(a, numpy::Order::C) &&
        PyObject_GetBuffer(o, &view_, PyBUF_C_CONTIGUOUS) == 0) {
      held_ = true;
      data_ = static_cast<const float*>(view_.buf);
      return;
    }
    PyErr_Clear();  // a refused export takes the copying path
    if (strided == Strided::kRefuse && rows_ != 0 && cols != 0 &&
        !numpy::is_contiguous_block(a, numpy::Order::Any)) {
      throw_error(PyExc_TypeError, column_not_contiguous(name));
    }
    copy_rows(a, cols);
  }
  VectorRows(const VectorRows&) = delete;
  VectorRows& operator=(const VectorRows&) = delete;
  ~VectorRows() {
    if (held_) PyBuffer_Release(&view_);
  }

  uint64_t rows() const { return rows_; }
  const float* data() const { return data_; }
  std::span<const float> row(uint64_t i, uint64_t dimension) const {
    return {data_ + i * dimension, static_cast<size_t>(dimension)};
  }

 private:
  // Element by element through the array's strides (negative, zero or unaligned ones
  // included), each float read by memcpy.
  void copy_rows(const numpy::ArrayFields* a, uint64_t cols) {
    const uint64_t count = allocation_count(rows_, cols);
    require_allocatable(count, sizeof(float));
    copied_.resize(count);
    const char* base = a->data;
    for (uint64_t i = 0; i < rows_; ++i) {
      for (uint64_t j = 0; j < cols; ++j) {
        const char* at = base + static_cast<Py_ssize_t>(i) * a->strides[0] +
                         static_cast<Py_ssize_t>(j) * a->strides[1];
        std::memcpy(&copied_[i * cols + j], at, sizeof(float));
      }
    }
    data_ = copied_.data();
  }

  Py_buffer view_{};
  bool held_ = false;
  std::vector<float> copied_;
  const float* data_ = nullptr;
  uint64_t rows_ = 0;
};

}  // namespace mivo::py::batch
