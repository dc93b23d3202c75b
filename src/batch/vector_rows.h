// The rows of a float32 matrix argument, read in place under a buffer export where
// possible: what quantize takes as vectors, and search as queries and vectors.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "../error.h"
#include "../lib/convert.h"
#include "../lib/errors.h"
#include "../lib/numpy_api.h"
#include "../lib/python.h"
#include "messages.h"

namespace mivo::py::batch {

// The rows of a quantize call by the fitting-matrix rule's array form. A C-contiguous
// aligned float32 matrix is read where it lies, under a buffer export held for the
// call (so nothing can resize it); any other 2-D float32 array is copied by the rule
// (or refused by it, when misaligned or strided), and anything else is a TypeError. Columns other than the quantizer's
// dimension are a DimensionMismatch, as for each row alone.
class VectorRows {
 public:
  VectorRows(PyObject* o, uint64_t dimension, const char* not_matrix = kVectorsNotMatrix) {
    // The rule's other form, a flat sequence with a row count, has no place here.
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
    PyErr_Clear();  // a refused export takes the copying path, which says what is wrong
    copied_ = to_fitting_matrix(o, std::nullopt);
    data_ = copied_->flat.data();
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
  Py_buffer view_{};
  bool held_ = false;
  std::optional<FittingMatrix> copied_;
  const float* data_ = nullptr;
  uint64_t rows_ = 0;
};

}  // namespace mivo::py::batch
