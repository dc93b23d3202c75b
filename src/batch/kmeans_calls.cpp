// kmeans and assign (see kmeans_calls.h). Both read the vectors in place under a buffer
// export held for the call (or from the call's own copy), hold a reference to every
// argument, and release the interpreter lock while they compute.
#include "kmeans_calls.h"

#include <climits>
#include <cstdint>
#include <thread>

#include "../kmeans.h"
#include "../lib/args.h"
#include "../lib/convert.h"
#include "../lib/numpy_api.h"
#include "../lib/results.h"
#include "call_helpers.h"
#include "kmeans_messages.h"
#include "messages.h"
#include "vector_rows.h"

namespace mivo::py::batch {

namespace {

// Most centroids: ids below 2^32 - 1, which stands for none.
constexpr uint64_t kMaxCentroids = 0xfffffffe;

// Most threads a call starts; more would only wait on one another.
constexpr long long kMaxThreads = 1024;

// The columns of a 2-D float32 array, else the TypeError `not_matrix`.
uint64_t matrix_columns(PyObject* o, const char* not_matrix) {
  if (!numpy::is_array_of(o, 2, numpy::kFloat32)) throw_error(PyExc_TypeError, not_matrix);
  return static_cast<uint64_t>(numpy::fields(o)->dimensions[1]);
}

// An integer of at least `least` (else the ValueError `below`); one beyond long long is
// kept as the largest, which means the same here.
uint64_t to_count(PyObject* o, const char* name, long long least, const char* below) {
  int overflow = 0;
  const long long value = to_integer(o, name, &overflow);
  if (overflow > 0) return static_cast<uint64_t>(LLONG_MAX);
  if (overflow < 0 || value < least) throw_error(PyExc_ValueError, below);
  return static_cast<uint64_t>(value);
}

// threads=: None or absent for every core of the machine, else 1..kMaxThreads.
unsigned to_threads(PyObject* o) {
  if (o == nullptr || o == Py_None) return std::max(1u, std::thread::hardware_concurrency());
  int overflow = 0;
  const long long value = to_integer(o, "threads", &overflow);
  if (overflow != 0 || value < 1 || value > kMaxThreads) {
    throw_error(PyExc_ValueError, kThreadsOutOfRange);
  }
  return static_cast<unsigned>(value);
}

// Refuses rows that hold a NaN or an infinity, naming the first.
void require_finite(const VectorRows& rows, uint64_t d, const char* argument) {
  const uint64_t bad = first_non_finite_row(rows.data(), rows.rows(), d);
  if (bad != rows.rows()) throw_error(PyExc_ValueError, row_not_finite(argument, bad));
}

// stats=: absent or None, or a dict that receives the run's counts.
PyObject* to_stats(PyObject* o) {
  if (o == nullptr || o == Py_None) return nullptr;
  if (!PyDict_Check(o)) {
    PyErr_Format(PyExc_TypeError, kStatsNotDictFormat, Py_TYPE(o)->tp_name);
    throw PythonError{};
  }
  return o;
}

// The counts of a finished run, into the caller's dict: a failed or stopped run leaves
// the dict as it was.
void store_stats(const KmeansReport& report, PyObject* dict) {
  Ref rows = Ref::steal(int_result(report.training_rows));
  if (PyDict_SetItemString(dict, kStatsTrainingRows, rows.get()) < 0) throw_python_error();
  Ref computed = Ref::steal(checked_new(PyList_New(0), kWhatList));
  for (const uint64_t count : report.computed) {
    Ref number = Ref::steal(int_result(count));
    if (PyList_Append(computed.get(), number.get()) < 0) throw_python_error();
  }
  if (PyDict_SetItemString(dict, kStatsComputed, computed.get()) < 0) throw_python_error();
}

}  // namespace

MIVO_SIGNATURE_KW(kKmeans, "kmeans()", 3, 2, "vectors", "nlist", "seed", "iterations", "sample",
                  "threads", "stats");

PyObject* py_kmeans(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)module;
  return guarded([&] {
    const auto a = bind(kKmeans, args, nargs, kwnames);
    const uint64_t d = matrix_columns(a[0], kVectorsNotMatrix);
    const Ref vectors_ref = Ref::borrow(a[0]);
    const VectorRows rows(a[0], d, "vectors", kVectorsNotMatrix);
    KmeansConfig config;
    config.nlist = to_count(a[1], "nlist", 1, kNlistBelowOne);
    if (config.nlist > kMaxCentroids) throw_error(PyExc_ValueError, kTooManyCentroids);
    config.seed = to_unsigned_size(a[2], "seed");
    if (a[3] != nullptr) config.iterations = to_count(a[3], "iterations", 0, kIterationsNegative);
    if (a[4] != nullptr) config.sample = to_count(a[4], "sample", 1, kSampleBelowOne);
    config.threads = to_threads(a[5]);
    if (config.nlist > rows.rows()) {
      throw_error(PyExc_ValueError, nlist_above_rows(config.nlist, rows.rows()));
    }
    PyObject* const stats_out = to_stats(a[6]);
    require_finite(rows, d, "vectors");
    ResultBuffer<float> centroids(config.nlist * d);
    KmeansReport report;
    run_released([&](Pacer& pacer) {
      const std::vector<float> out = kmeans(rows.data(), rows.rows(), d, config, pacer, &report);
      std::copy(out.begin(), out.end(), centroids.data());
    });
    Ref result = Ref::steal(centroids.to_matrix(config.nlist, d, numpy::kFloat32));
    if (stats_out != nullptr) store_stats(report, stats_out);
    return result.release();
  });
}

