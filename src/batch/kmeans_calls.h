// The module functions kmeans and assign: centroids of float32 vectors and the nearest
// centroid of each vector, computed with the interpreter lock released.
#pragma once

#include "../lib/python.h"

namespace mivo::py::batch {

PyObject* py_kmeans(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_assign(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Their docstrings, for the module's function table.
extern const char kKmeansDoc[];
extern const char kAssignDoc[];

}  // namespace mivo::py::batch
