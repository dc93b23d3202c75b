// bounds, integer_bounds and search (see search_calls.h). All release the interpreter
// lock while they compute: they hold shared access on the quantizer and a reference to
// every argument, and every array they read is either the call's own copy, a buffer
// export held for the whole call, or a batch (whose columns never change and whose
// exports live as long as the batch). So nothing they read can be resized, freed or
// changed by mivo while other threads run; a fit or set_centroid on the quantizer
// meanwhile fails at once with the access RuntimeError. The one thing they write to a
// batch is what the integer scan keeps about it, which kept_scan_records publishes
// once, atomically.
#include "search_calls.h"

#include <climits>
#include <optional>
#include <utility>
#include <vector>

#include "../int_scan.h"
#include "../lib/args.h"
#include "../lib/convert.h"
#include "../lib/messages.h"
#include "../lib/objects.h"
#include "../lib/released.h"
#include "../lib/results.h"
#include "../search.h"
#include "batches.h"
#include "call_helpers.h"
#include "messages.h"
#include "vector_rows.h"

namespace mivo::py::batch {

namespace {

using RaBitQObject = Wrapped<mivo::RaBitQQuantizer>;

// The arguments (quantizer, query, batch) of the calls that score one query against
// every record of a batch: the quantizer taken with shared access, the batch held by a
// reference and checked to fit it, the query copied.
struct QueryAndBatch {
  SharedAccess<RaBitQObject> quantizer;
  Ref batch_ref;
  const QuantizedBatchData& batch;
  std::vector<float> query;

  QueryAndBatch(PyObject* module, PyObject* quantizer_arg, PyObject* query_arg, PyObject* batch_arg)
      : quantizer(to_instance<RaBitQObject>(quantizer_arg, state_of_module(module).rabitq_quantizer,
                                            kRaBitQQuantizerName, "quantizer")),
        batch_ref(Ref::borrow(batch_arg)),
        batch(quantized_batch_arg(state_of_module(module), batch_arg, "batch")),
        query(to_float_vector(query_arg)) {
    check_batch_fits(rabitq(), batch);
  }
  const mivo::RaBitQQuantizer& rabitq() const { return *quantizer->value; }
};

// k as a count of columns: an int (or __index__) of at least 1. A k beyond any count
// of records is kept as the largest count, since it gives the same columns.
uint64_t to_k(PyObject* o) {
  int overflow = 0;
  const long long k = to_integer(o, "k", &overflow);
  if (overflow > 0) return static_cast<uint64_t>(LLONG_MAX);
  if (overflow < 0 || k < 1) throw_error(PyExc_ValueError, kKBelowOne);
  return static_cast<uint64_t>(k);
}

// The scan a search runs.
enum class Scan { kFloat, kInt };

// scan=: absent or "float" (the default), or "int". Another str is a ValueError, any
// other object a TypeError, both naming the allowed values.
Scan to_scan(PyObject* o) {
  if (o == nullptr) return Scan::kFloat;
  if (PyUnicode_Check(o)) {
    if (PyUnicode_CompareWithASCIIString(o, kScanFloat) == 0) return Scan::kFloat;
    if (PyUnicode_CompareWithASCIIString(o, kScanInt) == 0) return Scan::kInt;
  }
  PyErr_Format(PyUnicode_Check(o) ? PyExc_ValueError : PyExc_TypeError, kScanValueFormat, o);
  throw PythonError{};
}

// The bits of the integer scan's query levels when query_bits is not given: 8 keeps the
// quantization term of the bounds (half a step of 1/255 of the query's range per
// component) well below the records' own error in the dimensions RaBitQ is used in, so
// re-ranking reads few more candidates than the float scan. The docstrings name it.
constexpr unsigned kDefaultQueryBits = 8;

// query_bits=: an int (or __index__) in 1..8; absent gives the default. Every other
// int, negative and huge ones included, is the ValueError of a bad configuration.
unsigned to_query_bits(PyObject* o) {
  if (o == nullptr) return kDefaultQueryBits;
  int overflow = 0;
  const long long bits = to_integer(o, "query_bits", &overflow);
  if (overflow != 0 || bits < static_cast<long long>(kMinQueryBits) ||
      bits > static_cast<long long>(kMaxQueryBits)) {
    throw QuantizerError::invalid_config("query_bits", kMustBeOneToEight);
  }
  return static_cast<unsigned>(bits);
}

// stats=: absent or None, or a dict that an integer search fills with its counts. A
// float search has none to give, so it refuses one, as it refuses query_bits.
PyObject* to_stats_dict(PyObject* o, Scan scan) {
  if (o == nullptr || o == Py_None) return nullptr;
  if (scan == Scan::kFloat) throw_error(PyExc_TypeError, kStatsWithFloatScan);
  if (!PyDict_Check(o)) {
    PyErr_Format(PyExc_TypeError, kStatsNotDictFormat, Py_TYPE(o)->tp_name);
    throw PythonError{};
  }
  return o;
}

// Writes the counts of an integer search into the caller's dict, once the search is
// done: a failed or stopped search leaves the dict as it was.
void store_stats(const IntSearchStats& stats, PyObject* dict) {
  const std::pair<const char*, uint64_t> items[] = {{kStatsRecords, stats.records},
                                                    {kStatsScored, stats.scored},
                                                    {kStatsFloatQueries, stats.float_queries}};
  for (const auto& [key, value] : items) {
    Ref number = Ref::steal(int_result(value));
    if (PyDict_SetItemString(dict, key, number.get()) < 0) throw_python_error();
  }
}

PyObject* tuple_result(std::initializer_list<PyObject*> items) {
  std::vector<Ref> owned;
  for (PyObject* item : items) owned.push_back(Ref::steal(item));
  Ref tuple =
      Ref::steal(checked_new(PyTuple_New(static_cast<Py_ssize_t>(owned.size())), kWhatTuple));
  for (size_t i = 0; i < owned.size(); ++i) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), owned[i].release());
  }
  return tuple.release();
}

}  // namespace

