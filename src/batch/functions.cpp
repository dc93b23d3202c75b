// Batch quantization, RaBitQ estimates against a QuantizedBatch and the ternary
// measures against a TernaryBatch: each element has the bits of the per-record call.
#include "functions.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "../error.h"
#include "../lib/args.h"
#include "../lib/convert.h"
#include "../lib/numpy_api.h"
#include "../lib/objects.h"
#include "../lib/released.h"
#include "../lib/results.h"
#include "../search.h"
#include "batches.h"
#include "kmeans_calls.h"
#include "messages.h"
#include "search_calls.h"
#include "vector_rows.h"

namespace mivo::py::batch {

namespace {

using RaBitQObject = Wrapped<mivo::RaBitQQuantizer>;
using TernaryQuantizerObject = Wrapped<mivo::TernaryQuantizer>;
using TernaryVectorObject = Wrapped<mivo::TernaryVector>;

PyObject* quantize_rabitq(const ModuleState& state, PyObject* quantizer, PyObject* vectors) {
  auto q = to_instance<RaBitQObject>(quantizer, state.rabitq_quantizer, kRaBitQQuantizerName,
                                     "quantizer");
  const mivo::RaBitQQuantizer& rabitq = *q->value;
  const VectorRows rows(vectors, rabitq.dimension(), "vectors", kVectorsNotMatrix);
  auto data = allocate_quantized(rabitq.dimension(), static_cast<unsigned>(rabitq.total_bits() - 1),
                                 rows.rows());
  run_released([&](Pacer& pacer) { quantize_batch(rabitq, rows.data(), writable(*data), &pacer); });
  return new_quantized_batch(state, std::move(data));
}

PyObject* quantize_ternary(const ModuleState& state, PyObject* quantizer, PyObject* vectors) {
  auto q = to_instance<TernaryQuantizerObject>(quantizer, state.ternary_quantizer,
                                               kTernaryQuantizerName, "quantizer");
  const mivo::TernaryQuantizer& ternary = *q->value;
  const VectorRows rows(vectors, ternary.dimension(), "vectors", kVectorsNotMatrix);
  auto data = allocate_ternary(ternary.dimension(), rows.rows());
  const MutableTernaryColumns out = writable(*data);
  run_released([&](Pacer& pacer) {
    for (uint64_t i = 0; i < rows.rows(); ++i) {
      store_ternary_record(ternary.quantize(rows.row(i, ternary.dimension())), out, i);
      pacer.step();
    }
  });
  return new_ternary_batch(state, std::move(data));
}

MIVO_SIGNATURE(kQuantize, "quantize()", 2, "quantizer", "vectors");
PyObject* py_quantize(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kQuantize, args, nargs, kwnames);
    const ModuleState& state = state_of_module(module);
    if (Py_TYPE(a[0]) == state.rabitq_quantizer) return quantize_rabitq(state, a[0], a[1]);
    if (Py_TYPE(a[0]) == state.ternary_quantizer) return quantize_ternary(state, a[0], a[1]);
    try {
      throw_not_instance(a[0], kEitherQuantizerName);
    } catch (const PythonError&) {
      name_type_error("quantizer");
      throw;
    }
  });
}

// Runs kernel(begin, n) over chunks of `chunk` of `count` records with the lock released
// and a pacer step after each chunk, at least once, so that an empty batch still meets
// the kernel's checks. What the kernels read is held for the call: the batch by the
// caller's reference, the operand under shared access or copied.
template <class F>
void released_chunks(uint64_t count, uint64_t chunk, F&& kernel) {
  run_released([&](Pacer& pacer) {
    uint64_t begin = 0;
    do {
      const uint64_t n = std::min(chunk, count - begin);
      kernel(begin, n);
      begin += n;
      pacer.step();
    } while (begin < count);
  });
}

