// The classes RaBitQQuantizer and QuantizedVector.
#include <memory>
#include <string>

#include "../rabitq.h"
#include "args.h"
#include "classes.h"
#include "convert.h"
#include "messages.h"
#include "objects.h"
#include "results.h"

namespace mivo::py {

namespace {

using QuantizedVectorObject = Wrapped<mivo::QuantizedVector>;
using QuantizerObject = Wrapped<mivo::RaBitQQuantizer>;

std::atomic<PyObject*> g_quantized_vector_type{nullptr};
std::atomic<PyObject*> g_quantizer_type{nullptr};

// ---- QuantizedVector ----------------------------------------------------------

PyObject* bytes_result(const std::vector<uint8_t>& b) {
  return checked_new(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), b.size()),
                     kWhatBytes);
}

PyObject* codes_result(const std::vector<uint16_t>& codes) {
  Ref list = Ref::steal(checked_new(PyList_New(codes.size()), kWhatList));
  for (size_t i = 0; i < codes.size(); ++i) {
    PyList_SET_ITEM(list.get(), i, int_result(codes[i]));
  }
  return list.release();
}

PyGetSetDef quantized_vector_getset[] = {
    property<&mivo::QuantizedVector::dimension, int_result>("dimension", "Vector dimension."),
    property<&mivo::QuantizedVector::ex_bits, int_result>(
        "ex_bits", "Number of extended bits (total_bits - 1)."),
    property<&mivo::QuantizedVector::delta, float_result>("delta", "Quantization step size."),
    property<&mivo::QuantizedVector::vl, float_result>("vl", "Lower bound of quantization range."),
    property<&mivo::QuantizedVector::f_add, float_result>(
        "f_add", "Additive factor for distance estimation."),
    property<&mivo::QuantizedVector::f_rescale, float_result>(
        "f_rescale", "Rescaling factor for distance estimation."),
    property<&mivo::QuantizedVector::f_error, float_result>("f_error", "Quantization error bound."),
    property<&mivo::QuantizedVector::residual_norm, float_result>(
        "residual_norm", "Norm of the residual after centroid subtraction."),
    property<&mivo::QuantizedVector::binary_codes, bytes_result>(
        "binary_codes", "Packed binary codes (1 bit per dimension)."),
    property<&mivo::QuantizedVector::extended_codes, bytes_result>("extended_codes",
                                                                   "Extended precision codes."),
    property<&mivo::QuantizedVector::codes, codes_result>(
        "codes", "Combined multi-bit codes (one u16 per dimension)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* QuantizedVector_repr(PyObject* self) {
  return read_shared<mivo::QuantizedVector>(self, [](const mivo::QuantizedVector& v) {
    return str_result("QuantizedVector(dimension=" + std::to_string(v.dimension) +
                      ", ex_bits=" + std::to_string(v.ex_bits) +
                      ", residual_norm=" + format_fixed(v.residual_norm, 4) + ")");
  });
}

PyType_Slot quantized_vector_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapped_dealloc<mivo::QuantizedVector>)},
    {Py_tp_repr, reinterpret_cast<void*>(QuantizedVector_repr)},
    {Py_tp_getset, quantized_vector_getset},
    {Py_tp_doc,
     const_cast<char*>("Quantized vector produced by RaBitQ.\n\nContains binary codes, extended "
                       "codes, and metadata needed for\napproximate distance computation.")},
    {0, nullptr},
};

PyType_Spec quantized_vector_spec = {kQuantizedVectorSpecName, sizeof(QuantizedVectorObject), 0,
                                     kRecordTypeFlags, quantized_vector_slots};

// ---- RaBitQQuantizer ------------------------------------------------------------

mivo::RaBitQQuantizer& quantizer_of(PyObject* self) {
  return native_value(reinterpret_cast<QuantizerObject*>(self));
}
AccessState& access_of(PyObject* self) { return reinterpret_cast<QuantizerObject*>(self)->access; }

MIVO_SIGNATURE(kNew, "RaBitQQuantizer.__new__()", 2, "dimension", "seed", "total_bits");
PyObject* RaBitQQuantizer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto a = bind(kNew, args, kwargs);
    const uint64_t dimension = to_unsigned_size(a[0], "dimension");
    const uint64_t seed = to_unsigned_size(a[1], "seed");
    const uint64_t total_bits = a[2] ? to_unsigned_size(a[2], "total_bits") : 4;
    auto quantizer = std::make_unique<mivo::RaBitQQuantizer>(dimension, seed, total_bits);
    return wrap_new(type, std::move(quantizer));
  });
}

MIVO_SIGNATURE(kFit, "RaBitQQuantizer.fit()", 1, "vectors", "num_vectors");
PyObject* RaBitQQuantizer_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kFit, args, nargs, kwnames);
    AccessGuard guard(access_of(self), Access::Exclusive);
    const std::optional<uint64_t> num_vectors = to_optional_size(a[1], "num_vectors");
    const FittingMatrix matrix = to_fitting_matrix(a[0], num_vectors);
    quantizer_of(self).fit(matrix.flat, matrix.rows);
    return none_result();
  });
}

