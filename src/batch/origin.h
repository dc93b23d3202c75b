// The check that mivo's four classes, taken by name from the imported mivo, are those
// of the mivo built together with this module.
#pragma once

#include "state.h"

namespace mivo::py::batch {

// 0 when the classes in `state` are final and immutable, their slots lie in one loaded
// file that is neither mivo_batch nor the interpreter, that file carries this module's
// build stamp, and each class is the one of its name; otherwise -1 with ImportError
// naming the failed check.
int check_origin(const ModuleState& state);

}  // namespace mivo::py::batch
