// The arithmetic floor of a rotation without fused operations: separate multiplies
// and adds at the core's peak vector throughput, with no memory traffic at all.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mivo::bench {

// Runs `steps` rounds of independent chains acc = acc * a + b (a rounded product,
// then an addition: the pair each term of a rotation costs) on the vectors of the
// SIMD target that dispatch picks, all in registers; returns a sum of the chains so
// that none is left out. With a = 1 and b = 0 the values never change, so no slow
// operands (subnormals, infinities) enter the timing.
float mul_add_chains(uint64_t steps, float a, float b);

// The multiply-add pairs (lanes) one step of mul_add_chains does.
size_t mul_add_pairs_per_step();

}  // namespace mivo::bench
