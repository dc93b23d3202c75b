// Argument conversion: NumPy fast paths, the generic sequence path, element rules.
#include "convert.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "../error.h"
#include "errors.h"
#include "interpreters.h"
#include "messages.h"
#include "numpy_api.h"
#include "once.h"

namespace mivo::py {

namespace {

// Runs a conversion step and, on a Python error, names the parameter.
template <class F>
auto named(const char* name, F&& step) -> decltype(step()) {
  try {
    return step();
  } catch (const PythonError&) {
    name_type_error(name);
    throw;
  }
}

// Ignores the pending error of an optional step (the length hint, the module name of
// a flag's type) when it is an ordinary exception; an interruption (KeyboardInterrupt,
// SystemExit) or a PanicException raised by Python code is never swallowed.
void clear_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_python_error();
  PyErr_Clear();
}

Once g_sequence_once{kSequenceLookup};
PyObject* g_sequence_type = nullptr;  // the main interpreter's Sequence, or null if unavailable

// collections.abc.Sequence of the running interpreter, or null when it cannot be found.
PyObject* find_sequence_type() {
  Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
  return abc ? PyObject_GetAttrString(abc.get(), "Sequence") : nullptr;
}

bool is_sequence(PyObject* o) {
  if (PySequence_Check(o)) return true;
  // The main interpreter looks the type up once and keeps it for the process; an
  // ordinary failure to find it is kept too, and from then on only the interpreter's
  // own sequence check applies. Another interpreter's type must not outlive it, so
  // there the lookup runs on every call that gets this far (sets, and sequences
  // registered with the ABC), and an ordinary failure counts for that call only.
  Ref local;
  PyObject* type = nullptr;
  if (in_main_interpreter()) {
    g_sequence_once.run([] { return (g_sequence_type = find_sequence_type()) != nullptr; },
                        [](PyObject*) {});
    type = g_sequence_type;
  } else {
    local = Ref::steal(find_sequence_type());
    if (!local) clear_ordinary_error();
    type = local.get();
  }
  if (type == nullptr) return false;
  const int r = PyObject_IsInstance(o, type);
  if (r < 0) throw_python_error();
  return r == 1;
}

// Refuses a non-empty array whose elements cannot be read in place.
void require_contiguous(const numpy::ArrayFields* a) {
  if (!numpy::is_contiguous_block(a, numpy::Order::Any)) {
    throw_error(PyExc_TypeError, kNotContiguous);
  }
}

// Copies a recognised array's elements in memory order. Arrays that are contiguous
// only in column-major order are read in their logical row-major order instead, so
// a matrix never arrives transposed.
template <class T>
std::vector<T> copy_array(PyObject* o) {
  numpy::ArrayFields* a = numpy::fields(o);
  uint64_t total = 1;
  for (int i = 0; i < a->nd; ++i) total *= static_cast<uint64_t>(a->dimensions[i]);
  if (total == 0) return {};
  require_contiguous(a);
  std::vector<T> out(total);
  const T* src = reinterpret_cast<const T*>(a->data);
  if ((a->flags & numpy::kCContiguous) || a->nd < 2) {
    std::memcpy(out.data(), src, total * sizeof(T));
  } else {
    const uint64_t rows = static_cast<uint64_t>(a->dimensions[0]);
    const uint64_t cols = static_cast<uint64_t>(a->dimensions[1]);
    for (uint64_t i = 0; i < rows; ++i) {
      for (uint64_t j = 0; j < cols; ++j) out[i * cols + j] = src[j * rows + i];
    }
  }
  return out;
}

// The generic sequence path: refuses str and non-sequences, then converts every
// item with `element`, in iteration order.
template <class T, class Element>
std::vector<T> from_sequence(PyObject* o, Element&& element) {
  if (PyUnicode_Check(o)) throw_error(PyExc_TypeError, kStrToVec);
  if (!is_sequence(o)) throw_not_instance(o, kSequenceName);
  std::vector<T> out;
  const Py_ssize_t hint = PyObject_Size(o);
  if (hint < 0) {
    clear_ordinary_error();
  } else {
    // Only a hint, and the object may lie: the reservation is capped, so a claimed
    // length of 2^60 costs nothing, and an honest longer sequence just grows.
    constexpr Py_ssize_t kMaxReserved = Py_ssize_t{1} << 20;
    out.reserve(static_cast<size_t>(std::min(hint, kMaxReserved)));
  }
#ifndef Py_GIL_DISABLED
  // Without the interpreter lock another thread could resize the list under us, so
  // the direct walk is for builds that have the lock; the iterator is safe on both.
  if (PyList_CheckExact(o)) {
    // The list's own iterator does exactly this; items may run code that resizes it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(o, i));
      out.push_back(element(item.get()));
    }
    return out;
  }
#endif
  if (PyTuple_CheckExact(o)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i)
      out.push_back(element(PyTuple_GET_ITEM(o, i)));
    return out;
  }
  Ref iter = Ref::steal(PyObject_GetIter(o));
  if (!iter) throw_python_error();
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) out.push_back(element(item.get()));
  if (PyErr_Occurred()) throw_python_error();
  return out;
}

