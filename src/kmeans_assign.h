// The assignment step of k-means: every point's nearest centroid, either computed in
// full or with the distances skipped that its bounds prove cannot change the result.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kernel_choice.h"
#include "kmeans_bounds.h"
#include "kmeans_simd.h"
#include "parallel.h"
#include "rotation.h"

namespace mivo::kmeans_detail {

// The centroids row-major, and in blocks of kmeans_simd::kBlockLanes laid out for the
// distance kernel (lanes past the last centroid hold zeros). A block is also a group
// of the bounds: a point keeps one lower bound per block. Which centroids share a
// block is the table's order (by default the order of ids); it decides only how much
// the bounds can skip, never a result.
class CentroidTable {
 public:
  CentroidTable(uint64_t k, uint64_t d);
  // order[p] = the centroid at position p (lane p % kBlockLanes of block p / kBlockLanes):
  // a permutation of the ids. Takes effect at the next load.
  void set_order(std::vector<uint32_t> order);
  void load(const float* rows);

  uint64_t count() const { return k_; }
  uint64_t dimension() const { return d_; }
  uint64_t groups() const { return groups_; }
  const float* row(uint64_t j) const { return rows_.data() + j * d_; }
  const float* block(uint64_t g) const;
  // The centroid in lane l of group g, for l < lanes(g); and the group of centroid j.
  uint32_t id(uint64_t g, uint64_t l) const { return order_[g * kmeans_simd::kBlockLanes + l]; }
  uint64_t lanes(uint64_t g) const;
  uint64_t group_of(uint64_t j) const { return group_of_[j]; }

 private:
  uint64_t k_;
  uint64_t d_;
  uint64_t groups_;
  std::vector<uint32_t> order_;
  std::vector<uint32_t> group_of_;
  std::vector<float> rows_;
  AlignedFloats blocks_;
};

// The distance of one point to the centroids of one group, or of two points at once,
// on the vector kernels or the scalar reference.
void group_distances(const float* x, const CentroidTable& c, uint64_t g, Kernels kernels,
                     float* out);
void group_distances2(const float* x0, const float* x1, const CentroidTable& c, uint64_t g,
                      Kernels kernels, float* out0, float* out1);

// What each point keeps between rounds: its centroid, an upper bound on its exact
// distance to it, and per group a lower bound on its exact distance to every other
// centroid of the group.
struct PointBounds {
  std::vector<uint32_t> assigned;
  std::vector<float> upper;
  std::vector<float> lower;  // point i, group g at i * groups + g
  uint64_t groups = 0;

  PointBounds(uint64_t n, uint64_t groups);
  // Forgets what point i knew: its next round computes every distance.
  void forget(uint64_t i);
};

// What the last update leaves for the next pruned pass: how far each centroid moved
// (an upper bound on the exact distance), the most that any centroid of a group moved,
// and per centroid a and group g a lower bound on the exact distance from a to the
// other centroids of g (at a * groups + g). A point within u of its centroid a is at
// least gap - u from every other centroid of g, which rules groups out even when the
// drift has worn the point's own bounds down.
struct Drift {
  std::vector<float> centroid;
  std::vector<float> group;
  std::vector<float> gaps;
};

// gaps (as Drift holds them) of the centroids [first, last).
void centroid_gaps(const CentroidTable& c, uint64_t first, uint64_t last, Kernels kernels,
                   const Margins& margins, float* gaps, PartStep& step);

// Counts of one pass over some points.
struct PassCounts {
  uint64_t computed = 0;
  uint64_t changed = 0;
};

// The nearest centroid of each of rows [begin, end) (n x d, row-major) by computing
// every distance: into out[i] and, with bounds, the bounds of point i.
PassCounts assign_full(const float* rows, uint64_t begin, uint64_t end, const CentroidTable& c,
                       Kernels kernels, const Margins& margins, PointBounds* bounds, uint32_t* out,
                       PartStep& step);

// The same for points whose bounds hold for the previous centroids: they are first
// widened by the drift, then a point computes only the distances that the bounds
// cannot rule out. Gives exactly the assignment of assign_full.
PassCounts assign_pruned(const float* rows, uint64_t begin, uint64_t end, const CentroidTable& c,
                         Kernels kernels, const Margins& margins, const Drift& drift,
                         PointBounds& bounds, PartStep& step);

}  // namespace mivo::kmeans_detail