// Binds (quantizer, query, batch): the quantizer is taken first, then the batch, then
// the query converted, as the per-record methods take the record before the query.
template <bool kDistance>
PyObject* estimate(const Signature<3>& sig, PyObject* module, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(sig, args, nargs, kwnames);
    const ModuleState& state = state_of_module(module);
    auto q =
        to_instance<RaBitQObject>(a[0], state.rabitq_quantizer, kRaBitQQuantizerName, "quantizer");
    const QuantizedBatchData& batch = quantized_batch_arg(state, a[2], "batch");
    const std::vector<float> query = to_float_vector(a[1]);
    const mivo::RaBitQQuantizer& rabitq = *q->value;
    // A record of another bit width or dimension never came from this quantizer (both
    // are fixed when it is made); the per-record call computes something for it
    // anyway, a batch call refuses.
    check_batch_fits(rabitq, batch);
    ResultBuffer<float> out(batch.count);
    const RecordColumns all = batch.columns();
    released_chunks(batch.count, records_per_block(batch.dimension), [&](uint64_t b, uint64_t n) {
      const std::span<float> part = out.span().subspan(b, n);
      if (kDistance) {
        approximate_distance_batch(rabitq, query, slice_rows(all, b, n), part);
      } else {
        approximate_l2_sqr_batch(rabitq, query, slice_rows(all, b, n), part);
      }
    });
    return out.to_array(numpy::kFloat32);
  });
}

MIVO_SIGNATURE(kApproximateL2Sqr, "approximate_l2_sqr()", 3, "quantizer", "query", "batch");
PyObject* py_approximate_l2_sqr(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return estimate<false>(kApproximateL2Sqr, module, args, nargs, kwnames);
}

MIVO_SIGNATURE(kApproximateDistance, "approximate_distance()", 3, "quantizer", "query", "batch");
PyObject* py_approximate_distance(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return estimate<true>(kApproximateDistance, module, args, nargs, kwnames);
}

// Binds (a, batch): the vector is taken before the batch, as mivo takes a before b.
template <class T, numpy::TypeNum kType, class F>
PyObject* symmetric(const Signature<2>& sig, PyObject* module, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, F&& kernel) {
  return guarded([&] {
    const auto p = bind(sig, args, nargs, kwnames);
    const ModuleState& state = state_of_module(module);
    auto a = to_instance<TernaryVectorObject>(p[0], state.ternary_vector, kTernaryVectorName, "a");
    const TernaryBatchData& batch = ternary_batch_arg(state, p[1], "batch");
    ResultBuffer<T> out(batch.count);
    const auto codes = codes_of(*a->value);
    const TernaryColumns all = batch.columns();
    released_chunks(batch.count, records_per_block(batch.dimension), [&](uint64_t b, uint64_t n) {
      kernel(codes, all.slice(b, n), out.span().subspan(b, n));
    });
    return out.to_array(kType);
  });
}

// Binds (query, batch): the batch is taken before the query is converted.
template <class F>
PyObject* asymmetric(const Signature<2>& sig, PyObject* module, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, F&& kernel) {
  return guarded([&] {
    const auto p = bind(sig, args, nargs, kwnames);
    const ModuleState& state = state_of_module(module);
    const TernaryBatchData& batch = ternary_batch_arg(state, p[1], "batch");
    const std::vector<float> query = to_float_vector(p[0]);
    ResultBuffer<float> out(batch.count);
    const TernaryColumns all = batch.columns();
    released_chunks(batch.count, records_per_block(batch.dimension), [&](uint64_t b, uint64_t n) {
      kernel(query, all.slice(b, n), out.span().subspan(b, n));
    });
    return out.to_array(numpy::kFloat32);
  });
}

MIVO_SIGNATURE(kHamming, "ternary_hamming()", 2, "a", "batch");
PyObject* py_ternary_hamming(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return symmetric<uint64_t, numpy::kUInt64>(kHamming, m, args, nargs, kw, ternary_hamming_batch);
}

MIVO_SIGNATURE(kInnerProduct, "ternary_inner_product()", 2, "a", "batch");
PyObject* py_ternary_inner_product(PyObject* m, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kw) {
  return symmetric<int32_t, numpy::kInt32>(kInnerProduct, m, args, nargs, kw,
                                           ternary_inner_product_batch);
}

MIVO_SIGNATURE(kCosine, "ternary_cosine_similarity()", 2, "a", "batch");
PyObject* py_ternary_cosine_similarity(PyObject* m, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kw) {
  return symmetric<float, numpy::kFloat32>(kCosine, m, args, nargs, kw,
                                           ternary_cosine_similarity_batch);
}

