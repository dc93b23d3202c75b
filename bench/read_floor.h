// The read-bandwidth floor of the benchmark: a plain streaming read of a byte range.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mivo::bench {

// The 64-bit sum of the whole 64-bit words of p[0 .. bytes), read once in order with
// the vectors of the SIMD target that dispatch picks (like the kernels it is compared
// with, so pinning the dispatch pins both). Nothing reading these bytes can be faster.
uint64_t read_words(const uint8_t* p, size_t bytes);

}  // namespace mivo::bench
