// The module functions on packed one-bit and multi-bit codes.
#pragma once

#include <span>

#include "python.h"

namespace mivo::py {

// Their method definitions, in the order the module adds them.
std::span<PyMethodDef> kernel_functions();

}  // namespace mivo::py
