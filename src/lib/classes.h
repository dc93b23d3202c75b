// The module's classes and the functions registered after them.
#pragma once

#include <array>
#include <span>

#include "python.h"

namespace mivo::py {

// Each returns the process-wide type object, building it on first request
// (throws PythonError if the interpreter refuses it).
PyTypeObject* quantized_vector_type();
PyTypeObject* rabitq_quantizer_type();
PyTypeObject* ternary_vector_type();
PyTypeObject* ternary_quantizer_type();

// The classes in the order the module adds them.
inline constexpr std::array<PyTypeObject* (*)(), 4> kClassTypes = {
    quantized_vector_type, rabitq_quantizer_type, ternary_vector_type, ternary_quantizer_type};

// The ternary similarity functions, in the order the module adds them.
std::span<PyMethodDef> ternary_functions();

}  // namespace mivo::py