MIVO_SIGNATURE(kBounds, "bounds()", 3, "quantizer", "query", "batch");
PyObject* py_bounds(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kBounds, args, nargs, kwnames);
    const QueryAndBatch call(module, a[0], a[1], a[2]);
    const QuantizedBatchData& batch = call.batch;
    ResultBuffer<float> lower(batch.count);
    ResultBuffer<float> upper(batch.count);
    run_released([&](Pacer& pacer) {
      bounds_batch(call.rabitq(), call.query, batch.columns(), lower.span(), upper.span(), pacer);
    });
    PyObject* lo = lower.to_array(numpy::kFloat32);
    Ref lo_ref = Ref::steal(lo);
    PyObject* hi = upper.to_array(numpy::kFloat32);
    return tuple_result({lo_ref.release(), hi});
  });
}

MIVO_SIGNATURE_KW(kIntegerBounds, "integer_bounds()", 3, 3, "quantizer", "query", "batch",
                  "query_bits");

PyObject* py_integer_bounds(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kIntegerBounds, args, nargs, kwnames);
    const QueryAndBatch call(module, a[0], a[1], a[2]);
    const unsigned query_bits = to_query_bits(a[3]);
    const QuantizedBatchData& batch = call.batch;
    ResultBuffer<float> estimates(batch.count);
    ResultBuffer<float> lower(batch.count);
    ResultBuffer<float> upper(batch.count);
    run_released([&](Pacer& pacer) {
      const ScanRecords& kept = kept_scan_records(batch, pacer);
      integer_estimates(call.rabitq(), call.query, query_bits, batch.columns(), kept,
                        estimates.span(), lower.span(), upper.span(), pacer);
    });
    Ref est = Ref::steal(estimates.to_array(numpy::kFloat32));
    Ref lo = Ref::steal(lower.to_array(numpy::kFloat32));
    PyObject* hi = upper.to_array(numpy::kFloat32);
    return tuple_result({est.release(), lo.release(), hi});
  });
}

