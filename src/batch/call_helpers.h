// Binding steps the long module functions share: integers that may be negative or
// huge, named in their errors. The lock release and signal checks are src/lib/released.h.
#pragma once

#include "../lib/python.h"
#include "../lib/released.h"

namespace mivo::py::batch {

// o as an integer (an int or anything with __index__), else the TypeError naming the
// argument; *overflow is set as PyLong_AsLongLongAndOverflow sets it.
long long to_integer(PyObject* o, const char* name, int* overflow);

}  // namespace mivo::py::batch
