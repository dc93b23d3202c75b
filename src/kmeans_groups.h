// Which centroids share a block of the pruned assignment: near ones, so that a block's
// least distance and its largest move say much about each of its members.
#pragma once

#include <cstdint>
#include <vector>

namespace mivo::kmeans_detail {

// A permutation of the k centroid ids (k x d, row-major) whose consecutive runs of
// kmeans_simd::kBlockLanes hold centroids near one another. Only the pruning depends on
// it, never a result; it is computed in double and is the same for the same input.
std::vector<uint32_t> coherent_order(const float* centroids, uint64_t k, uint64_t d);

}  // namespace mivo::kmeans_detail
