// Seeded generation of the rotation (chained SipHash, Box-Muller, modified Gram-Schmidt)
// and its application; these are the scalar loops, rotation_simd.cpp the vector kernels.
#include "rotation.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <new>

#include "error.h"
#include "rotation_simd.h"

namespace mivo {

namespace {

struct SipState {
  uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void compress(uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

// New rows are orthogonalised against the finished rows in blocks of this many, so
// their independent dot products interleave instead of waiting on one another.
constexpr uint64_t kBlock = 32;

// Floats of the padded panel storage, or std::bad_alloc when it cannot be allocated
// (decided before anything is allocated or touched).
size_t storage_floats(uint64_t d) {
  const uint64_t panels = d / Rotation::kPanelRows + (d % Rotation::kPanelRows != 0);
  // Both products are checked: 64 * d alone wraps to 0 for d = 2^58.
  uint64_t panel_floats = 0;
  uint64_t floats = 0;
  if (__builtin_mul_overflow(Rotation::kPanelRows, d, &panel_floats) ||
      __builtin_mul_overflow(panels, panel_floats, &floats)) {
    throw std::bad_alloc();
  }
  require_allocatable(floats, sizeof(float));
  return static_cast<size_t>(floats);
}

// Removes from every lane of the interleaved block w (lane b of column k at
// k*kBlock + b) its component along the finished row q. Each lane sees exactly the
// sequential dot product and update it would see alone.
void project_out_block(const float* q, float* w, uint64_t d) {
  float dot[kBlock];
  std::fill(dot, dot + kBlock, -0.0f);
  for (uint64_t k = 0; k < d; ++k) {
    const float qk = q[k];
    const float* wk = w + k * kBlock;
    for (uint64_t b = 0; b < kBlock; ++b) dot[b] = dot[b] + wk[b] * qk;
  }
  for (uint64_t k = 0; k < d; ++k) {
    const float qk = q[k];
    float* wk = w + k * kBlock;
    for (uint64_t b = 0; b < kBlock; ++b) wk[b] = wk[b] - qk * dot[b];
  }
}

void project_out_lane(const float* q, float* w, uint64_t lane, uint64_t d) {
  float dot = -0.0f;
  for (uint64_t k = 0; k < d; ++k) dot = dot + w[k * kBlock + lane] * q[k];
  for (uint64_t k = 0; k < d; ++k) w[k * kBlock + lane] = w[k * kBlock + lane] - q[k] * dot;
}

}  // namespace

uint64_t hash_u64(uint64_t x) {
  SipState s{0x736f6d6570736575ULL, 0x646f72616e646f6dULL, 0x6c7967656e657261ULL,
             0x7465646279746573ULL};
  s.compress(x);
  s.compress(uint64_t{8} << 56);  // final block: message length 8, no tail bytes
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

float next_gaussian(uint64_t& state) {
  const uint64_t h1 = hash_u64(state);
  const uint64_t h2 = hash_u64(h1);
  state = h2;
  const double u1 = static_cast<double>(h1) * 0x1p-64;
  const double u2 = static_cast<double>(h2) * 0x1p-64;
  const double a = std::max(u1, 0x1p-52);  // keeps the logarithm finite
  const double rad = std::sqrt(std::log(a) * -2.0);
  const double cs = std::cos(u2 * 6.283185307179586);
  return static_cast<float>(cs * rad);
}

void finish_row(const float* block, uint64_t stride, uint64_t d, uint64_t i, float* row) {
  float sq = -0.0f;
  for (uint64_t k = 0; k < d; ++k) {
    const float v = block[k * stride];
    sq = sq + v * v;
  }
  const float norm = std::sqrt(sq);
  if (norm > 1.0e-10f) {
    for (uint64_t k = 0; k < d; ++k) row[k] = block[k * stride] / norm;
  } else {
    // A collapsed row becomes a unit vector, deliberately not orthogonalised; its
    // draws are spent all the same so later rows see the same stream.
    std::fill(row, row + d, 0.0f);
    row[i] = 1.0f;
  }
}

namespace {

// The row-by-row scalar generation: rows 0..d-1 row-major into `rows`, with `work`
// (kBlock * d floats) for the block of new rows.
void build_rows_scalar(uint64_t d, uint64_t seed, float* rows, float* work) {
  float* block = work;
  uint64_t state = seed;
  for (uint64_t i0 = 0; i0 < d; i0 += kBlock) {
    const uint64_t nb = std::min(kBlock, d - i0);
    for (uint64_t b = 0; b < nb; ++b) {
      for (uint64_t k = 0; k < d; ++k) block[k * kBlock + b] = next_gaussian(state);
    }
    for (uint64_t b = nb; b < kBlock; ++b) {
      for (uint64_t k = 0; k < d; ++k) block[k * kBlock + b] = 0.0f;
    }
    for (uint64_t j = 0; j < i0; ++j) project_out_block(&rows[j * d], block, d);

    for (uint64_t b = 0; b < nb; ++b) {
      const uint64_t i = i0 + b;
      for (uint64_t j = i0; j < i; ++j) project_out_lane(&rows[j * d], block, b, d);
      finish_row(block + b, kBlock, d, i, &rows[i * d]);
    }
  }
}

}  // namespace

Rotation Rotation::generate(uint64_t d, uint64_t seed, Kernels kernels) {
  // Everything is allocated before the first draw. Rows are built row-major in the
  // front of the panel storage (panel p covers exactly the bytes of rows 64p..64p+63)
  // and transposed in place, panel by panel, at the end; `work` first holds the block
  // of new rows, then one panel during its transposition.
  static_assert(kBlock <= kPanelRows && rotation_simd::kMaxBlockRows <= kPanelRows);
  AlignedFloats store(storage_floats(d));
  AlignedFloats work(kPanelRows * d);

  if (kernels == Kernels::kScalar) {
    build_rows_scalar(d, seed, store.data(), work.data());
  } else {
    rotation_simd::build_rows(d, seed, store.data(), work.data());
  }

  for (uint64_t r0 = 0; r0 < d; r0 += kPanelRows) {
    const uint64_t nr = std::min(kPanelRows, d - r0);
    float* panel = &store[r0 * d];
    std::copy(panel, panel + nr * d, work.begin());
    for (uint64_t k = 0; k < d; ++k) {
      float* col = panel + k * kPanelRows;
      for (uint64_t j = 0; j < nr; ++j) col[j] = work[j * d + k];
      for (uint64_t j = nr; j < kPanelRows; ++j) col[j] = 0.0f;
    }
  }
  return Rotation(d, std::move(store));
}

void Rotation::rotate(const float* x, float* y, Kernels kernels) const {
  if (kernels != Kernels::kScalar) {
    rotation_simd::rotate_panels(panels_.data(), d_, x, y);
    return;
  }
  // All 64 outputs of a panel advance together over k; each is still its own
  // sequential sum from +0.0, so the result equals the row-by-row product bit for bit.
  const float* panel = panels_.data();
  for (uint64_t r0 = 0; r0 < d_; r0 += kPanelRows, panel += kPanelRows * d_) {
    float acc[kPanelRows];
    std::fill(acc, acc + kPanelRows, 0.0f);
    for (uint64_t k = 0; k < d_; ++k) {
      const float xk = x[k];
      const float* col = panel + k * kPanelRows;
      for (uint64_t j = 0; j < kPanelRows; ++j) acc[j] = acc[j] + col[j] * xk;
    }
    const uint64_t nr = std::min(kPanelRows, d_ - r0);
    std::copy(acc, acc + nr, y + r0);
  }
}

void Rotation::rotate_rows(const float* x, uint64_t n, float* y, Kernels kernels) const {
  uint64_t i = 0;
  if (kernels != Kernels::kScalar) {
    i = n / 4 * 4;
    rotation_simd::rotate_quads(panels_.data(), d_, x, n / 4, y);
  }
  for (; i < n; ++i) rotate(x + i * d_, y + i * d_, kernels);
}

std::vector<float> Rotation::row_major() const {
  std::vector<float> out(d_ * d_);
  for (uint64_t i = 0; i < d_; ++i) {
    for (uint64_t k = 0; k < d_; ++k) out[i * d_ + k] = at(i, k);
  }
  return out;
}

void rotate_reference(std::span<const float> row_major, uint64_t d, const float* x, float* y) {
  for (uint64_t i = 0; i < d; ++i) {
    float acc = 0.0f;
    for (uint64_t k = 0; k < d; ++k) acc = acc + row_major[i * d + k] * x[k];
    y[i] = acc;
  }
}

}  // namespace mivo
