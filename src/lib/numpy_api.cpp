// Lazy import of NumPy's array interface and creation of result arrays.
#include "numpy_api.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "../error.h"
#include "errors.h"
#include "interpreters.h"
#include "messages.h"
#include "once.h"
#include "ref.h"

namespace mivo::py::numpy {

namespace {

// Positions in NumPy's interface table.
constexpr int kArrayTypeSlot = 2;
constexpr int kDescrFromTypeSlot = 45;
constexpr int kNewFromDescrSlot = 94;
constexpr int kEquivTypesSlot = 182;
constexpr int kSetBaseObjectSlot = 282;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*,
                                   const Py_ssize_t*, void*, int, PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

Once g_once{kNumpyLookup};
void** g_api = nullptr;
std::string g_failure;
PyObject* g_descr_uint8 = nullptr;
PyObject* g_descr_uint32 = nullptr;
PyObject* g_descr_float32 = nullptr;

// Returns the table, or sets a Python error.
void** import_api() {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) return nullptr;
  const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
  if (text == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, kVersionNotStr);
    return nullptr;
  }
  const long major = std::strtol(text, nullptr, 10);
  const char* module_name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  Ref module = Ref::steal(PyImport_ImportModule(module_name));
  if (!module) return nullptr;
  Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) return nullptr;
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_SetString(PyExc_TypeError, kApiNotCapsule);
    return nullptr;
  }
  auto table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) return nullptr;
  // The table lives as long as NumPy's extension module, which is never unloaded.
  auto from_type = reinterpret_cast<DescrFromType>(table[kDescrFromTypeSlot]);
  g_descr_uint8 = from_type(kUInt8);
  g_descr_uint32 = from_type(kUInt32);
  g_descr_float32 = from_type(kFloat32);
  if (!g_descr_uint8 || !g_descr_uint32 || !g_descr_float32) return nullptr;
  return table;
}

// Loads the table on first use; a kept failure leaves it null (see g_failure).
//
// NumPy supports a single interpreter: the first one that imports it keeps it for the
// process, and NumPy 2 then refuses to load in any other ("cannot load module more
// than once per process"). So only the main interpreter loads the interface, and keeps
// it for the process (the table and the three descriptors are NumPy's static data,
// the same in every interpreter). Another interpreter uses what the main one loaded and
// never imports NumPy itself: that would take NumPy away from the main interpreter for
// good. Before the main interpreter has loaded it, NumPy is unavailable there, and
// nothing is kept.
void** load() {
  if (!in_main_interpreter()) return g_once.done() ? g_api : nullptr;
  g_once.run([] { return (g_api = import_api()) != nullptr; },
             [](PyObject* exc) {
               g_failure = std::string(kCapsuleFailure) + ": " + describe_exception(exc);
             });
  return g_api;
}

void** api() {
  void** table = load();
  if (table == nullptr) {
    throw InternalFailure(
        g_once.done() ? g_failure : std::string(kCapsuleFailure) + ": " + kNumpyOnlyInMain,
        __FILE__, __LINE__);
  }
  return table;
}

PyObject* descr_for(TypeNum type_num) {
  switch (type_num) {
    case kUInt8: return g_descr_uint8;
    case kUInt32: return g_descr_uint32;
    case kFloat32: return g_descr_float32;
    case kInt32:
    case kInt64:
    case kUInt64: break;
  }
  return nullptr;
}

// A new reference to the descriptor of type_num, for a constructor that steals it.
PyObject* new_descr(void** table, TypeNum type_num) {
  if (PyObject* cached = descr_for(type_num)) return Py_NewRef(cached);
  auto from_type = reinterpret_cast<DescrFromType>(table[kDescrFromTypeSlot]);
  return checked_new(from_type(type_num), kWhatArray);
}

PyTypeObject* array_type(void** table) { return static_cast<PyTypeObject*>(table[kArrayTypeSlot]); }

// Frees its buffer when the array that uses it as base dies.
struct Holder {
  PyObject_HEAD
  void* data;
};

void holder_dealloc(PyObject* self) {
  std::free(reinterpret_cast<Holder*>(self)->data);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(type);
}

PyType_Slot holder_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc)},
    {Py_tp_doc, const_cast<char*>(kBufferHolderDoc)},
    {0, nullptr},
};

PyType_Spec holder_spec = {
    kBufferHolderSpecName, sizeof(Holder), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    holder_slots};

std::atomic<PyObject*> g_holder_type{nullptr};

PyTypeObject* holder_type() {
  return reinterpret_cast<PyTypeObject*>(interpreter_object(
      g_holder_type, kBufferHolderSpecName,
      [] { return checked_new(PyType_FromSpec(&holder_spec), kWhatHolderType); }));
}

}  // namespace

bool available() { return load() != nullptr; }

bool is_array_of(PyObject* o, int ndim, TypeNum type_num) {
  void** table = api();
  if (!PyObject_TypeCheck(o, array_type(table))) return false;
  ArrayFields* a = fields(o);
  if (a->nd != ndim) return false;
  auto equiv = reinterpret_cast<EquivTypes>(table[kEquivTypesSlot]);
  return a->descr == descr_for(type_num) || equiv(a->descr, descr_for(type_num));
}

bool is_exact_array(PyObject* o) { return Py_TYPE(o) == array_type(api()); }

PyObject* array_over(void* data, size_t count, TypeNum type_num) {
  const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(count)};
  return array_over(data, 1, dims, type_num);
}

PyObject* array_over(void* data, int nd, const Py_ssize_t* dims, TypeNum type_num) {
  void** table;
  PyTypeObject* htype;
  try {
    table = api();
    htype = holder_type();
  } catch (...) {
    std::free(data);
    throw;
  }
  auto* holder = PyObject_New(Holder, htype);
  if (holder == nullptr) {
    std::free(data);
    checked_new(nullptr, kWhatHolder);
  }
  holder->data = data;
  Ref owner = Ref::steal(reinterpret_cast<PyObject*>(holder));

  PyObject* descr = new_descr(table, type_num);  // the constructor steals it
  auto new_from_descr = reinterpret_cast<NewFromDescr>(table[kNewFromDescrSlot]);
  Ref array = Ref::steal(new_from_descr(array_type(table), descr, nd, dims, nullptr, data,
                                        kCContiguous | kAligned | kWriteable, nullptr));
  checked_new(array.get(), kWhatArray);
  auto set_base = reinterpret_cast<SetBaseObject>(table[kSetBaseObjectSlot]);
  if (set_base(array.get(), owner.release()) != 0) checked_new(nullptr, kWhatArray);
  return array.release();
}

PyObject* array_view(const void* data, int nd, const Py_ssize_t* dims, TypeNum type_num,
                     PyObject* base) {
  void** table = api();
  // NumPy allocates memory of its own for a null data pointer; an empty view needs
  // none, so it gets any valid address instead.
  static const uint64_t kNoElements = 0;
  void* address = const_cast<void*>(data != nullptr ? data : &kNoElements);
  auto new_from_descr = reinterpret_cast<NewFromDescr>(table[kNewFromDescrSlot]);
  Ref array = Ref::steal(new_from_descr(array_type(table), new_descr(table, type_num), nd, dims,
                                        nullptr, address, kCContiguous | kAligned, nullptr));
  checked_new(array.get(), kWhatArray);
  auto set_base = reinterpret_cast<SetBaseObject>(table[kSetBaseObjectSlot]);
  if (set_base(array.get(), Py_NewRef(base)) != 0) checked_new(nullptr, kWhatArray);
  return array.release();
}

}  // namespace mivo::py::numpy
