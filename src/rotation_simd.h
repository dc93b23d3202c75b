// Vector kernels of the rotation (rotation_simd.cpp), dispatched at run time to the
// best SIMD target of the running CPU. They give exactly the bits of the scalar loops
// in rotation.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mivo::rotation_simd {

// Most rows the vector generator orthonormalises as one block; its work buffer must
// hold this many rows of d floats.
inline constexpr uint64_t kMaxBlockRows = 64;

// y[0..d) = panels * x for the 64-row panel storage of a d x d matrix.
void rotate_panels(const float* panels, uint64_t d, const float* x, float* y);

// rotate_panels for 4 * quads vectors, four at a time: x and y hold 4 * quads rows of
// d floats each.
void rotate_quads(const float* panels, uint64_t d, const float* x, uint64_t quads, float* y);

// The d orthonormal rows drawn from `seed`, row-major into rows[0 .. d*d); `work`
// holds kMaxBlockRows * d floats of scratch.
void build_rows(uint64_t d, uint64_t seed, float* rows, float* work);

// The Highway target these kernels dispatch to on this CPU, and the size in bytes of
// the vectors they run on (at most 64: wider scalable vectors are used in part).
const char* target_name();
size_t vector_bytes();

}  // namespace mivo::rotation_simd
