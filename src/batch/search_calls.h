// The module functions bounds, integer_bounds and search: error intervals and top-k
// search against a QuantizedBatch, on float or integer estimates, computed with the
// interpreter lock released.
#pragma once

#include "../lib/python.h"

namespace mivo::py::batch {

PyObject* py_bounds(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_integer_bounds(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* py_search(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Their docstrings, for the module's function table.
extern const char kBoundsDoc[];
extern const char kIntegerBoundsDoc[];
extern const char kSearchDoc[];

}  // namespace mivo::py::batch
