// Batch columns: owned memory and held buffer exports, and the element checks.
#include "columns.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "../error.h"
#include "../lib/errors.h"
#include "messages.h"

namespace mivo::py::batch {

Column Column::allocate(uint64_t count, uint64_t size) {
  require_allocatable(count, size);
  const size_t bytes = static_cast<size_t>(count * size);
  Column column;
  // Never zero bytes: an empty column still has an address for its views.
  column.owned_ = std::malloc(bytes == 0 ? 1 : bytes);
  if (column.owned_ == nullptr) throw std::bad_alloc();
  return column;
}

Column Column::hold(const Py_buffer& view) {
  Column column;
  column.view_ = view;
  column.held_ = true;
  return column;
}

Column::~Column() {
  if (held_) PyBuffer_Release(&view_);
  std::free(owned_);
}

int Column::traverse(visitproc visit, void* arg) const {
  if (held_) Py_VISIT(view_.obj);
  return 0;
}

namespace {

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

const char* element_name(Element element) {
  switch (element) {
    case Element::kUInt8: return kUInt8Elements;
    case Element::kUInt64: return kUInt64Elements;
    case Element::kFloat32: return kFloat32Elements;
  }
  return "";
}

// Whether the struct-module format `code` (one character, byte order removed) with
// items of `itemsize` bytes is `element`. Unsigned integer codes name C types whose
// sizes vary, so the size decides: NumPy writes 'L' or 'Q' for uint64.
bool format_is(char code, Py_ssize_t itemsize, Element element) {
  switch (element) {
    case Element::kUInt8: return code == 'B' && itemsize == 1;
    case Element::kUInt64:
      return std::strchr("BHILQN", code) != nullptr && code != '\0' && itemsize == 8;
    case Element::kFloat32: return code == 'f' && itemsize == 4;
  }
  return false;
}

// Checks the format of an export, whose fields are known; throws TypeError.
void check_format(const Py_buffer& view, const char* name, Element element) {
  const std::string format = view.format != nullptr ? view.format : "B";
  std::string code = format;
  bool foreign_order = false;
  if (!code.empty() && std::strchr("@=<>!", code[0]) != nullptr) {
    const char order = code[0];
    foreign_order = kLittleEndian ? (order == '>' || order == '!') : order == '<';
    code.erase(0, 1);
  }
  if (code.size() != 1 || !format_is(code[0], view.itemsize, element)) {
    throw_error(PyExc_TypeError, column_dtype(name, element_name(element), format));
  }
  if (foreign_order && view.itemsize > 1) {
    throw_error(PyExc_TypeError, column_byte_order(name, element_name(element), format));
  }
}

}  // namespace

Column take_column(PyObject* o, const char* name, Element element, int ndim, uint64_t* rows,
                   uint64_t* width) {
  Py_buffer view;
  // Strides are asked for so that any array is exported and the checks below can say
  // what is wrong with it; read-only exports are welcome (memory maps opened "r").
  if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) != 0) {
    if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_TypeError)) {
      throw_python_error();
    }
    Ref exc = fetch_exception();
    throw_error(PyExc_TypeError, column_not_buffer(name, describe_exception(exc.get())));
  }
  Column column = Column::hold(view);
  check_format(view, name, element);
  if (view.ndim != ndim) throw_error(PyExc_TypeError, column_ndim(name, ndim, view.ndim));
  // An empty array is never read, wherever it points.
  const bool aligned = view.len == 0 || reinterpret_cast<uintptr_t>(view.buf) % view.itemsize == 0;
  if (!PyBuffer_IsContiguous(&view, 'C') || !aligned) {
    throw_error(PyExc_TypeError, column_not_contiguous(name));
  }
  *rows = static_cast<uint64_t>(view.shape[0]);
  if (width != nullptr) *width = ndim == 2 ? static_cast<uint64_t>(view.shape[1]) : 1;
  return column;
}

}  // namespace mivo::py::batch
