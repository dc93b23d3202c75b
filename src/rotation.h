// The seeded random orthonormal rotation of the RaBitQ quantizer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace mivo {

// SipHash-1-3 with the all-zero key of the 8 little-endian bytes of x.
uint64_t hash_u64(uint64_t x);

// One normal deviate (cosine branch of Box-Muller over two chained hashes); the
// state becomes the second hash.
float next_gaussian(uint64_t& state);

// Finishes row i of a generation block whose value in column k is block[k * stride]:
// row[0..d) = those values over their norm, the square root of one sequential sum of
// squares over k from -0.0 (a true division per value), or the unit vector e_i when the
// norm is not above 1e-10. The scalar and the vector generator both end each row here.
void finish_row(const float* block, uint64_t stride, uint64_t d, uint64_t i, float* row);

// Allocator of cache-line aligned arrays: vector loads of panel columns and stores
// into generation blocks then never straddle two lines.
template <class T>
struct CacheLineAllocator {
  using value_type = T;
  static constexpr std::align_val_t kAlign{64};

  CacheLineAllocator() = default;
  template <class U>
  CacheLineAllocator(const CacheLineAllocator<U>&) {}

  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlign)); }
  void deallocate(T* p, size_t) { ::operator delete(p, kAlign); }
  friend bool operator==(const CacheLineAllocator&, const CacheLineAllocator&) { return true; }
};

using AlignedFloats = std::vector<float, CacheLineAllocator<float>>;

// Which code runs the float loops of generation and application: the vector kernels
// of the best SIMD target of the running CPU (chosen at run time), or the plain
// scalar loops. Both give the same bits; kScalar serves tests and measurements.
enum class Kernels { kBest, kScalar };

// A dense d x d f32 matrix with orthonormal rows, immutable once generated.
class Rotation {
 public:
  // Rows of one storage panel; rotate() produces this many outputs per pass.
  static constexpr uint64_t kPanelRows = 64;

  // Modified Gram-Schmidt over d*d deviates drawn from `seed`; d >= 1. Throws
  // std::bad_alloc when the matrix cannot be allocated (checked before any work).
  static Rotation generate(uint64_t d, uint64_t seed, Kernels kernels = Kernels::kBest);

  // Number of rows and of columns.
  uint64_t dimension() const { return d_; }

  // y[i] = sum over k of R[i,k] * x[k], from +0.0 in index order; reads x[0..d), writes y[0..d).
  void rotate(const float* x, float* y, Kernels kernels = Kernels::kBest) const;

  // rotate() of n vectors, row-major in x (n * d floats) into y: the same bits, with
  // the matrix read once per four vectors on the vector path.
  void rotate_rows(const float* x, uint64_t n, float* y, Kernels kernels = Kernels::kBest) const;

  // Element R[i,k]; i, k < dimension().
  float at(uint64_t i, uint64_t k) const {
    return panels_[(i / kPanelRows) * kPanelRows * d_ + k * kPanelRows + i % kPanelRows];
  }

  // The matrix as d*d values, element (i,k) at i*d + k.
  std::vector<float> row_major() const;

  // Panel storage: panel p holds, for each column k, R[64p+j, k] for j = 0..63 at
  // p*64*d + k*64 + j; rows past d are zero.
  std::span<const float> panels() const { return panels_; }

 private:
  Rotation(uint64_t d, AlignedFloats panels) : d_(d), panels_(std::move(panels)) {}

  uint64_t d_;
  AlignedFloats panels_;
};

// Plain row-by-row product with a row-major d x d matrix; the yardstick for rotate().
void rotate_reference(std::span<const float> row_major, uint64_t d, const float* x, float* y);

}  // namespace mivo