namespace {

// What a search computes on, converted and checked: the quantizer under shared access,
// the batch, queries and vectors held for the call.
struct SearchArgs {
  const mivo::RaBitQQuantizer& rabitq;
  const QuantizedBatchData& batch;
  const VectorRows& queries;
  const VectorRows* vectors;  // null without re-ranking
  uint64_t k;
  Scan scan;
  unsigned query_bits;
};

// The search itself: the result tuple, and the integer scan's counts in stats_out.
PyObject* search_impl(const SearchArgs& a, PyObject* stats_out) {
  const uint64_t d = a.rabitq.dimension();
  const uint64_t m = a.queries.rows();
  const uint64_t columns = result_columns(a.k, a.batch.count);
  const uint64_t entries = allocation_count(m, columns);
  ResultBuffer<float> distances(entries);
  ResultBuffer<int64_t> ids(entries);
  ResultBuffer<uint64_t> candidates(a.vectors != nullptr ? m : 0);
  const SearchOutput out{distances.data(), ids.data(),
                         a.vectors != nullptr ? candidates.data() : nullptr};
  IntSearchStats stats;
  run_released([&](Pacer& pacer) {
    const std::span<const float> rows(a.queries.data(), m * d);
    const float* original = a.vectors != nullptr ? a.vectors->data() : nullptr;
    if (a.scan == Scan::kFloat) {
      search_batch(a.rabitq, rows, m, a.batch.columns(), a.k, original, out, pacer);
      return;
    }
    const ScanRecords& kept = kept_scan_records(a.batch, pacer);
    integer_search_batch(a.rabitq, rows, m, a.batch.columns(), kept, a.query_bits, a.k, original,
                         out, pacer, Kernels::kBest, &stats);
  });
  Ref dist = Ref::steal(distances.to_matrix(m, columns, numpy::kFloat32));
  Ref id = Ref::steal(ids.to_matrix(m, columns, numpy::kInt64));
  Ref result;
  if (a.vectors == nullptr) {
    result = Ref::steal(tuple_result({dist.release(), id.release()}));
  } else {
    PyObject* counts = candidates.to_array(numpy::kUInt64);
    result = Ref::steal(tuple_result({dist.release(), id.release(), counts}));
  }
  if (stats_out != nullptr) store_stats(stats, stats_out);
  return result.release();
}

}  // namespace

MIVO_SIGNATURE_KW(kSearch, "search()", 4, 4, "quantizer", "queries", "batch", "k", "vectors",
                  "scan", "query_bits", "stats");

PyObject* py_search(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kSearch, args, nargs, kwnames);
    // The arrays read in place stay referenced for the call, whatever the conversions of
    // the other arguments run.
    const Ref held[] = {Ref::borrow(a[1]), Ref::borrow(a[2]), Ref::borrow(a[4])};
    const Scan scan = to_scan(a[5]);
    if (scan == Scan::kFloat && a[6] != nullptr) {
      throw_error(PyExc_TypeError, kQueryBitsWithFloatScan);
    }
    const unsigned query_bits = to_query_bits(a[6]);
    PyObject* const stats_out = to_stats_dict(a[7], scan);
    const ModuleState& state = state_of_module(module);
    auto q =
        to_instance<RaBitQObject>(a[0], state.rabitq_quantizer, kRaBitQQuantizerName, "quantizer");
    const QuantizedBatchData& batch = quantized_batch_arg(state, a[2], "batch");
    const mivo::RaBitQQuantizer& rabitq = *q->value;
    const uint64_t k = to_k(a[3]);
    const VectorRows queries(a[1], rabitq.dimension(), "queries", kQueriesNotMatrix,
                             Strided::kCopy);
    check_batch_fits(rabitq, batch);
    std::optional<VectorRows> vectors;
    if (a[4] != nullptr && a[4] != Py_None) {
      vectors.emplace(a[4], rabitq.dimension(), "vectors", kVectorsNotMatrix);
      if (vectors->rows() != batch.count) {
        throw_error(PyExc_ValueError, vector_rows_mismatch(vectors->rows(), batch.count));
      }
    }
    return search_impl({rabitq, batch, queries, vectors ? &*vectors : nullptr, k, scan, query_bits},
                       stats_out);
  });
}

