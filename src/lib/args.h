// Binding of call arguments to parameters, with the module's own binding texts.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>

#include "python.h"

namespace mivo::py {

// The most parameters a callable has; sizes the binder's list of missing names.
inline constexpr size_t kMaxParams = 8;

// What the binder reads of a signature, whatever its parameter count.
struct SignatureView {
  const char* name;
  const char* const* params;
  size_t count;
  size_t required;
  size_t positional;                 // the first `positional` may be passed by position
  std::atomic<PyObject*>* interned;  // `count` slots, filled on first use
};

// A callable's N parameters: the first `required` have no default, the first
// `positional` may be passed by position and the rest only by keyword (all of them
// unless said). `name` is the full name used in messages: "f()", "Class.method()",
// "Class.__new__()". The names are interned on first use (see args.cpp).
template <size_t N>
struct Signature {
  static_assert(N >= 1 && N <= kMaxParams, "the binder's arrays hold kMaxParams parameters");
  const char* name;
  std::array<const char*, N> params;
  size_t required;
  size_t positional = N;
  mutable std::array<std::atomic<PyObject*>, N> interned{};

  SignatureView view() const {
    return {name, params.data(), N, required, positional, interned.data()};
  }
};

// The bound arguments, one per parameter (borrowed; nullptr for one not passed).
template <size_t N>
using Bound = std::array<PyObject*, N>;

// Binds a vectorcall-style argument list into out[0..count). Throws PythonError
// with the binding TypeError.
void bind_into(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);

// The same for a tuple and an optional dict (constructors).
void bind_into(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** out);

template <size_t N>
Bound<N> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Bound<N> out;
  bind_into(sig.view(), args, nargs, kwnames, out.data());
  return out;
}

template <size_t N>
Bound<N> bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
  Bound<N> out;
  bind_into(sig.view(), args, kwargs, out.data());
  return out;
}

// The calling convention of every function and method that takes arguments.
inline constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

// A fast-call function as the PyCFunction a method table stores.
template <auto F>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// The number of its arguments, for a signature's parameter count.
template <class... Names>
constexpr size_t count_of(Names...) {
  return sizeof...(Names);
}

}  // namespace mivo::py

// Defines the signature NAME of the callable `FULL` with the given parameter names,
// the first REQUIRED of which are required.
#define MIVO_SIGNATURE(NAME, FULL, REQUIRED, ...)                                \
  constinit const ::mivo::py::Signature<::mivo::py::count_of(__VA_ARGS__)> NAME{ \
      FULL, {__VA_ARGS__}, REQUIRED};                                            \
  static_assert((REQUIRED) <= ::mivo::py::count_of(__VA_ARGS__))

// The same with keyword-only parameters: those after the first POSITIONAL (required ones
// among them too).
#define MIVO_SIGNATURE_KW(NAME, FULL, REQUIRED, POSITIONAL, ...)                 \
  constinit const ::mivo::py::Signature<::mivo::py::count_of(__VA_ARGS__)> NAME{ \
      FULL, {__VA_ARGS__}, REQUIRED, POSITIONAL};                                \
  static_assert((POSITIONAL) <= ::mivo::py::count_of(__VA_ARGS__))
