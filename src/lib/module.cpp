// The module `mivo`: definition, execution step and the single exported entry point.
#include <span>
#include <string>

#include "classes.h"
#include "errors.h"
#include "kernels.h"
#include "messages.h"
#include "python.h"
#include "ref.h"
#include "version.h"

namespace mivo::py {

namespace {

// Appends name to the module's __all__, creating the list on first use.
int append_to_all(PyObject* module, PyObject* name) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  return PyList_Append(all.get(), name);
}

// Extends __all__ first, then sets the attribute, so __all__ leads the module's
// namespace and the names follow in the order they were added.
int add_named(PyObject* module, PyObject* name, PyObject* value) {
  if (append_to_all(module, name) < 0) return -1;
  return PyObject_SetAttr(module, name, value);
}

int add_version(PyObject* module) {
  Ref name = Ref::steal(PyUnicode_FromString("__version__"));
  Ref value = Ref::steal(PyUnicode_FromString(kVersion));
  if (!name || !value) return -1;
  return add_named(module, name.get(), value.get());
}

// Adds a function under the __name__ that the new function object reports.
int add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
  if (!function) return -1;
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return -1;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, kNameNotStr);
    return -1;
  }
  return add_named(module, name.get(), function.get());
}

int add_functions(PyObject* module, std::span<PyMethodDef> defs) {
  for (PyMethodDef& def : defs) {
    if (add_function(module, &def) < 0) return -1;
  }
  return 0;
}

// Adds a class under its __name__, building its type on first use.
int add_type(PyObject* module, PyTypeObject* (*get_type)()) {
  PyTypeObject* type = nullptr;
  if (guarded_int([&] {
        type = get_type();
        return 0;
      }) < 0) {
    return -1;
  }
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  if (!name) return -1;
  return add_named(module, name.get(), reinterpret_cast<PyObject*>(type));
}

// The module's names, in the order of __all__: the version, the code kernels, the
// classes, the ternary functions.
int mivo_exec(PyObject* module) {
  if (add_version(module) < 0 || add_functions(module, kernel_functions()) < 0) return -1;
  for (auto get_type : kClassTypes) {
    if (add_type(module, get_type) < 0) return -1;
  }
  return add_functions(module, ternary_functions());
}

PyModuleDef_Slot mivo_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(mivo_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef mivo_module = {
    PyModuleDef_HEAD_INIT,
    "mivo",   // m_name
    "",       // m_doc
    0,        // m_size
    nullptr,  // m_methods
    mivo_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace mivo::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_mivo() {
  return PyModuleDef_Init(&mivo::py::mivo_module);
}
