// The layout and slots shared by the two batch classes.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "../lib/convert.h"
#include "../lib/errors.h"
#include "../lib/messages.h"
#include "../lib/numpy_api.h"
#include "../lib/objects.h"
#include "../lib/python.h"
#include "../lib/ref.h"
#include "columns.h"
#include "messages.h"
#include "state.h"

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

// The sequence slots of a batch class whose rows are records of mivo's class
// ModuleState::*Record: len(batch), batch[i] and batch[index], row i made by
// record_at(columns, i).
//
// mivo frees such a record with its own dealloc: both modules come from one build (the
// execution step checks the version and the layout) and link the one C++ runtime of
// the process, so a record allocated here is the same type with the same layout and is
// freed by the same operator delete as one that mivo allocated itself.
template <class Data, auto RecordAt, PyTypeObject* ModuleState::* Record>
struct RecordSequence {
  using Value = decltype(RecordAt(std::declval<const Data&>().columns(), uint64_t{}));

  static Py_ssize_t length(PyObject* self) {
    return static_cast<Py_ssize_t>(data_of<Data>(self).count);
  }

  static PyObject* item(PyObject* self, Py_ssize_t i) {
    return guarded([&] {
      const Data& batch = data_of<Data>(self);
      if (i < 0 || static_cast<uint64_t>(i) >= batch.count) {
        throw_error(PyExc_IndexError, batch_index_out_of_range(i, batch.count));
      }
      const ModuleState& state = state_of_type(Py_TYPE(self));
      auto record = std::make_unique<Value>(RecordAt(batch.columns(), static_cast<uint64_t>(i)));
      return wrap_new(state.*Record, std::move(record));
    });
  }

  // An integer, negative ones counting from the end as for a list.
  static PyObject* subscript(PyObject* self, PyObject* index) {
    return guarded([&] { return item(self, batch_index(index, data_of<Data>(self).count)); });
  }
};

// The slots of a batch class: its own repr, properties, methods and docstring, and
// what both classes share (the cycle-collected layout of BatchObject<Data> and the
// sequence protocol of Rows).
template <class Data, class Rows, reprfunc Repr, PyGetSetDef* GetSet, PyMethodDef* Methods,
          const char* Doc>
inline PyType_Slot batch_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc<Data>)},
    {Py_tp_traverse, reinterpret_cast<void*>(batch_traverse<Data>)},
    {Py_tp_repr, reinterpret_cast<void*>(Repr)},
    {Py_sq_length, reinterpret_cast<void*>(Rows::length)},
    {Py_sq_item, reinterpret_cast<void*>(Rows::item)},
    {Py_mp_subscript, reinterpret_cast<void*>(Rows::subscript)},
    {Py_mp_length, reinterpret_cast<void*>(Rows::length)},
    {Py_tp_getset, GetSet},
    {Py_tp_methods, Methods},
    {Py_tp_doc, const_cast<char*>(Doc)},
    {0, nullptr},
};

// The records of from_records(records), with the references that keep them alive. A
// sequence may make its items on demand (a batch, or a __getitem__ that quantizes), so
// the references must outlive the access guards: the guards are declared last and so
// released first.
template <class RecordObject>
struct TakenRecords {
  std::vector<Ref> items;
  std::vector<SharedAccess<RecordObject>> access;

  size_t size() const { return access.size(); }
  const SharedAccess<RecordObject>& operator[](size_t i) const { return access[i]; }
};

// The records of from_records(records): a non-empty sequence of instances of `type`
// (named `type_name` in errors), each taken with shared access, as mivo's methods take
// them, before anything is allocated.
template <class RecordObject>
TakenRecords<RecordObject> take_records(PyObject* o, PyTypeObject* type, const char* type_name) {
  TakenRecords<RecordObject> records{to_code_list(o, "records"), {}};
  if (records.items.empty()) throw_error(PyExc_ValueError, kNoRecords);
  records.access.reserve(records.items.size());
  for (const Ref& item : records.items) {
    records.access.push_back(to_instance<RecordObject>(item.get(), type, type_name, "records"));
  }
  return records;
}

}  // namespace mivo::py::batch