float real_element(PyObject* item) {
  if (PyFloat_CheckExact(item)) return static_cast<float>(PyFloat_AS_DOUBLE(item));
  const double d = PyFloat_AsDouble(item);
  if (d == -1.0 && PyErr_Occurred()) throw_python_error();
  return static_cast<float>(d);
}

template <long kMax>
long integer_element(PyObject* item) {
  const long v = PyLong_AsLong(item);
  if (v == -1 && PyErr_Occurred()) throw_python_error();
  if (v < 0 || v > kMax) throw_error(PyExc_OverflowError, kOutOfRange);
  return v;
}

}  // namespace

[[noreturn]] void throw_not_instance(PyObject* o, const char* expected) {
  if (o == Py_None) {
    throw_error(PyExc_TypeError, none_not_instance(expected));
  }
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(o)));
  if (!qualname) throw_python_error();
  // Formatted by the interpreter: any name it accepts, also one that UTF-8 cannot
  // encode (a lone surrogate), still gives this TypeError.
  Ref text = Ref::steal(PyUnicode_FromFormat(kNotInstanceFormat, qualname.get(), expected));
  if (!text) throw_python_error();
  PyErr_SetObject(PyExc_TypeError, text.get());
  throw PythonError{};
}

std::vector<float> to_float_vector(PyObject* o) {
  if (numpy::is_array_of(o, 1, numpy::kFloat32)) return copy_array<float>(o);
  return from_sequence<float>(o, real_element);
}

FittingMatrix to_fitting_matrix(PyObject* vectors, std::optional<uint64_t> num_vectors) {
  if (numpy::is_array_of(vectors, 2, numpy::kFloat32)) {
    // Copied first: an array that cannot be copied is refused before the row count
    // is compared.
    const uint64_t rows = static_cast<uint64_t>(numpy::fields(vectors)->dimensions[0]);
    std::vector<float> flat = copy_array<float>(vectors);
    if (num_vectors && *num_vectors != rows) {
      throw_error(PyExc_ValueError, num_vectors_mismatch(*num_vectors, rows));
    }
    return {std::move(flat), rows};
  }
  std::vector<float> flat = to_float_vector(vectors);
  if (!num_vectors) {
    throw_error(PyExc_ValueError, kNumVectorsRequired);
  }
  return {std::move(flat), *num_vectors};
}

std::vector<float> to_float_sequence(PyObject* o, const char* name) {
  return named(name, [&] { return from_sequence<float>(o, real_element); });
}