MIVO_SIGNATURE_KW(kAssign, "assign()", 2, 2, "centroids", "vectors", "threads");

PyObject* py_assign(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)module;
  return guarded([&] {
    const auto a = bind(kAssign, args, nargs, kwnames);
    const uint64_t d = matrix_columns(a[0], kCentroidsNotMatrix);
    const Ref centroids_ref = Ref::borrow(a[0]);
    const VectorRows centroids(a[0], d, "centroids", kCentroidsNotMatrix);
    if (centroids.rows() == 0) throw_error(PyExc_ValueError, kNoCentroids);
    if (centroids.rows() > kMaxCentroids) throw_error(PyExc_ValueError, kTooManyCentroids);
    const Ref vectors_ref = Ref::borrow(a[1]);
    const VectorRows rows(a[1], d, "vectors", kVectorsNotMatrix);
    const unsigned threads = to_threads(a[2]);
    require_finite(centroids, d, "centroids");
    require_finite(rows, d, "vectors");
    ResultBuffer<int64_t> nearest(rows.rows());
    run_released([&](Pacer& pacer) {
      assign_nearest(centroids.data(), centroids.rows(), rows.data(), rows.rows(), d, threads,
                     nearest.data(), pacer);
    });
    return nearest.to_array(numpy::kInt64);
  });
}

const char kKmeansDoc[] =
    "kmeans(vectors, nlist, *, seed, iterations=25, sample=256, threads=None, stats=None)\n"
    "--\n\n"
    "Centroids of the rows of vectors (a float32 array (n, dimension), all finite) by "
    "k-means.\n\nReturns a float32 array (nlist, dimension) with the same bits on every "
    "machine, SIMD target and thread count. When n is above sample * nlist, a seeded choice "
    "of sample * nlist rows trains. The initial centroids are nlist distinct training rows "
    "chosen by seed; each iteration assigns every training row to its nearest centroid "
    "(squared Euclidean distance, ties to the lower id), gives a centroid left without "
    "members the training row farthest from its own centroid, and sets every centroid to the "
    "mean of its members. Iterations stop early when no assignment changes. The assignment "
    "skips distances that bounds prove cannot change it, which changes no result. A dict "
    "passed as stats receives 'training_rows' and 'computed' (the distances computed by each "
    "assignment, of training_rows * nlist). threads=None uses every core. The interpreter lock is "
    "released while computing; on the main thread, "
    "signals are checked about every 10 ms.";

const char kAssignDoc[] =
    "assign(centroids, vectors, *, threads=None)\n--\n\nThe nearest centroid of each row of "
    "vectors.\n\nReturns an int64 array (n,): for row i the index of the row of centroids "
    "(a float32 array (nlist, dimension)) at the least squared Euclidean distance, computed "
    "as kmeans computes it, ties to the lower index. threads=None uses every core. The "
    "interpreter lock is released while computing; on the main thread, signals are checked "
    "about every 10 ms.";

}  // namespace mivo::py::batch