MIVO_SIGNATURE(kSetCentroid, "RaBitQQuantizer.set_centroid()", 1, "centroid");
PyObject* RaBitQQuantizer_set_centroid(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kSetCentroid, args, nargs, kwnames);
    AccessGuard guard(access_of(self), Access::Exclusive);
    const std::vector<float> centroid = to_float_sequence(a[0], "centroid");
    quantizer_of(self).set_centroid(centroid);
    return none_result();
  });
}

MIVO_SIGNATURE(kQuantize, "RaBitQQuantizer.quantize()", 1, "vector");
PyObject* RaBitQQuantizer_quantize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kQuantize, args, nargs, kwnames);
    AccessGuard guard(access_of(self), Access::Shared);
    const std::vector<float> vector = to_float_vector(a[0]);
    auto record = std::make_unique<mivo::QuantizedVector>(quantizer_of(self).quantize(vector));
    return wrap_new(quantized_vector_type(), std::move(record));
  });
}

template <bool kDistance>
PyObject* estimate(const Signature<2>& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(sig, args, nargs, kwnames);
    AccessGuard guard(access_of(self), Access::Shared);
    auto record = to_instance<QuantizedVectorObject>(a[1], quantized_vector_type(),
                                                     kQuantizedVectorName, "quantized");
    const std::vector<float> query = to_float_vector(a[0]);
    const mivo::RaBitQQuantizer& q = quantizer_of(self);
    return float_result(kDistance ? q.approximate_distance(query, *record->value)
                                  : q.approximate_l2_sqr(query, *record->value));
  });
}

MIVO_SIGNATURE(kApproximateL2Sqr, "RaBitQQuantizer.approximate_l2_sqr()", 2, "query", "quantized");
PyObject* RaBitQQuantizer_approximate_l2_sqr(PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames) {
  return estimate<false>(kApproximateL2Sqr, self, args, nargs, kwnames);
}

MIVO_SIGNATURE(kApproximateDistance, "RaBitQQuantizer.approximate_distance()", 2, "query",
               "quantized");
PyObject* RaBitQQuantizer_approximate_distance(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames) {
  return estimate<true>(kApproximateDistance, self, args, nargs, kwnames);
}

PyObject* RaBitQQuantizer_repr(PyObject* self) {
  return read_shared<mivo::RaBitQQuantizer>(self, [](const mivo::RaBitQQuantizer& q) {
    return str_result("RaBitQQuantizer(dimension=" + std::to_string(q.dimension()) +
                      ", total_bits=" + std::to_string(q.total_bits()) + ")");
  });
}

PyMethodDef quantizer_methods[] = {
    {"fit", as_cfunction<RaBitQQuantizer_fit>(), kFastCall,
     "fit($self, vectors, num_vectors=None)\n--\n\nFit centroid from training vectors.\n\nAccepts "
     "either:\n  - A 2D numpy float32 array of shape (n, dimension) -- num_vectors\n    is "
     "inferred from shape[0].\n  - A flat list or 1D numpy array of floats (row-major) with an\n  "
     "  explicit `num_vectors` parameter."},
    {"set_centroid", as_cfunction<RaBitQQuantizer_set_centroid>(), kFastCall,
     "set_centroid($self, centroid)\n--\n\nSet centroid directly."},
    {"quantize", as_cfunction<RaBitQQuantizer_quantize>(), kFastCall,
     "quantize($self, vector)\n--\n\nQuantize a single vector.\n\nAccepts a list of floats or a "
     "numpy float32 1D array."},
    {"approximate_l2_sqr", as_cfunction<RaBitQQuantizer_approximate_l2_sqr>(), kFastCall,
     "approximate_l2_sqr($self, query, quantized)\n--\n\nApproximate L2 distance squared between "
     "query and quantized vector.\n\n`query` accepts a list of floats or a numpy float32 array."},
    {"approximate_distance", as_cfunction<RaBitQQuantizer_approximate_distance>(), kFastCall,
     "approximate_distance($self, query, quantized)\n--\n\nApproximate Euclidean distance (sqrt "
     "of L2 squared).\n\n`query` accepts a list of floats or a numpy float32 array."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot quantizer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapped_dealloc<mivo::RaBitQQuantizer>)},
    {Py_tp_new, reinterpret_cast<void*>(RaBitQQuantizer_new)},
    {Py_tp_repr, reinterpret_cast<void*>(RaBitQQuantizer_repr)},
    {Py_tp_methods, quantizer_methods},
    {Py_tp_doc, const_cast<char*>(
                    "RaBitQQuantizer(dimension, seed, total_bits=4)\n--\n\nRaBitQ quantizer with "
                    "extended bit support.\n\nQuantizes vectors into 1-8 bits per dimension using "
                    "randomized\nHadamard rotation and uniform scalar quantization.\n\nArgs:\n    "
                    "dimension: vector dimension (must be > 0).\n    seed: random seed for "
                    "rotation matrix.\n    total_bits: bits per dimension, 1-8 (default 4).")},
    {0, nullptr},
};

PyType_Spec quantizer_spec = {kRaBitQQuantizerSpecName, sizeof(QuantizerObject), 0,
                              kQuantizerTypeFlags, quantizer_slots};

}  // namespace

PyTypeObject* quantized_vector_type() {
  return type_once(g_quantized_vector_type, &quantized_vector_spec);
}

PyTypeObject* rabitq_quantizer_type() { return type_once(g_quantizer_type, &quantizer_spec); }

}  // namespace mivo::py
