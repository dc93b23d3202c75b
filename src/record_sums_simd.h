// Vector kernel of the per-record sums of quantization (record_sums_simd.cpp),
// dispatched at run time to the best SIMD target of the running CPU. Each record's sums
// are one lane's chains of additions in index order, so they give exactly the bits of
// record_sums.
#pragma once

#include <cstdint>

#include "rabitq.h"

namespace mivo::record_sums_simd {

// sums[r] = record_sums(row r of s, row r of codes, centre) for n rows of d values each
// (s and codes row-major), where codes are quantized_codes(row r of s, ex_bits).
void record_sums_rows(const float* s, const uint16_t* codes, unsigned ex_bits, uint64_t n,
                      uint64_t d, float centre, RecordSums* sums);

}  // namespace mivo::record_sums_simd
