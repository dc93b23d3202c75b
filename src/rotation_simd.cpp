// Vector kernels of the rotation, compiled once per SIMD target by Highway and
// chosen at run time.
//
// Lanes always hold different rows, never parts of one sum: every dot product and
// every output stays one sequential chain in column order from its start value, and
// every product is rounded before it is added or subtracted (separate Mul and
// Add/Sub; no fused operations, no horizontal reductions). The results therefore
// equal the scalar loops of rotation.cpp bit for bit on every target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "rotation_simd.cpp"

// The kernels keep a few vectors in small arrays, which sizeless (scalable) vector
// types do not allow; those targets fall back to a fixed-width one.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS (HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128 | HWY_RVV)
#endif

#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "rotation.h"
#include "rotation_simd.h"

HWY_BEFORE_NAMESPACE();
namespace mivo {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;

constexpr size_t kLanes = hn::MaxLanes(DF());
constexpr uint64_t kPanel = Rotation::kPanelRows;

// Rows of one pass of rotate over a panel: eight vectors, or the whole panel when
// that is fewer.
constexpr size_t kRotateVecs = HWY_MIN(size_t{8}, kPanel / kLanes);
constexpr uint64_t kRotateRows = kRotateVecs * kLanes;

// Rows of one generation block: the lanes of four vectors.
constexpr uint64_t kBlockRows = 4 * kLanes;
static_assert(kBlockRows <= rotation_simd::kMaxBlockRows);

// y = panels * x. Lane j of accumulator v holds output row r0 + c + v*kLanes + j,
// summed sequentially over k from +0.0 exactly as the scalar loop does.
void RotatePanels(const float* HWY_RESTRICT panels, uint64_t d, const float* HWY_RESTRICT x,
                  float* HWY_RESTRICT y) {
  const DF df;
  for (uint64_t r0 = 0; r0 < d; r0 += kPanel) {
    const float* panel = panels + r0 * d;
    const uint64_t nr = std::min(kPanel, d - r0);
    for (uint64_t c = 0; c < nr; c += kRotateRows) {
      VF acc[kRotateVecs];
      for (size_t v = 0; v < kRotateVecs; ++v) acc[v] = hn::Zero(df);
      const float* col = panel + c;
      for (uint64_t k = 0; k < d; ++k, col += kPanel) {
        const VF xk = hn::Set(df, x[k]);
        for (size_t v = 0; v < kRotateVecs; ++v) {
          acc[v] = hn::Add(acc[v], hn::Mul(hn::LoadU(df, col + v * kLanes), xk));
        }
      }
      if (nr - c >= kRotateRows) {
        for (size_t v = 0; v < kRotateVecs; ++v) hn::StoreU(acc[v], df, y + r0 + c + v * kLanes);
      } else {
        HWY_ALIGN float tail[kRotateRows];
        for (size_t v = 0; v < kRotateVecs; ++v) hn::Store(acc[v], df, tail + v * kLanes);
        std::copy(tail, tail + (nr - c), y + r0 + c);
      }
    }
  }
}

// The four vectors of block column k (lanes = the block's rows).
struct Block4 {
  VF v0, v1, v2, v3;
};

HWY_INLINE Block4 LoadColumn(DF df, const float* w) {
  return {hn::LoadU(df, w), hn::LoadU(df, w + kLanes), hn::LoadU(df, w + 2 * kLanes),
          hn::LoadU(df, w + 3 * kLanes)};
}

HWY_INLINE void StoreColumn(DF df, const Block4& b, float* w) {
  hn::StoreU(b.v0, df, w);
  hn::StoreU(b.v1, df, w + kLanes);
  hn::StoreU(b.v2, df, w + 2 * kLanes);
  hn::StoreU(b.v3, df, w + 3 * kLanes);
}

// dot + col * qk, lane by lane (product rounded, then added).
HWY_INLINE Block4 AddProduct(const Block4& dot, const Block4& col, VF qk) {
  return {hn::Add(dot.v0, hn::Mul(col.v0, qk)), hn::Add(dot.v1, hn::Mul(col.v1, qk)),
          hn::Add(dot.v2, hn::Mul(col.v2, qk)), hn::Add(dot.v3, hn::Mul(col.v3, qk))};
}

// col - qk * dot, lane by lane (product rounded, then subtracted).
HWY_INLINE Block4 SubProduct(const Block4& col, VF qk, const Block4& dot) {
  return {hn::Sub(col.v0, hn::Mul(qk, dot.v0)), hn::Sub(col.v1, hn::Mul(qk, dot.v1)),
          hn::Sub(col.v2, hn::Mul(qk, dot.v2)), hn::Sub(col.v3, hn::Mul(qk, dot.v3))};
}

HWY_INLINE Block4 NegativeZeros(DF df) {
  const VF z = hn::Set(df, -0.0f);
  return {z, z, z, z};
}

// Removes from every row of the block w (row b of column k at w[k*kBlockRows + b])
// its components along the finished rows q[0..n) in order, as modified Gram-Schmidt
// does row by row. Lane b of `dot` holds block row b's dot product with the current
// q, one sequential sum over k from -0.0. One pass per q: the update by the previous
// q and the dot product with the current one share the loop, since column k of the
// dot needs only column k of the update.
void ProjectOutRows(DF df, const float* HWY_RESTRICT q, uint64_t n, uint64_t d,
                    float* HWY_RESTRICT w) {
  Block4 dot = NegativeZeros(df);
  for (uint64_t k = 0; k < d; ++k) {
    dot = AddProduct(dot, LoadColumn(df, w + k * kBlockRows), hn::Set(df, q[k]));
  }
  for (uint64_t j = 1; j < n; ++j) {
    const float* prev = q + (j - 1) * d;
    const float* cur = q + j * d;
    const Block4 prev_dot = dot;
    dot = NegativeZeros(df);
    for (uint64_t k = 0; k < d; ++k) {
      float* wk = w + k * kBlockRows;
      const Block4 col = SubProduct(LoadColumn(df, wk), hn::Set(df, prev[k]), prev_dot);
      StoreColumn(df, col, wk);
      dot = AddProduct(dot, col, hn::Set(df, cur[k]));
    }
  }
  const float* last = q + (n - 1) * d;
  for (uint64_t k = 0; k < d; ++k) {
    float* wk = w + k * kBlockRows;
    StoreColumn(df, SubProduct(LoadColumn(df, wk), hn::Set(df, last[k]), dot), wk);
  }
}

// Generation by modified Gram-Schmidt in blocks of kBlockRows new rows: first all
// earlier rows are projected out of the whole block (lanes = the block's rows), then
// the block's own rows are finished in order, each projected out of the block as soon
// as it is final. Every row thus sees the same projections in the same order as when
// the rows are built one at a time. Norms and divisions run per row in scalar code.
void BuildRows(uint64_t d, uint64_t seed, float* HWY_RESTRICT rows, float* HWY_RESTRICT w) {
  const DF df;
  uint64_t state = seed;
  for (uint64_t i0 = 0; i0 < d; i0 += kBlockRows) {
    const uint64_t nb = std::min(kBlockRows, d - i0);
    for (uint64_t b = 0; b < nb; ++b) {
      for (uint64_t k = 0; k < d; ++k) w[k * kBlockRows + b] = next_gaussian(state);
    }
    for (uint64_t k = 0; k < d; ++k) {
      std::fill(w + k * kBlockRows + nb, w + (k + 1) * kBlockRows, 0.0f);
    }
    if (i0 > 0) ProjectOutRows(df, rows, i0, d, w);

    for (uint64_t b = 0; b < nb; ++b) {
      const uint64_t i = i0 + b;
      float sq = -0.0f;  // one sequential sum over k from -0.0, as in the scalar loop
      for (uint64_t k = 0; k < d; ++k) {
        const float v = w[k * kBlockRows + b];
        sq = sq + v * v;
      }
      const float norm = std::sqrt(sq);
      float* row = rows + i * d;
      if (norm > 1.0e-10f) {
        for (uint64_t k = 0; k < d; ++k) row[k] = w[k * kBlockRows + b] / norm;
      } else {
        // A collapsed row becomes a unit vector, not orthogonalised; its draws are
        // spent all the same.
        std::fill(row, row + d, 0.0f);
        row[i] = 1.0f;
      }
      // Lanes up to b are finished (their rows are written), so the projection may
      // run over the whole block; only lanes past b are used later.
      if (b + 1 < nb) ProjectOutRows(df, row, 1, d, w);
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace mivo
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace mivo {

HWY_EXPORT(RotatePanels);
HWY_EXPORT(BuildRows);

namespace rotation_simd {

void rotate_panels(const float* panels, uint64_t d, const float* x, float* y) {
  HWY_DYNAMIC_DISPATCH(RotatePanels)(panels, d, x, y);
}

void build_rows(uint64_t d, uint64_t seed, float* rows, float* work) {
  HWY_DYNAMIC_DISPATCH(BuildRows)(d, seed, rows, work);
}

}  // namespace rotation_simd
}  // namespace mivo
#endif  // HWY_ONCE
