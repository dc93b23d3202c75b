// Binding of call arguments to parameters, with the module's own binding texts.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "python.h"

namespace mivo::py {

inline constexpr size_t kMaxParams = 8;

// A callable's parameters, all positional-or-keyword; the first `required` have no
// default. `name` is the full name used in messages: "f()", "Class.method()",
// "Class.__new__()".
struct Signature {
  const char* name;
  const char* const* params;
  size_t count;
  size_t required;
};

// Binds a vectorcall-style argument list into out[0..count) (borrowed; nullptr for
// parameters not passed). Throws PythonError with the binding TypeError.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

// The same for a tuple and an optional dict (constructors).
void bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// The calling convention of every function and method that takes arguments.
inline constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

// A fast-call function as the PyCFunction a method table stores.
template <auto F>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace mivo::py

// Defines `static const Signature NAME` for the callable `FULL` with the given
// parameter names, the first REQUIRED of which are required.
#define MIVO_SIGNATURE(NAME, FULL, REQUIRED, ...)                              \
  static constexpr const char* NAME##_params[] = {__VA_ARGS__};              \
  static constexpr ::mivo::py::Signature NAME = {                            \
      FULL, NAME##_params, sizeof(NAME##_params) / sizeof(NAME##_params[0]), \
      REQUIRED}
