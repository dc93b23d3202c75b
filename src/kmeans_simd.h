// Vector kernels of k-means (kmeans_simd.cpp), dispatched at run time to the best SIMD
// target of the running CPU. They give exactly the bits of the scalar reference:
// squared_distance and add_row of sums.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mivo::kmeans_simd {

// Centroids of one block, the unit of the distance kernel: value k of the block's
// centroid b sits at block[k * kBlockLanes + b].
inline constexpr uint64_t kBlockLanes = 32;

// out[b] = squared_distance(x, centroid b of the block, -0.0f) for every b < kBlockLanes;
// x holds d floats, the block d * kBlockLanes.
void block_distances(const float* x, const float* block, uint64_t d, float* out);

// block_distances for two points at once (the block is read once for both):
// out0 for x0, out1 for x1.
void block_distances2(const float* x0, const float* x1, const float* block, uint64_t d, float* out0,
                      float* out1);

// sum[j] = row[j] + sum[j] for j < d: add_row with SumOrder::kRowFirst.
void add_row(float* sum, const float* row, uint64_t d);

// The Highway target these kernels dispatch to on this CPU.
const char* target_name();

}  // namespace mivo::kmeans_simd
