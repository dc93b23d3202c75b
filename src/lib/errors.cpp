// PanicException and the translation of core errors into Python exceptions.
#include "errors.h"

#include <atomic>
#include <new>
#include <stdexcept>

#include "../error.h"
#include "interpreters.h"
#include "messages.h"

namespace mivo::py {

namespace {

std::atomic<PyObject*> g_panic_type{nullptr};

void report_internal_failure(const char* file, int line, const std::string& message) {
  PySys_FormatStderr(kInternalFailureFormat, file, line, message.c_str());
}

void set_panic(const std::string& message) {
  PyObject* type = panic_type();
  if (type == nullptr) return;  // the creation error is pending instead
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "surrogatepass"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

}  // namespace

PyObject* panic_type() noexcept {
  try {
    return interpreter_object(g_panic_type, kPanicName, [] {
      return PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    });
  } catch (const PythonError&) {
    return nullptr;  // the creation error is pending
  }
}

Ref fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return Ref();
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
#endif
}

void restore_exception(Ref exc) noexcept {
  if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* value = exc.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

std::string describe_exception(PyObject* exc) {
  if (exc == nullptr) return kUnknownError;
  std::string out = Py_TYPE(exc)->tp_name;
  if (auto dot = out.rfind('.'); dot != std::string::npos) out.erase(0, dot + 1);
  Ref text = Ref::steal(PyObject_Str(exc));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
  } else if (*utf8 != '\0') {
    out += ": ";
    out += utf8;
  }
  return out;
}

[[noreturn]] void throw_python_error() {
  // Taken first: the look-up of this interpreter's PanicException needs no error pending.
  Ref exc = fetch_exception();
  PyObject* panic = existing_interpreter_object(g_panic_type, kPanicName);
  if (exc && panic != nullptr && PyErr_GivenExceptionMatches(exc.get(), panic)) {
    // The same message as the original, whatever its arguments: its str(). Lone
    // surrogates pass through (set_panic decodes them back).
    std::string message;
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    Ref utf8 =
        text ? Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass")) : Ref();
    if (utf8) message.assign(PyBytes_AS_STRING(utf8.get()), PyBytes_GET_SIZE(utf8.get()));
    PyErr_Clear();
    PySys_WriteStderr(kNestedPanicNotice);
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_DisplayException(exc.get());
#else
    PyErr_Display(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                  PyException_GetTraceback(exc.get()));
#endif
    throw InternalFailure(message, __FILE__, __LINE__);
  }
  restore_exception(std::move(exc));
  throw PythonError{};
}

[[noreturn]] void throw_error(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

void name_type_error(const char* name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref cause = fetch_exception();
  Ref text = Ref::steal(PyObject_Str(cause.get()));
  if (!text) return;  // the str() error is pending instead
  Ref named = Ref::steal(PyUnicode_FromFormat(kNamedArgumentFormat, name, text.get()));
  if (!named) return;
  Ref wrapped = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, named.get()));
  if (!wrapped) return;
  PyException_SetCause(wrapped.get(), cause.release());
  restore_exception(std::move(wrapped));
}

PyObject* translate_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) set_panic(kErrorWithoutException);
  } catch (const QuantizerError& e) {
    PyErr_SetString(PyExc_ValueError, e.message().c_str());
  } catch (const InternalFailure& e) {
    report_internal_failure(e.file(), e.line(), e.message());
    set_panic(e.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more elements than it can ever hold (a huge dimension
    // or count): the same failed allocation as bad_alloc, not a broken invariant.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    report_internal_failure(__FILE__, __LINE__, e.what());
    set_panic(e.what());
  } catch (...) {
    report_internal_failure(__FILE__, __LINE__, kUnknownCppException);
    set_panic(kUnknownCppException);
  }
  return nullptr;
}

PyObject* checked_new(PyObject* created, const char* what) {
  if (created != nullptr) return created;
  Ref exc = fetch_exception();
  throw InternalFailure(failed_to_create(what, describe_exception(exc.get())), __FILE__, __LINE__);
}

}  // namespace mivo::py
