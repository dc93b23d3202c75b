// The columns of a batch: native memory that the batch owns, or a buffer export of a
// caller's array that it holds for its lifetime; and the checks of such arrays.
#pragma once

#include <cstdint>
#include <new>
#include <utility>

#include "../lib/python.h"

namespace mivo::py::batch {

class Column {
 public:
  Column() = default;
  // `count` elements of `size` bytes, uninitialised. Throws std::bad_alloc.
  static Column allocate(uint64_t count, uint64_t size);
  // Takes over a buffer export (released with the column).
  static Column hold(const Py_buffer& view);

  Column(Column&& other) noexcept
      : owned_(std::exchange(other.owned_, nullptr)),
        view_(other.view_),
        held_(std::exchange(other.held_, false)) {}
  Column& operator=(Column&& other) noexcept {
    if (this != &other) {
      this->~Column();
      new (this) Column(std::move(other));
    }
    return *this;
  }
  Column(const Column&) = delete;
  ~Column();

  void* data() const { return held_ ? view_.buf : owned_; }
  template <class T>
  T* as() const {
    return static_cast<T*>(data());
  }
  // Visits the exporting object of a held export (for the cycle collector).
  int traverse(visitproc visit, void* arg) const;

 private:
  void* owned_ = nullptr;
  Py_buffer view_{};
  bool held_ = false;
};

// The element types a column may hold.
enum class Element { kUInt8, kUInt64, kFloat32 };

// A buffer export of o with `ndim` dimensions of `element` in native byte order,
// C-contiguous and aligned; its shape goes to rows (and width for ndim 2). Anything
// else is a TypeError naming the argument.
Column take_column(PyObject* o, const char* name, Element element, int ndim, uint64_t* rows,
                   uint64_t* width);

}  // namespace mivo::py::batch
