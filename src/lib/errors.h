// The exception boundary: PanicException, the error signal of the frame, and the
// one place where core errors become Python exceptions.
#pragma once

#include <string>

#include "python.h"
#include "ref.h"

namespace mivo::py {

// Thrown by frame code when a Python exception is already set; the entry point
// then returns NULL with that exception.
struct PythonError {};

// The PanicException type (a direct BaseException subclass), created on first use.
PyObject* panic_type() noexcept;

// Takes the pending Python exception (normalised; null if none).
Ref fetch_exception() noexcept;
// Makes exc the pending exception (steals it).
void restore_exception(Ref exc) noexcept;
// "TypeName: message" of an exception object, for diagnostics.
std::string describe_exception(PyObject* exc);

// Throws PythonError for the pending exception. A PanicException raised by Python
// code that ran inside our call (a nested call that failed) is reported on stderr
// and becomes an internal failure of this call with the same message.
[[noreturn]] void throw_python_error();

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void throw_error(PyObject* type, const std::string& message);

// If the pending exception is a TypeError, replaces it by one reading
// "argument '<name>': <message>" whose __cause__ is the original.
void name_type_error(const char* name) noexcept;

// Turns the C++ exception being handled into a Python exception; returns nullptr.
// Call only from a catch block.
PyObject* translate_exception() noexcept;

// Runs body (returning PyObject*) and maps any C++ exception at the boundary.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return translate_exception();
  }
}

// Same for slots that return int (0 on success, -1 with an exception).
template <class F>
int guarded_int(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    translate_exception();
    return -1;
  }
}

// A new object from the interpreter, or an internal failure when it could not be
// created (the interpreter's error is rendered into the message).
PyObject* checked_new(PyObject* created, const char* what);

}  // namespace mivo::py