MIVO_SIGNATURE(kAsymIp, "ternary_asymmetric_inner_product()", 2, "query", "batch");
PyObject* py_ternary_asymmetric_inner_product(PyObject* m, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kw) {
  return asymmetric(kAsymIp, m, args, nargs, kw, ternary_asymmetric_inner_product_batch);
}

MIVO_SIGNATURE(kAsymCos, "ternary_asymmetric_cosine_distance()", 2, "query", "batch");
PyObject* py_ternary_asymmetric_cosine_distance(PyObject* m, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kw) {
  return asymmetric(kAsymCos, m, args, nargs, kw, ternary_asymmetric_cosine_distance_batch);
}

}  // namespace

PyMethodDef g_functions[] = {
    {"quantize", as_cfunction<py_quantize>(), kFastCall,
     "quantize(quantizer, vectors)\n--\n\nQuantize the rows of a 2-D float32 array (n, "
     "dimension).\n\nRow i of the result is bit-identical to quantizer.quantize(vectors[i]): a "
     "QuantizedBatch for a RaBitQQuantizer, a TernaryBatch for a TernaryQuantizer. The "
     "interpreter lock is released while quantizing; on the main thread, signals are checked "
     "about every 10 ms, and a handler's exception stops the call, which returns nothing."},
    {"approximate_l2_sqr", as_cfunction<py_approximate_l2_sqr>(), kFastCall,
     "approximate_l2_sqr(quantizer, query, batch)\n--\n\nApproximate L2 distance squared "
     "between query and every record of a QuantizedBatch.\n\nReturns a float32 array (len(batch),) "
     "whose element i is quantizer.approximate_l2_sqr(query, batch[i])."},
    {"approximate_distance", as_cfunction<py_approximate_distance>(), kFastCall,
     "approximate_distance(quantizer, query, batch)\n--\n\nApproximate Euclidean distance "
     "between query and every record of a QuantizedBatch.\n\nReturns a float32 array "
     "(len(batch),) whose element i is quantizer.approximate_distance(query, batch[i])."},
    {"bounds", as_cfunction<py_bounds>(), kFastCall, kBoundsDoc},
    {"integer_bounds", as_cfunction<py_integer_bounds>(), kFastCall, kIntegerBoundsDoc},
    {"search", as_cfunction<py_search>(), kFastCall, kSearchDoc},
    {"kmeans", as_cfunction<py_kmeans>(), kFastCall, kKmeansDoc},
    {"assign", as_cfunction<py_assign>(), kFastCall, kAssignDoc},
    {"ternary_inner_product", as_cfunction<py_ternary_inner_product>(), kFastCall,
     "ternary_inner_product(a, batch)\n--\n\nInner product between a ternary vector and every "
     "record of a TernaryBatch.\n\nReturns an int32 array; 0 everywhere if dimensions differ."},
    {"ternary_cosine_similarity", as_cfunction<py_ternary_cosine_similarity>(), kFastCall,
     "ternary_cosine_similarity(a, batch)\n--\n\nCosine similarity between a ternary vector and "
     "every record of a TernaryBatch.\n\nReturns a float32 array."},
    {"ternary_asymmetric_inner_product", as_cfunction<py_ternary_asymmetric_inner_product>(),
     kFastCall,
     "ternary_asymmetric_inner_product(query, batch)\n--\n\nAsymmetric inner product: f32 query "
     "vs every record of a TernaryBatch.\n\nReturns a float32 array."},
    {"ternary_asymmetric_cosine_distance", as_cfunction<py_ternary_asymmetric_cosine_distance>(),
     kFastCall,
     "ternary_asymmetric_cosine_distance(query, batch)\n--\n\nAsymmetric cosine distance: 1 - "
     "cos(query, record) for every record of a TernaryBatch.\n\nReturns a float32 array."},
    {"ternary_hamming", as_cfunction<py_ternary_hamming>(), kFastCall,
     "ternary_hamming(a, batch)\n--\n\nHamming distance between a ternary vector and every "
     "record of a TernaryBatch.\n\nReturns a uint64 array; raises ValueError if dimensions "
     "differ (the per-record call returns None)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace mivo::py::batch
