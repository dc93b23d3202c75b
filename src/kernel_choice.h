// The choice between the vector and the scalar version of a kernel.
#pragma once

namespace mivo {

// Which code runs a kernel that has a vector version: the vector kernels of the best
// SIMD target of the running CPU (chosen at run time), or the plain scalar loops.
// Both give the same bits; kScalar is the reference that tests and measurements
// compare the vector kernels with.
enum class Kernels { kBest, kScalar };

}  // namespace mivo
