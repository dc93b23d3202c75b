// Vector kernels of the batch estimates (rabitq_batch_simd.cpp), dispatched at run time
// to the best SIMD target of the running CPU. Each record's sum is one lane's chain of
// additions in index order, so they give exactly the bits of the per-record loop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rabitq_batch.h"

namespace mivo::rabitq_batch_simd {

// Dimensions are read in blocks of this many (one 32-bit word of sign bits).
inline constexpr uint64_t kBlockDims = 32;

// The product-table kernels read dimensions in chunks of this many: 16 words of eight
// 4-bit table indices, one 64-byte vector per record.
inline constexpr uint64_t kChunkDims = 128;

// The length the query must be padded to: d rounded up to whole chunks (so also to
// whole blocks).
inline uint64_t padded_dimension(uint64_t d) {
  return (d + kChunkDims - 1) / kChunkDims * kChunkDims;
}

// ip[i] = sum over j < d in index order, from +0.0, of (f32(code_j) - centre) * y[j],
// code_j the combined code of record i, for every record of batch. y holds
// padded_dimension(d) floats, +0.0 past d: a sum from +0.0 is never -0.0, so adding
// the padding's zero products leaves every value as it is.
void inner_products(const float* y, float centre, const RecordColumns& batch, float* ip);

// The Highway target these kernels dispatch to on this CPU, and the size in bytes of
// the vectors they run on (at most 64).
const char* target_name();
size_t vector_bytes();

// The records one pass of the kernel for ex_bits takes on this CPU (the batch is
// walked in passes of this many; the last one repeats the batch's last record).
size_t pass_records(unsigned ex_bits);

}  // namespace mivo::rabitq_batch_simd
