// Vector kernels of the batch forms in bit_codes.h (bit_codes_simd.cpp), dispatched
// at run time to the best SIMD target of the running CPU. They give exactly the
// results of the scalar loops in bit_codes.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bit_codes.h"

namespace mivo::bit_codes_simd {

// out[j] = hamming_distance of the query's query_len bytes and codes[j].
void batch_hamming(const uint8_t* query, size_t query_len, const CodeBatch& codes, uint32_t* out);

// out[j] = one_bit_inner_product of q[0..dim) and codes[j], for a query without NaNs
// (which addition keeps of two NaNs is the compiler's choice) and codes that all
// hold at least ceil(dim / 8) bytes; dim >= 1.
void batch_one_bit(const float* q, size_t dim, const CodeBatch& codes, float* out);

// The Highway target these kernels dispatch to on this CPU, and the size in bytes of
// the vectors they run on.
const char* target_name();
size_t vector_bytes();

}  // namespace mivo::bit_codes_simd
