// The state of one mivo_batch module object: mivo's four classes, taken from the mivo
// of the same interpreter, and the batch classes made for this module.
#pragma once

#include "../lib/python.h"

namespace mivo::py::batch {

struct ModuleState {
  PyTypeObject* quantized_vector = nullptr;
  PyTypeObject* rabitq_quantizer = nullptr;
  PyTypeObject* ternary_vector = nullptr;
  PyTypeObject* ternary_quantizer = nullptr;
  PyTypeObject* quantized_batch = nullptr;
  PyTypeObject* ternary_batch = nullptr;
};

// The module's definition, by which a batch class finds its module.
extern PyModuleDef g_module_def;

// The state of a mivo_batch module object.
inline ModuleState& state_of_module(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module that defined `type` (one of the batch classes).
inline ModuleState& state_of_type(PyTypeObject* type) {
  return state_of_module(PyType_GetModuleByDef(type, &g_module_def));
}

}  // namespace mivo::py::batch