const char kBoundsDoc[] =
    "bounds(quantizer, query, batch)\n--\n\nError intervals of the estimates against every "
    "record of a QuantizedBatch.\n\nReturns (lower, upper), two float32 arrays (len(batch),): "
    "approximate_l2_sqr(query, batch[i]) minus and plus batch[i].f_error times the norm of the "
    "query's residual. The bound is probabilistic (about two standard deviations): the true "
    "squared distance lies outside now and then. A record whose f_error bounds nothing (0 in two "
    "or more dimensions, or not finite) gets (-inf, inf). The interpreter lock is released "
    "while computing.";

const char kIntegerBoundsDoc[] =
    "integer_bounds(quantizer, query, batch, *, query_bits=8)\n--\n\nThe integer scan's "
    "estimates of every record of a QuantizedBatch, with their error intervals.\n\nReturns "
    "(estimates, lower, upper), three float32 arrays (len(batch),). The rotated query is "
    "quantized to levels of query_bits bits (1-8) and each record's inner product with them is "
    "computed in integers, so the estimates have the same bits on every machine; they differ "
    "from approximate_l2_sqr by the query's quantization. The interval is the record's own "
    "(as bounds gives it) widened by that quantization's worst case and a margin for the f32 "
    "steps. A query whose rotated values are not all finite cannot be quantized: it gets the "
    "float scan's estimates and bounds. The first integer call on a batch computes per-record "
    "sums and a copy of the sign bits laid out for the scan (80 + dimension / 8 bytes a record, "
    "the dimension rounded up to a multiple of 16) that the batch keeps. The interpreter lock is "
    "released while "
    "computing.";

const char kSearchDoc[] =
    "search(quantizer, queries, batch, k, *, vectors=None, scan='float', query_bits=8, "
    "stats=None)\n--\n\n"
    "The k nearest records of a QuantizedBatch for each row of queries (a float32 array (m, "
    "dimension) of any layout; one that is not C-contiguous is copied).\n\nReturns (distances, "
    "ids): float32 and int64 arrays (m, min(k, len(batch))), "
    "each row in order of the estimated squared distance, ties to the lower id, NaN last. With "
    "vectors (the original float32 vectors (len(batch), dimension), e.g. memory-mapped), every "
    "record whose lower bound is at most the k-th smallest upper bound is re-ranked by its exact "
    "squared distance, and the result is (distances, ids, candidates): exact distances, and the "
    "number of candidates per query as a uint64 array (m,). That is the exact top-k whenever the "
    "probabilistic bounds hold.\n\nscan='float' (the default) ranks by approximate_l2_sqr. "
    "scan='int' ranks by integer_bounds' estimates with query levels of query_bits bits (1-8; "
    "query_bits is refused with scan='float'): it scores every record's sign bits first and "
    "reads the extended codes only of records that any extended codes of their kept sum could "
    "still bring into the top k (or, with vectors, among the candidates), which always gives "
    "the result of scoring every record: the top k of integer_bounds' estimates, or with "
    "vectors the exact top-k whenever integer_bounds' intervals hold. Its results have "
    "the same bits on every machine; a query that is not finite is searched with the float scan. "
    "A dict passed as stats (scan='int' only) receives the search's counts: 'records' (queries "
    "times len(batch)), 'scored' (records whose extended codes were read) and 'float_queries' "
    "(queries searched with the float scan). "
    "The interpreter lock is released while computing; on the main thread, signals are checked "
    "about every 10 ms.";

}  // namespace mivo::py::batch
