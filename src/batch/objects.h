// The layout and slots shared by the two batch classes.
#pragma once

#include <memory>

#include "../lib/errors.h"
#include "../lib/messages.h"
#include "../lib/numpy_api.h"
#include "../lib/python.h"
#include "../lib/ref.h"
#include "columns.h"
#include "messages.h"

namespace mivo::py::batch {

// A batch object: it owns its native value, which never changes after it is made.
template <class T>
struct BatchObject {
  PyObject_HEAD
  T* value;
};

template <class T>
const T& data_of(PyObject* self) {
  return *reinterpret_cast<BatchObject<T>*>(self)->value;
}

// A batch may hold buffer exports of arbitrary objects, which could refer back to it,
// so its class takes part in cycle collection.
template <class T>
int batch_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const T* value = reinterpret_cast<BatchObject<T>*>(self)->value;
  return value != nullptr ? value->traverse(visit, arg) : 0;
}

template <class T>
void batch_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  delete reinterpret_cast<BatchObject<T>*>(self)->value;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <class T>
PyObject* batch_new(PyTypeObject* type, std::unique_ptr<T> value) {
  PyObject* self = checked_new(type->tp_alloc(type, 0), kWhatInstance);
  reinterpret_cast<BatchObject<T>*>(self)->value = value.release();
  return self;
}

// A read-only array over a column of self, which the array keeps alive.
inline PyObject* column_view(PyObject* self, const Column& column, uint64_t rows, uint64_t width,
                             int nd, numpy::TypeNum type_num) {
  const Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(width)};
  return numpy::array_view(column.data(), nd, dims, type_num, self);
}

// The row that `index` (an integer; negative counts from the end) names in a batch of
// `count` records; IndexError for none, TypeError for a non-integer.
inline Py_ssize_t batch_index(PyObject* index, uint64_t count) {
  if (!PyIndex_Check(index)) {
    Ref text = Ref::steal(PyUnicode_FromFormat(kIndexNotIntegerFormat, Py_TYPE(index)->tp_name));
    if (!text) throw_python_error();
    PyErr_SetObject(PyExc_TypeError, text.get());
    throw PythonError{};
  }
  const Py_ssize_t i = PyNumber_AsSsize_t(index, PyExc_IndexError);
  if (i == -1 && PyErr_Occurred()) throw_python_error();
  const Py_ssize_t n = static_cast<Py_ssize_t>(count);
  if (i >= n || i < -n) throw_error(PyExc_IndexError, batch_index_out_of_range(i, count));
  return i < 0 ? i + n : i;
}

}  // namespace mivo::py::batch
