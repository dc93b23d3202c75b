// The classes TernaryQuantizer and TernaryVector, and the ternary similarity functions.
#include <memory>
#include <string>

#include "../ternary.h"
#include "args.h"
#include "classes.h"
#include "convert.h"
#include "messages.h"
#include "objects.h"
#include "results.h"

namespace mivo::py {

namespace {

using VectorObject = Wrapped<mivo::TernaryVector>;
using QuantizerObject = Wrapped<mivo::TernaryQuantizer>;

std::atomic<PyObject*> g_vector_type{nullptr};
std::atomic<PyObject*> g_quantizer_type{nullptr};

// The single-precision defaults of the thresholds.
constexpr float kDefaultHigh = 0.3f;
constexpr float kDefaultLow = -0.3f;

// ---- TernaryVector --------------------------------------------------------------

PyGetSetDef vector_getset[] = {
    property<&mivo::TernaryVector::dimension, int_result>("dimension", "Number of dimensions."),
    property<&mivo::TernaryVector::original_norm, float_result>(
        "original_norm", "L2 norm of the original (pre-quantization) vector."),
    property<&mivo::TernaryVector::sparsity, float_result>("sparsity",
                                                           "Fraction of dimensions that are zero."),
    property<&mivo::TernaryVector::memory_bytes, int_result>("memory_bytes",
                                                             "Memory usage in bytes."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

MIVO_SIGNATURE(kGet, "TernaryVector.get()", 1, "idx");
PyObject* TernaryVector_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kGet, args, nargs, kwnames);
    auto* o = reinterpret_cast<VectorObject*>(self);
    AccessGuard guard(o->access, Access::Shared);
    const uint64_t idx = to_unsigned_size(a[0], "idx");
    const mivo::TernaryVector& v = native_value(o);
    if (idx >= v.dimension) {
      throw_error(PyExc_IndexError, index_out_of_range(idx, v.dimension));
    }
    return signed_result(v.get(idx));
  });
}

PyObject* TernaryVector_to_list(PyObject* self, PyObject*) {
  return read_shared<mivo::TernaryVector>(self, [](const mivo::TernaryVector& v) {
    const std::vector<int8_t> values = v.to_list();
    Ref list = Ref::steal(checked_new(PyList_New(values.size()), kWhatList));
    for (size_t i = 0; i < values.size(); ++i) {
      PyList_SET_ITEM(list.get(), i, signed_result(values[i]));
    }
    return list.release();
  });
}

PyObject* TernaryVector_repr(PyObject* self) {
  return read_shared<mivo::TernaryVector>(self, [](const mivo::TernaryVector& v) {
    return str_result("TernaryVector(dimension=" + std::to_string(v.dimension) +
                      ", sparsity=" + format_fixed(v.sparsity(), 2) + ")");
  });
}

PyMethodDef vector_methods[] = {
    {"get", as_cfunction<TernaryVector_get>(), kFastCall,
     "get($self, idx)\n--\n\nGet the ternary value at index (returns -1, 0, or +1)."},
    {"to_list", as_cfunction<TernaryVector_to_list>(), METH_NOARGS,
     "to_list($self)\n--\n\nReturn all ternary values as a list."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot vector_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapped_dealloc<mivo::TernaryVector>)},
    {Py_tp_repr, reinterpret_cast<void*>(TernaryVector_repr)},
    {Py_tp_getset, vector_getset},
    {Py_tp_methods, vector_methods},
    {Py_tp_doc, const_cast<char*>(
                    "Ternary quantized vector ({-1, 0, +1} per dimension).\n\nStores values in a "
                    "compact 2-bit encoding. Access individual values\nwith `get()` or retrieve "
                    "all values with `to_list()`.")},
    {0, nullptr},
};

PyType_Spec vector_spec = {kTernaryVectorSpecName, sizeof(VectorObject), 0, kRecordTypeFlags,
                           vector_slots};

// ---- TernaryQuantizer -------------------------------------------------------------

MIVO_SIGNATURE(kNew, "TernaryQuantizer.__new__()", 1, "dimension", "threshold_high",
               "threshold_low", "normalize", "target_sparsity");
