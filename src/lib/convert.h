// Conversion of Python arguments into native values owned by the call.
//
// Every function throws PythonError with the Python exception set. Functions that
// take a parameter name wrap a TypeError as "argument '<name>': ..." with the
// original as __cause__; OverflowError and ValueError pass unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "access.h"
#include "objects.h"
#include "python.h"
#include "ref.h"

namespace mivo::py {

// A float32 vector: a 1-D float32 array by one bulk copy, else any sequence of
// real numbers element by element. Errors are never named.
std::vector<float> to_float_vector(PyObject* o);

// A flat row-major float32 matrix and its row count.
struct FittingMatrix {
  std::vector<float> flat;
  uint64_t rows;
};
// The fitting-matrix rule; num_vectors (already converted) may be absent.
FittingMatrix to_fitting_matrix(PyObject* vectors, std::optional<uint64_t> num_vectors);

// Any sequence of real numbers, element by element (no array fast path); named.
std::vector<float> to_float_sequence(PyObject* o, const char* name);

// Bytes: a 1-D uint8 array, bytes, bytearray, or a sequence of ints in 0..255.
std::vector<uint8_t> to_byte_codes(PyObject* o);

// A byte-code argument copied into the call; codes up to kInline bytes stay on
// the stack, so small single-pair calls allocate nothing.
class ByteCodes {
 public:
  explicit ByteCodes(PyObject* o);
  ByteCodes(const ByteCodes&) = delete;
  ByteCodes& operator=(const ByteCodes&) = delete;
  operator std::span<const uint8_t>() const { return {data_, size_}; }
  size_t size() const { return size_; }

 private:
  static constexpr size_t kInline = 256;
  uint8_t inline_[kInline];
  std::vector<uint8_t> heap_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// The outer sequence of a code list: references to its items, in order; named.
std::vector<Ref> to_code_list(PyObject* o, const char* name);

// A sequence of ints in 0..65535 (no array fast path); TypeError named.
std::vector<uint16_t> to_u16_sequence(PyObject* o, const char* name);

// An int (or __index__) in 0..2^64-1; TypeError named, OverflowError plain.
uint64_t to_unsigned_size(PyObject* o, const char* name);

// None or absent: nullopt; otherwise an unsigned size.
std::optional<uint64_t> to_optional_size(PyObject* o, const char* name);

// A real number rounded to float32; TypeError named.
float to_real(PyObject* o, const char* name);

// None or absent: nullopt; otherwise a real number.
std::optional<float> to_optional_real(PyObject* o, const char* name);

// True, False or a NumPy boolean; anything else is a named TypeError.
bool to_flag(PyObject* o, const char* name);

// "'<qualname>' object is not an instance of '<expected>'" (or the None form).
[[noreturn]] void throw_not_instance(PyObject* o, const char* expected);

// An object of one of the module's classes, held with shared access while this
// lives (not a borrowed reference: the caller's reference keeps the object alive).
template <class Object>
struct SharedAccess {
  Object* object;
  AccessGuard guard;
  Object* operator->() const { return object; }
};

// An instance of exactly `type` (the classes cannot be subclassed), taken with
// shared access; otherwise the named TypeError.
template <class Object>
SharedAccess<Object> to_instance(PyObject* o, PyTypeObject* type, const char* class_name,
                                 const char* name) {
  if (Py_TYPE(o) != type) {
    try {
      throw_not_instance(o, class_name);
    } catch (const PythonError&) {
      name_type_error(name);
      throw;
    }
  }
  auto* object = reinterpret_cast<Object*>(o);
  native_value(object);  // refuses an instance without its value before anyone reads it
  return SharedAccess<Object>{object, AccessGuard(object->access, Access::Shared)};
}

}  // namespace mivo::py
