// k-means clustering and nearest-centroid assignment whose results have the same bits
// on every machine, SIMD target and thread count.
//
// The distance of a point x to a centroid c is squared_distance(x, c, -0.0f) (sums.h):
// each difference and square rounded to f32, summed in dimension order. The nearest
// centroid is the one of least distance, ties to the lower id, a NaN distance counting
// as +inf. A centroid is the mean of its members: their rows summed per dimension in
// point order from +0.0 (add_row, SumOrder::kRowFirst), divided by f32(count).
#pragma once

#include <cstdint>
#include <vector>

#include "kernel_choice.h"
#include "pacing.h"

namespace mivo {

struct KmeansConfig {
  uint64_t nlist = 1;        // centroids, 1 <= nlist <= rows
  uint64_t seed = 0;         // the sample and the initial centroids
  uint64_t iterations = 25;  // assignment-and-update rounds at most
  uint64_t sample = 256;     // at most sample * nlist rows train (>= 1)
  unsigned threads = 1;
  Kernels kernels = Kernels::kBest;
  // Whether the assignment skips the distances its bounds rule out; the results are
  // the same either way.
  bool prune = true;
};

// What a run did, for measurements and tests.
struct KmeansReport {
  uint64_t training_rows = 0;
  // Distances computed by each assignment pass (a full pass computes training_rows *
  // nlist).
  std::vector<uint64_t> computed;
  // The nearest centroid of every training row at the last assignment.
  std::vector<uint32_t> assignment;
};

// The training rows: every row when n <= sample * nlist, else a seeded choice of
// sample * nlist distinct rows, in increasing order.
std::vector<uint64_t> training_rows(uint64_t n, const KmeansConfig& config);

// Centroids (nlist x d, row-major) of the n rows of d floats (finite). The initial
// centroids are nlist distinct training rows drawn by the seed; each round assigns
// every training row to its nearest centroid, gives a centroid left without members
// the training row farthest from its centroid (see kmeans.cpp), and recomputes the
// centroids; a round that changes no assignment ends the run early. Stops by the pacer
// as Stopped. The config must be valid (checked by the caller).
std::vector<float> kmeans(const float* rows, uint64_t n, uint64_t d, const KmeansConfig& config,
                          Pacer& pacer, KmeansReport* report = nullptr);

// out[i] = the nearest of the k centroids (k x d, row-major; k >= 1) to row i of the n
// rows.
void assign_nearest(const float* centroids, uint64_t k, const float* rows, uint64_t n, uint64_t d,
                    unsigned threads, int64_t* out, Pacer& pacer, Kernels kernels = Kernels::kBest);

// The first row of n rows of d floats with a value that is not finite, or n if none.
uint64_t first_non_finite_row(const float* rows, uint64_t n, uint64_t d);

}  // namespace mivo