PyObject* TernaryQuantizer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto a = bind(kNew, args, kwargs);
    const uint64_t dimension = to_unsigned_size(a[0], "dimension");
    const float high = a[1] ? to_real(a[1], "threshold_high") : kDefaultHigh;
    const float low = a[2] ? to_real(a[2], "threshold_low") : kDefaultLow;
    const bool normalize = a[3] ? to_flag(a[3], "normalize") : true;
    const std::optional<float> target = to_optional_real(a[4], "target_sparsity");
    auto quantizer =
        std::make_unique<mivo::TernaryQuantizer>(dimension, high, low, normalize, target);
    return wrap_new(type, std::move(quantizer));
  });
}

MIVO_SIGNATURE(kFit, "TernaryQuantizer.fit()", 1, "vectors", "num_vectors");
PyObject* TernaryQuantizer_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kFit, args, nargs, kwnames);
    auto* o = reinterpret_cast<QuantizerObject*>(self);
    AccessGuard guard(o->access, Access::Exclusive);
    const std::optional<uint64_t> num_vectors = to_optional_size(a[1], "num_vectors");
    const FittingMatrix matrix = to_fitting_matrix(a[0], num_vectors);
    native_value(o).fit(matrix.flat, matrix.rows);
    return none_result();
  });
}

MIVO_SIGNATURE(kQuantize, "TernaryQuantizer.quantize()", 1, "vector");
PyObject* TernaryQuantizer_quantize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kQuantize, args, nargs, kwnames);
    auto* o = reinterpret_cast<QuantizerObject*>(self);
    AccessGuard guard(o->access, Access::Shared);
    const std::vector<float> vector = to_float_vector(a[0]);
    auto record = std::make_unique<mivo::TernaryVector>(native_value(o).quantize(vector));
    return wrap_new(ternary_vector_type(), std::move(record));
  });
}

PyObject* TernaryQuantizer_repr(PyObject* self) {
  return read_shared<mivo::TernaryQuantizer>(self, [](const mivo::TernaryQuantizer& q) {
    return str_result("TernaryQuantizer(dimension=" + std::to_string(q.dimension()) + ")");
  });
}

PyMethodDef quantizer_methods[] = {
    {"fit", as_cfunction<TernaryQuantizer_fit>(), kFastCall,
     "fit($self, vectors, num_vectors=None)\n--\n\nFit adaptive thresholds from training "
     "vectors.\n\nAccepts either:\n  - A 2D numpy float32 array of shape (n, dimension) -- "
     "num_vectors\n    is inferred from shape[0].\n  - A flat list or 1D numpy array of floats "
     "(row-major) with an\n    explicit `num_vectors` parameter."},
    {"quantize", as_cfunction<TernaryQuantizer_quantize>(), kFastCall,
     "quantize($self, vector)\n--\n\nQuantize a single vector.\n\nAccepts a list of floats or a "
     "numpy float32 1D array."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot quantizer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapped_dealloc<mivo::TernaryQuantizer>)},
    {Py_tp_new, reinterpret_cast<void*>(TernaryQuantizer_new)},
    {Py_tp_repr, reinterpret_cast<void*>(TernaryQuantizer_repr)},
    {Py_tp_methods, quantizer_methods},
    {Py_tp_doc,
     const_cast<char*>(
         "TernaryQuantizer(dimension, threshold_high=0.3, threshold_low=..., normalize=True, "
         "target_sparsity=None)\n--\n\nTernary quantizer: maps each dimension to {-1, 0, "
         "+1}.\n\nValues above `threshold_high` become +1, below `threshold_low` become -1,\nand "
         "values in between become 0. Optionally L2-normalizes input first.\n\nArgs:\n    "
         "dimension: vector dimension.\n    threshold_high: values above this become +1 (default "
         "0.3).\n    threshold_low: values below this become -1 (default -0.3).\n    normalize: "
         "L2-normalize before thresholding (default True).\n    target_sparsity: adaptive "
         "sparsity target, or None (default None).")},
    {0, nullptr},
};

PyType_Spec quantizer_spec = {kTernaryQuantizerSpecName, sizeof(QuantizerObject), 0,
                              kQuantizerTypeFlags, quantizer_slots};

// ---- the similarity functions -------------------------------------------------------

SharedAccess<VectorObject> vector_arg(PyObject* o, const char* name) {
  return to_instance<VectorObject>(o, ternary_vector_type(), kTernaryVectorName, name);
}

