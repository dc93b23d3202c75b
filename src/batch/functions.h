// The module functions of mivo_batch: batch quantization and estimates against batches.
#pragma once

#include "../lib/python.h"

namespace mivo::py::batch {

// The functions, in the order of the module's __all__; null-terminated.
extern PyMethodDef g_functions[];

}  // namespace mivo::py::batch
