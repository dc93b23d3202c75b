// The layout shared by the module's classes, and helpers to build and read them.
#pragma once

#include <atomic>
#include <charconv>
#include <cmath>
#include <functional>
#include <memory>
#include <string>

#include "../error.h"
#include "access.h"
#include "errors.h"
#include "interpreters.h"
#include "messages.h"
#include "python.h"

namespace mivo::py {

// A Python object that owns one native value and guards it with an access state.
template <class T>
struct Wrapped {
  PyObject_HEAD
  AccessState access;
  T* value;
};

template <class T>
void wrapped_dealloc(PyObject* self) {
  auto* o = reinterpret_cast<Wrapped<T>*>(self);
  delete o->value;
  o->access.~AccessState();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// A new instance of `type` that takes over `value`.
template <class T>
PyObject* wrap_new(PyTypeObject* type, std::unique_ptr<T> value) {
  PyObject* self = checked_new(type->tp_alloc(type, 0), kWhatInstance);
  auto* o = reinterpret_cast<Wrapped<T>*>(self);
  new (&o->access) AccessState();
  o->value = value.release();
  return self;
}

// The native value of an instance. The module's constructors always give one; an
// instance made any other way (a bare allocation through the C API) has none, and
// every path to a value comes through here, so that is an internal failure
// (PanicException), never a null dereference.
template <class Object>
auto& native_value(Object* o) {
  if (o->value == nullptr) MIVO_FAIL(kNoNativeValue);
  return *o->value;
}

// Runs body(value) with shared access to self's value: properties and reprs.
template <class T, class F>
PyObject* read_shared(PyObject* self, F&& body) {
  return guarded([&] {
    auto* o = reinterpret_cast<Wrapped<T>*>(self);
    AccessGuard guard(o->access, Access::Shared);
    return body(static_cast<const T&>(native_value(o)));
  });
}

// The class a pointer to a data member or member function belongs to.
template <class M>
struct MemberOf;
template <class C, class R>
struct MemberOf<R C::*> {
  using type = C;
};

// A read-only attribute: convert(value.*member) (a data member, or a member function
// called with no arguments), read under shared access.
template <auto member, auto convert>
PyGetSetDef property(const char* name, const char* doc) {
  using T = typename MemberOf<decltype(member)>::type;
  return {name,
          [](PyObject* self, void*) -> PyObject* {
            return read_shared<T>(self, [](const T& v) { return convert(std::invoke(member, v)); });
          },
          nullptr, doc, nullptr};
}

// The flags of the module's classes: immutable, as the interpreter's own types are.
// A class attribute that Python code could replace or delete (`__new__` above all)
// would let it build an instance without a native value, or change the class for
// every user in the process.
inline constexpr unsigned int kQuantizerTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
// The records come only out of methods: they have no constructor at all.
inline constexpr unsigned int kRecordTypeFlags =
    kQuantizerTypeFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// The running interpreter's heap type built from `spec`, built on first request and
// then reused (see interpreters.h). Throws PythonError when the interpreter refuses it.
inline PyTypeObject* type_once(std::atomic<PyObject*>& slot, PyType_Spec* spec) {
  return reinterpret_cast<PyTypeObject*>(
      interpreter_object(slot, spec->name, [spec] { return PyType_FromSpec(spec); }));
}

// The exact binary value of x rounded to `digits` decimals, ties to even, always
// with a decimal point whatever the process's locale; NaN prints as NaN and
// infinities as inf.
inline std::string format_fixed(float x, int digits) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buffer[64];  // |x| < 2^128: at most 39 integer digits
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(x),
                                 std::chars_format::fixed, digits);
  return std::string(buffer, end.ptr);
}

inline PyObject* str_result(const std::string& text) {
  return checked_new(PyUnicode_FromStringAndSize(text.data(), text.size()), kWhatStr);
}

}  // namespace mivo::py
