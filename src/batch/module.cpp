// The module `mivo_batch`: definition, execution step and the single exported entry point.
//
// mivo_batch reads mivo's quantizers and records natively, so its execution step
// imports mivo, takes the four classes by their public names, and refuses a mivo from
// another build: another version, instances of another size than the layout this
// module was compiled with, or classes that are not those of the mivo built with it
// (origin.h). Everything it keeps lives in the module object's state,
// one per interpreter that imports it; nothing is process-wide.
#include <string>

#include "../lib/errors.h"
#include "../lib/objects.h"
#include "../lib/python.h"
#include "../lib/ref.h"
#include "../lib/version.h"
#include "../rabitq.h"
#include "../ternary.h"
#include "batches.h"
#include "functions.h"
#include "messages.h"
#include "origin.h"
#include "state.h"

namespace mivo::py::batch {

namespace {

// Sets ImportError with `message`; returns -1 for the execution step.
int import_error(const std::string& message) {
  PyErr_SetString(PyExc_ImportError, message.c_str());
  return -1;
}

int check_version(PyObject* mivo) {
  Ref version = Ref::steal(PyObject_GetAttrString(mivo, kVersionAttribute));
  if (!version) return -1;
  const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
  if (text == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kVersionNotStr);
    return -1;
  }
  if (std::string(text) != kVersion) return import_error(version_mismatch(text, kVersion));
  return 0;
}

// mivo's class `name`, whose instances must have the layout Wrapped<T> (a new
// reference into *slot).
template <class T>
int take_class(PyObject* mivo, const char* name, PyTypeObject** slot) {
  Ref type = Ref::steal(PyObject_GetAttrString(mivo, name));
  if (!type) return -1;
  if (!PyType_Check(type.get())) return import_error(not_a_class(name));
  const Py_ssize_t size = reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize;
  if (static_cast<size_t>(size) != sizeof(Wrapped<T>)) {
    return import_error(layout_mismatch(name, size, sizeof(Wrapped<T>)));
  }
  *slot = reinterpret_cast<PyTypeObject*>(type.release());
  return 0;
}

// A batch class of this module object, added under its name.
int add_batch_class(PyObject* module, PyType_Spec* spec, PyTypeObject** slot) {
  PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
  if (type == nullptr) return -1;
  *slot = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddType(module, *slot);
}

// __all__: the version, the classes, then the functions in their table's order.
int add_all(PyObject* module) {
  Ref all = Ref::steal(PyList_New(0));
  if (!all) return -1;
  for (const char* name : {kVersionAttribute, kQuantizedBatchName, kTernaryBatchName}) {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
  }
  for (PyMethodDef* def = g_functions; def->ml_name != nullptr; ++def) {
    Ref text = Ref::steal(PyUnicode_FromString(def->ml_name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
  }
  return PyModule_AddObjectRef(module, "__all__", all.get());
}

int batch_exec(PyObject* module) {
  ModuleState& state = state_of_module(module);
  Ref mivo = Ref::steal(PyImport_ImportModule(kMivoModuleName));
  if (!mivo || check_version(mivo.get()) < 0) return -1;
  if (take_class<mivo::QuantizedVector>(mivo.get(), kQuantizedVectorName, &state.quantized_vector) <
          0 ||
      take_class<mivo::RaBitQQuantizer>(mivo.get(), kRaBitQQuantizerName, &state.rabitq_quantizer) <
          0 ||
      take_class<mivo::TernaryVector>(mivo.get(), kTernaryVectorName, &state.ternary_vector) < 0 ||
      take_class<mivo::TernaryQuantizer>(mivo.get(), kTernaryQuantizerName,
                                         &state.ternary_quantizer) < 0 ||
      check_origin(state) < 0) {
    return -1;
  }
  if (PyModule_AddStringConstant(module, kVersionAttribute, kVersion) < 0 ||
      add_batch_class(module, &g_quantized_batch_spec, &state.quantized_batch) < 0 ||
      add_batch_class(module, &g_ternary_batch_spec, &state.ternary_batch) < 0) {
    return -1;
  }
  return add_all(module);
}

template <class F>
void for_each_type(ModuleState& state, F&& f) {
  f(state.quantized_vector);
  f(state.rabitq_quantizer);
  f(state.ternary_vector);
  f(state.ternary_quantizer);
  f(state.quantized_batch);
  f(state.ternary_batch);
}

int batch_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  int result = 0;
  for_each_type(*state, [&](PyTypeObject* type) {
    if (result == 0 && type != nullptr) result = visit(reinterpret_cast<PyObject*>(type), arg);
  });
  return result;
}

int batch_clear(PyObject* module) {
  ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state != nullptr) for_each_type(*state, [](PyTypeObject*& type) { Py_CLEAR(type); });
  return 0;
}

void batch_free(void* module) { batch_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot batch_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(batch_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "Batches of mivo records held as columns, and batch calls whose every element has the "
    "bits of the per-record call.",
    sizeof(ModuleState),
    g_functions,
    batch_slots,
    batch_traverse,
    batch_clear,
    batch_free,
};

}  // namespace mivo::py::batch

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_mivo_batch() {
  return PyModuleDef_Init(&mivo::py::batch::g_module_def);
}
