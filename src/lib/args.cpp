// Argument binding: positional arguments, then keywords, then the missing ones.
#include "args.h"

#include <algorithm>

#include <string>

#include "errors.h"
#include "messages.h"
#include "ref.h"

namespace mivo::py {

namespace {

[[noreturn]] void fail(const std::string& message) { throw_error(PyExc_TypeError, message); }

// The interned parameter names are made once per process, in the main interpreter,
// and kept for the process's life; the module's types are process-wide too. Keyword
// names reach a call interned by the same interpreter (the compiler interns
// identifiers; so do the keyword paths of the call machinery), so a comparison of
// pointers finds nearly all of them. In another interpreter a name is a different
// object: only the comparison of values applies there.
//
// Each slot is published with one compare-and-swap and nobody waits: a thread that
// loses the race, or a call that arrives while another interns, interns the same
// name again and keeps the winner's. Interning runs no Python code. When it fails
// (no memory) the call compares values instead, as it would without the table, and
// the next call tries again.
PyObject* interned_name(const SignatureView& sig, size_t i) {
  PyObject* name = sig.interned[i].load(std::memory_order_acquire);
  if (name != nullptr) return name;
  PyObject* made = PyUnicode_InternFromString(sig.params[i]);
  if (made == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* expected = nullptr;
  if (!sig.interned[i].compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return made;
}

// Index of the parameter called `key`, or -1: by identity first, then by value.
Py_ssize_t find_param(const SignatureView& sig, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
    for (size_t i = 0; i < sig.count; ++i) {
      if (interned_name(sig, i) == key) return static_cast<Py_ssize_t>(i);
    }
  }
  for (size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0)
      return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

void place_keyword(const SignatureView& sig, PyObject* key, PyObject* value, PyObject** out) {
  Py_ssize_t index = find_param(sig, key);
  if (index < 0) {
    // Formatted by the interpreter, so a name that UTF-8 cannot encode (a lone
    // surrogate) still gives this TypeError.
    Ref text = Ref::steal(PyUnicode_FromFormat(
        PyUnicode_Check(key) ? kUnexpectedKeywordFormat : kUnexpectedKeyFormat, sig.name, key));
    if (!text) throw_python_error();
    PyErr_SetObject(PyExc_TypeError, text.get());
    throw PythonError{};
  }
  if (out[index] != nullptr) fail(multiple_values(sig.name, sig.params[index]));
  out[index] = value;
}

void check_missing(const SignatureView& sig, PyObject** out) {
  const char* missing[kMaxParams];
  size_t k = 0;
  for (size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing[k++] = sig.params[i];
  }
  if (k > 0) fail(missing_required(sig.name, missing, k));
}

void place_positional(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** out) {
  if (static_cast<size_t>(nargs) > sig.positional) {
    fail(too_many_positional(sig.name, std::min(sig.required, sig.positional), sig.positional,
                             static_cast<size_t>(nargs)));
  }
  for (size_t i = 0; i < sig.count; ++i)
    out[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;
}

}  // namespace

void bind_into(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
  place_positional(sig, args, nargs, out);
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out);
    }
  }
  check_missing(sig, out);
}

void bind_into(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  place_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, out);
  }
  check_missing(sig, out);
}

}  // namespace mivo::py
