// Blocks of near centroids (see kmeans_groups.h): the set is split in two along the
// line between two centroids far apart, at the median of the projections (rounded to
// whole blocks), and each half again, until a part fits one block.
#include "kmeans_groups.h"

#include <algorithm>
#include <span>

#include "kmeans_simd.h"

namespace mivo::kmeans_detail {

namespace {

using kmeans_simd::kBlockLanes;

double distance2(const float* a, const float* b, uint64_t d) {
  double sum = 0.0;
  for (uint64_t t = 0; t < d; ++t) {
    const double diff = static_cast<double>(a[t]) - static_cast<double>(b[t]);
    sum += diff * diff;
  }
  return sum;
}

// The member of `ids` farthest from `from` (the first of equals).
uint32_t farthest(std::span<const uint32_t> ids, const float* c, uint64_t d, uint32_t from) {
  uint32_t best = ids[0];
  double most = -1.0;
  for (const uint32_t j : ids) {
    const double v = distance2(c + uint64_t{j} * d, c + uint64_t{from} * d, d);
    if (v > most) most = v, best = j;
  }
  return best;
}

void split(std::span<uint32_t> ids, const float* c, uint64_t d) {
  if (ids.size() <= kBlockLanes) return;
  const uint32_t p = farthest(ids, c, d, ids[0]);
  const uint32_t q = farthest(ids, c, d, p);
  std::vector<std::pair<double, uint32_t>> keyed;
  for (const uint32_t j : ids) {
    double along = 0.0;
    for (uint64_t t = 0; t < d; ++t) {
      const double axis = static_cast<double>(c[uint64_t{q} * d + t]) - c[uint64_t{p} * d + t];
      along += axis * c[uint64_t{j} * d + t];
    }
    keyed.emplace_back(along, j);
  }
  std::sort(keyed.begin(), keyed.end());
  for (size_t i = 0; i < ids.size(); ++i) ids[i] = keyed[i].second;
  const size_t half = (ids.size() / 2 + kBlockLanes / 2) / kBlockLanes * kBlockLanes;
  split(ids.first(half), c, d);
  split(ids.subspan(half), c, d);
}

}  // namespace

std::vector<uint32_t> coherent_order(const float* centroids, uint64_t k, uint64_t d) {
  std::vector<uint32_t> ids(k);
  for (uint64_t j = 0; j < k; ++j) ids[j] = static_cast<uint32_t>(j);
  split(ids, centroids, d);
  return ids;
}

}  // namespace mivo::kmeans_detail