namespace {

// The bytes of a one-dimensional uint8 array, bytes or bytearray, read where they
// lie (the caller copies them before any Python code can run); false for any
// other object, which takes the sequence path.
bool flat_bytes(PyObject* o, const uint8_t** data, size_t* size) {
  if (numpy::is_array_of(o, 1, numpy::kUInt8)) {
    numpy::ArrayFields* a = numpy::fields(o);
    *size = static_cast<size_t>(a->dimensions[0]);
    *data = reinterpret_cast<const uint8_t*>(a->data);
    if (*size == 0) return true;
    require_contiguous(a);
    return true;
  }
  if (PyBytes_Check(o)) {
    *data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(o));
    *size = static_cast<size_t>(PyBytes_GET_SIZE(o));
    return true;
  }
  if (PyByteArray_Check(o)) {
    *data = reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(o));
    *size = static_cast<size_t>(PyByteArray_GET_SIZE(o));
    return true;
  }
  return false;
}

std::vector<uint8_t> byte_sequence(PyObject* o) {
  return from_sequence<uint8_t>(
      o, [](PyObject* item) { return static_cast<uint8_t>(integer_element<255>(item)); });
}

}  // namespace

std::vector<uint8_t> to_byte_codes(PyObject* o) {
  const uint8_t* data;
  size_t size;
  if (flat_bytes(o, &data, &size)) return std::vector<uint8_t>(data, data + size);
  return byte_sequence(o);
}

ByteCodes::ByteCodes(PyObject* o) {
  const uint8_t* data;
  if (flat_bytes(o, &data, &size_)) {
    if (size_ <= kInline) {
      if (size_ != 0) std::memcpy(inline_, data, size_);
      data_ = inline_;
      return;
    }
    heap_.assign(data, data + size_);
  } else {
    heap_ = byte_sequence(o);
    size_ = heap_.size();
  }
  data_ = heap_.data();
}

std::vector<Ref> to_code_list(PyObject* o, const char* name) {
  return named(name, [&] {
    return from_sequence<Ref>(o, [](PyObject* item) { return Ref::borrow(item); });
  });
}

std::vector<uint16_t> to_u16_sequence(PyObject* o, const char* name) {
  return named(name, [&] {
    return from_sequence<uint16_t>(
        o, [](PyObject* item) { return static_cast<uint16_t>(integer_element<65535>(item)); });
  });
}

uint64_t to_unsigned_size(PyObject* o, const char* name) {
  uint64_t value;
  if (PyLong_Check(o)) {
    if (!long_as_u64(o, &value)) throw_python_error();
    return value;
  }
  Ref index = Ref::steal(PyNumber_Index(o));
  if (!index) {
    name_type_error(name);
    throw_python_error();
  }
  if (!long_as_u64(index.get(), &value)) throw_python_error();
  return value;
}

std::optional<uint64_t> to_optional_size(PyObject* o, const char* name) {
  if (o == nullptr || o == Py_None) return std::nullopt;
  return to_unsigned_size(o, name);
}

float to_real(PyObject* o, const char* name) {
  return named(name, [&] { return real_element(o); });
}

std::optional<float> to_optional_real(PyObject* o, const char* name) {
  if (o == nullptr || o == Py_None) return std::nullopt;
  return to_real(o, name);
}

bool to_flag(PyObject* o, const char* name) {
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  // NumPy booleans are recognised by name, so NumPy need not be imported here.
  PyTypeObject* type = Py_TYPE(o);
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) clear_ordinary_error();
  const char* module_name =
      module && PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8(module.get()) : nullptr;
  const char* type_name = type->tp_name;
  if (const char* dot = std::strrchr(type_name, '.')) type_name = dot + 1;
  if (module_name != nullptr && std::strcmp(module_name, "numpy") == 0 &&
      (std::strcmp(type_name, "bool_") == 0 || std::strcmp(type_name, "bool") == 0) &&
      type->tp_as_number != nullptr && type->tp_as_number->nb_bool != nullptr) {
    const int truth = type->tp_as_number->nb_bool(o);
    if (truth < 0) throw_python_error();
    return truth == 1;
  }
  PyErr_Clear();
  return named(name, [&]() -> bool { throw_not_instance(o, kBoolName); });
}

}  // namespace mivo::py