// Binds (a, b), takes both vectors and applies body to the two records.
template <class F>
PyObject* symmetric(const Signature<2>& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, F&& body) {
  return guarded([&] {
    const auto p = bind(sig, args, nargs, kwnames);
    auto a = vector_arg(p[0], "a");
    auto b = vector_arg(p[1], "b");
    return body(*a->value, *b->value);
  });
}

// Binds (query, quantized): the vector is taken before the query is converted.
template <class F>
PyObject* asymmetric(const Signature<2>& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, F&& body) {
  return guarded([&] {
    const auto p = bind(sig, args, nargs, kwnames);
    auto quantized = vector_arg(p[1], "quantized");
    const std::vector<float> query = to_float_vector(p[0]);
    return body(query, *quantized->value);
  });
}

MIVO_SIGNATURE(kHamming, "ternary_hamming()", 2, "a", "b");
PyObject* py_ternary_hamming(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return symmetric(kHamming, args, nargs, kw, [](const auto& a, const auto& b) {
    const std::optional<uint64_t> d = mivo::ternary_hamming(a, b);
    return d ? int_result(*d) : none_result();
  });
}

MIVO_SIGNATURE(kInnerProduct, "ternary_inner_product()", 2, "a", "b");
PyObject* py_ternary_inner_product(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kw) {
  return symmetric(kInnerProduct, args, nargs, kw, [](const auto& a, const auto& b) {
    return signed_result(mivo::ternary_inner_product(a, b));
  });
}

MIVO_SIGNATURE(kCosine, "ternary_cosine_similarity()", 2, "a", "b");
PyObject* py_ternary_cosine_similarity(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kw) {
  return symmetric(kCosine, args, nargs, kw, [](const auto& a, const auto& b) {
    return float_result(mivo::ternary_cosine_similarity(a, b));
  });
}

MIVO_SIGNATURE(kAsymIp, "ternary_asymmetric_inner_product()", 2, "query", "quantized");
PyObject* py_ternary_asymmetric_inner_product(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kw) {
  return asymmetric(kAsymIp, args, nargs, kw, [](const auto& q, const auto& v) {
    return float_result(mivo::ternary_asymmetric_inner_product(q, v));
  });
}

MIVO_SIGNATURE(kAsymCos, "ternary_asymmetric_cosine_distance()", 2, "query", "quantized");
PyObject* py_ternary_asymmetric_cosine_distance(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kw) {
  return asymmetric(kAsymCos, args, nargs, kw, [](const auto& q, const auto& v) {
    return float_result(mivo::ternary_asymmetric_cosine_distance(q, v));
  });
}

PyMethodDef ternary_function_defs[] = {
    {"ternary_inner_product", as_cfunction<py_ternary_inner_product>(), kFastCall,
     "ternary_inner_product(a, b)\n--\n\nInner product between two ternary vectors."},
    {"ternary_cosine_similarity", as_cfunction<py_ternary_cosine_similarity>(), kFastCall,
     "ternary_cosine_similarity(a, b)\n--\n\nCosine similarity between two ternary vectors."},
    {"ternary_asymmetric_inner_product", as_cfunction<py_ternary_asymmetric_inner_product>(),
     kFastCall,
     "ternary_asymmetric_inner_product(query, quantized)\n--\n\nAsymmetric inner product: f32 "
     "query vs ternary codes.\n\n`query` accepts a list of floats or a numpy float32 array."},
    {"ternary_asymmetric_cosine_distance", as_cfunction<py_ternary_asymmetric_cosine_distance>(),
     kFastCall,
     "ternary_asymmetric_cosine_distance(query, quantized)\n--\n\nAsymmetric cosine distance: 1 - "
     "cos(query, quantized).\n\n`query` accepts a list of floats or a numpy float32 array."},
    {"ternary_hamming", as_cfunction<py_ternary_hamming>(), kFastCall,
     "ternary_hamming(a, b)\n--\n\nHamming distance between two ternary vectors.\n\nReturns None "
     "if dimensions differ."},
};

}  // namespace

PyTypeObject* ternary_vector_type() { return type_once(g_vector_type, &vector_spec); }

PyTypeObject* ternary_quantizer_type() { return type_once(g_quantizer_type, &quantizer_spec); }

std::span<PyMethodDef> ternary_functions() { return ternary_function_defs; }

}  // namespace mivo::py
