// Argument binding. The texts follow the module's own conventions, which differ
// from the interpreter's: "arguments" stays plural and constructors are named
// "Class.__new__()".
#include "args.h"

#include <string>

#include "errors.h"
#include "ref.h"

namespace mivo::py {

namespace {

[[noreturn]] void fail(const std::string& message) { throw_error(PyExc_TypeError, message); }

[[noreturn]] void too_many(const Signature& sig, Py_ssize_t given) {
  std::string text = std::string(sig.name) + " takes ";
  if (sig.required == sig.count) {
    text += std::to_string(sig.count);
  } else {
    text += "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
  }
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
          " given";
  fail(text);
}

// Index of the parameter called `key`, or -1.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

void place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
  Py_ssize_t index = find_param(sig, key);
  if (index < 0) {
    // Formatted by the interpreter, so a name that UTF-8 cannot encode (a lone
    // surrogate) still gives this TypeError.
    Ref text = Ref::steal(PyUnicode_FromFormat(
        PyUnicode_Check(key) ? "%s got an unexpected keyword argument '%U'"
                             : "%s got an unexpected keyword argument '%S'",
        sig.name, key));
    if (!text) throw_python_error();
    PyErr_SetObject(PyExc_TypeError, text.get());
    throw PythonError{};
  }
  if (out[index] != nullptr) {
    fail(std::string(sig.name) + " got multiple values for argument '" + sig.params[index] + "'");
  }
  out[index] = value;
}

void check_missing(const Signature& sig, PyObject** out) {
  const char* missing[kMaxParams];
  size_t k = 0;
  for (size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing[k++] = sig.params[i];
  }
  if (k == 0) return;
  std::string text = std::string(sig.name) + " missing " + std::to_string(k) +
                     " required positional " + (k == 1 ? "argument" : "arguments") + ": ";
  for (size_t i = 0; i < k; ++i) {
    if (i > 0) text += (k == 2) ? " and " : (i + 1 == k ? ", and " : ", ");
    text += std::string("'") + missing[i] + "'";
  }
  fail(text);
}

void place_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** out) {
  if (static_cast<size_t>(nargs) > sig.count) too_many(sig, nargs);
  for (size_t i = 0; i < sig.count; ++i) out[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;
}

}  // namespace

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
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

void bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  place_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, out);
  }
  check_missing(sig, out);
}

}  // namespace mivo::py
