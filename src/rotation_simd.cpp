// Vector kernels of the rotation, compiled once per SIMD target by Highway and
// chosen at run time.
//
// Lanes always hold different rows, never parts of one sum: every dot product and
// every output stays one sequential chain in column order from its start value, and
// every product is rounded before it is added or subtracted (separate Mul and
// Add/Sub; no fused operations, no horizontal reductions). The results therefore
// equal the scalar loops of rotation.cpp bit for bit on every target.
// Which targets are compiled is set once for the whole build, in CMakeLists.txt.
// Vector types of scalable targets are sizeless: they live only in named variables,
// never in arrays or class members.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "rotation_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "rotation.h"
#include "rotation_simd.h"

HWY_BEFORE_NAMESPACE();
namespace mivo {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// At most 16 lanes: a generation block of four vectors must fit in kMaxBlockRows
// rows. Scalable vectors wider than 512 bits use their first 16 lanes.
using DF = hn::CappedTag<float, 16>;
using VF = hn::Vec<DF>;

constexpr uint64_t kPanel = Rotation::kPanelRows;
static_assert(4 * hn::MaxLanes(DF()) <= rotation_simd::kMaxBlockRows);

// Rows [start, start + V * lanes) of one panel, whose column k is at col + k * kPanel:
// lane j of accumulator v holds row start + v * lanes + j, summed sequentially over k
// from +0.0 exactly as the scalar loop does. Of these rows, `count` from `skip` on are
// written to y.
template <size_t V>
HWY_INLINE void RotatePass(DF df, const float* HWY_RESTRICT col, uint64_t d,
                           const float* HWY_RESTRICT x, size_t skip, size_t count,
                           float* HWY_RESTRICT y) {
  static_assert(V == 4 || V == 8, "four or eight accumulators");
  const size_t lanes = hn::Lanes(df);
  VF a0 = hn::Zero(df);
  VF a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
  for (uint64_t k = 0; k < d; ++k, col += kPanel) {
    const VF xk = hn::Set(df, x[k]);
    const auto add = [&](VF acc, size_t v) {
      return hn::Add(acc, hn::Mul(hn::LoadU(df, col + v * lanes), xk));
    };
    a0 = add(a0, 0);
    a1 = add(a1, 1);
    a2 = add(a2, 2);
    a3 = add(a3, 3);
    if constexpr (V == 8) {
      a4 = add(a4, 4);
      a5 = add(a5, 5);
      a6 = add(a6, 6);
      a7 = add(a7, 7);
    }
  }
  HWY_ALIGN float tail[V * hn::MaxLanes(DF())];
  float* out = skip == 0 && count == V * lanes ? y : tail;
  hn::StoreU(a0, df, out);
  hn::StoreU(a1, df, out + lanes);
  hn::StoreU(a2, df, out + 2 * lanes);
  hn::StoreU(a3, df, out + 3 * lanes);
  if constexpr (V == 8) {
    hn::StoreU(a4, df, out + 4 * lanes);
    hn::StoreU(a5, df, out + 5 * lanes);
    hn::StoreU(a6, df, out + 6 * lanes);
    hn::StoreU(a7, df, out + 7 * lanes);
  }
  if (out == tail) std::copy(tail + skip, tail + skip + count, y);
}

// y = panels * x, in passes of eight vectors of rows, or four when eight would not
// fit in a panel.
void RotatePanels(const float* HWY_RESTRICT panels, uint64_t d, const float* HWY_RESTRICT x,
                  float* HWY_RESTRICT y) {
  const DF df;
  const size_t lanes = hn::Lanes(df);
  const bool eight = 8 * lanes <= kPanel;
  const uint64_t pass = (eight ? 8 : 4) * lanes;
  for (uint64_t r0 = 0; r0 < d; r0 += kPanel) {
    const float* panel = panels + r0 * d;
    const uint64_t nr = std::min(kPanel, d - r0);
    for (uint64_t c = 0; c < nr; c += pass) {
      // A pass never reads past its panel: when the lane count does not divide the
      // panel, the last one starts early and recomputes rows, with the same bits.
      const uint64_t start = std::min(c, kPanel - pass);
      const size_t count = std::min(nr, start + pass) - c;
      if (eight) {
        RotatePass<8>(df, panel + start, d, x, c - start, count, y + r0 + c);
      } else {
        RotatePass<4>(df, panel + start, d, x, c - start, count, y + r0 + c);
      }
    }
  }
}

// Rows [start, start + 4 * lanes) of one panel for four vectors x0..x3 (each d floats):
// accumulator (v, r) holds rows start + r * lanes .. of vector v, each lane its own
// sequential sum over k from +0.0 as in RotatePass; one load of the panel's column
// serves all four vectors. Rows from `skip` on, `count` of them, go to y0..y3.
HWY_INLINE void RotateFourPass(DF df, const float* HWY_RESTRICT col, uint64_t d,
                               const float* HWY_RESTRICT x, size_t skip, size_t count,
                               float* HWY_RESTRICT y) {
  const size_t lanes = hn::Lanes(df);
  const float* x0 = x;
  const float* x1 = x + d;
  const float* x2 = x + 2 * d;
  const float* x3 = x + 3 * d;
  VF a00 = hn::Zero(df);
  VF a01 = a00, a02 = a00, a03 = a00, a10 = a00, a11 = a00, a12 = a00, a13 = a00;
  VF a20 = a00, a21 = a00, a22 = a00, a23 = a00, a30 = a00, a31 = a00, a32 = a00, a33 = a00;
  for (uint64_t k = 0; k < d; ++k, col += kPanel) {
    const VF c0 = hn::LoadU(df, col);
    const VF c1 = hn::LoadU(df, col + lanes);
    const VF c2 = hn::LoadU(df, col + 2 * lanes);
    const VF c3 = hn::LoadU(df, col + 3 * lanes);
    VF xk = hn::Set(df, x0[k]);
    a00 = hn::Add(a00, hn::Mul(c0, xk));
    a01 = hn::Add(a01, hn::Mul(c1, xk));
    a02 = hn::Add(a02, hn::Mul(c2, xk));
    a03 = hn::Add(a03, hn::Mul(c3, xk));
    xk = hn::Set(df, x1[k]);
    a10 = hn::Add(a10, hn::Mul(c0, xk));
    a11 = hn::Add(a11, hn::Mul(c1, xk));
    a12 = hn::Add(a12, hn::Mul(c2, xk));
    a13 = hn::Add(a13, hn::Mul(c3, xk));
    xk = hn::Set(df, x2[k]);
    a20 = hn::Add(a20, hn::Mul(c0, xk));
    a21 = hn::Add(a21, hn::Mul(c1, xk));
    a22 = hn::Add(a22, hn::Mul(c2, xk));
    a23 = hn::Add(a23, hn::Mul(c3, xk));
    xk = hn::Set(df, x3[k]);
    a30 = hn::Add(a30, hn::Mul(c0, xk));
    a31 = hn::Add(a31, hn::Mul(c1, xk));
    a32 = hn::Add(a32, hn::Mul(c2, xk));
    a33 = hn::Add(a33, hn::Mul(c3, xk));
  }
  HWY_ALIGN float out[4 * 4 * hn::MaxLanes(DF())];
  const size_t n = 4 * lanes;
  hn::StoreU(a00, df, out);
  hn::StoreU(a01, df, out + lanes);
  hn::StoreU(a02, df, out + 2 * lanes);
  hn::StoreU(a03, df, out + 3 * lanes);
  hn::StoreU(a10, df, out + n);
  hn::StoreU(a11, df, out + n + lanes);
  hn::StoreU(a12, df, out + n + 2 * lanes);
  hn::StoreU(a13, df, out + n + 3 * lanes);
  hn::StoreU(a20, df, out + 2 * n);
  hn::StoreU(a21, df, out + 2 * n + lanes);
  hn::StoreU(a22, df, out + 2 * n + 2 * lanes);
  hn::StoreU(a23, df, out + 2 * n + 3 * lanes);
  hn::StoreU(a30, df, out + 3 * n);
  hn::StoreU(a31, df, out + 3 * n + lanes);
  hn::StoreU(a32, df, out + 3 * n + 2 * lanes);
  hn::StoreU(a33, df, out + 3 * n + 3 * lanes);
  for (size_t v = 0; v < 4; ++v) {
    std::copy(out + v * n + skip, out + v * n + skip + count, y + v * d);
  }
}

// y[v] = panels * x[v] for 4 * quads vectors (row-major, d floats each). Each panel
// serves every quad before the next panel is read: one panel (64 rows) stays in the
// second-level cache while the quads pass over it, where the whole matrix (2.4 MB at
// d = 768) would be read from the last-level cache again for every quad.
void RotateQuadPanels(const float* HWY_RESTRICT panels, uint64_t d, const float* HWY_RESTRICT x,
                      uint64_t quads, float* HWY_RESTRICT y) {
  const DF df;
  const uint64_t pass = 4 * hn::Lanes(df);
  for (uint64_t r0 = 0; r0 < d; r0 += kPanel) {
    const float* panel = panels + r0 * d;
    const uint64_t nr = std::min(kPanel, d - r0);
    for (uint64_t q = 0; q < quads; ++q) {
      const float* xq = x + q * 4 * d;
      float* yq = y + q * 4 * d;
      for (uint64_t c = 0; c < nr; c += pass) {
        const uint64_t start = std::min(c, kPanel - pass);
        const size_t count = std::min(nr, start + pass) - c;
        RotateFourPass(df, panel + start, d, xq, c - start, count, yq + r0 + c);
      }
    }
  }
}

// dot + col * qk, lane by lane (product rounded, then added).
HWY_INLINE VF AddProduct(VF dot, VF col, VF qk) { return hn::Add(dot, hn::Mul(col, qk)); }

// The vector at w less qk * dot, lane by lane (product rounded, then subtracted),
// stored back and returned.
HWY_INLINE VF SubProductInPlace(DF df, float* w, VF qk, VF dot) {
  const VF col = hn::Sub(hn::LoadU(df, w), hn::Mul(qk, dot));
  hn::StoreU(col, df, w);
  return col;
}

// Removes from every row of the block w (row b of column k at w[k * block + b], with
// block = 4 * lanes rows) its components along the finished rows q[0..n) in order, as
// modified Gram-Schmidt does row by row. Lane j of dot_v holds block row
// v * lanes + j's dot product with the current q, one sequential sum over k from
// -0.0. One pass per q: the update by the previous q and the dot product with the
// current one share the loop, since column k of the dot needs only column k of the
// update.
void ProjectOutRows(DF df, const float* HWY_RESTRICT q, uint64_t n, uint64_t d,
                    float* HWY_RESTRICT w) {
  const size_t lanes = hn::Lanes(df);
  const size_t block = 4 * lanes;
  VF dot0 = hn::Set(df, -0.0f);
  VF dot1 = dot0, dot2 = dot0, dot3 = dot0;
  for (uint64_t k = 0; k < d; ++k) {
    const float* wk = w + k * block;
    const VF qk = hn::Set(df, q[k]);
    dot0 = AddProduct(dot0, hn::LoadU(df, wk), qk);
    dot1 = AddProduct(dot1, hn::LoadU(df, wk + lanes), qk);
    dot2 = AddProduct(dot2, hn::LoadU(df, wk + 2 * lanes), qk);
    dot3 = AddProduct(dot3, hn::LoadU(df, wk + 3 * lanes), qk);
  }
  for (uint64_t j = 1; j < n; ++j) {
    const float* prev = q + (j - 1) * d;
    const float* cur = q + j * d;
    const VF prev0 = dot0, prev1 = dot1, prev2 = dot2, prev3 = dot3;
    dot0 = hn::Set(df, -0.0f);
    dot1 = dot0;
    dot2 = dot0;
    dot3 = dot0;
    for (uint64_t k = 0; k < d; ++k) {
      float* wk = w + k * block;
      const VF pk = hn::Set(df, prev[k]);
      const VF ck = hn::Set(df, cur[k]);
      dot0 = AddProduct(dot0, SubProductInPlace(df, wk, pk, prev0), ck);
      dot1 = AddProduct(dot1, SubProductInPlace(df, wk + lanes, pk, prev1), ck);
      dot2 = AddProduct(dot2, SubProductInPlace(df, wk + 2 * lanes, pk, prev2), ck);
      dot3 = AddProduct(dot3, SubProductInPlace(df, wk + 3 * lanes, pk, prev3), ck);
    }
  }
  const float* last = q + (n - 1) * d;
  for (uint64_t k = 0; k < d; ++k) {
    float* wk = w + k * block;
    const VF lk = hn::Set(df, last[k]);
    SubProductInPlace(df, wk, lk, dot0);
    SubProductInPlace(df, wk + lanes, lk, dot1);
    SubProductInPlace(df, wk + 2 * lanes, lk, dot2);
    SubProductInPlace(df, wk + 3 * lanes, lk, dot3);
  }
}

// Generation by modified Gram-Schmidt in blocks of 4 * lanes new rows: first all
// earlier rows are projected out of the whole block (lanes = the block's rows), then
// the block's own rows are finished in order, each projected out of the block as soon
// as it is final. Every row thus sees the same projections in the same order as when
// the rows are built one at a time. Norms and divisions run per row in the scalar
// finish_row that the scalar generator uses too.
void BuildRows(uint64_t d, uint64_t seed, float* HWY_RESTRICT rows, float* HWY_RESTRICT w) {
  const DF df;
  const uint64_t block = 4 * hn::Lanes(df);
  uint64_t state = seed;
  for (uint64_t i0 = 0; i0 < d; i0 += block) {
    const uint64_t nb = std::min(block, d - i0);
    for (uint64_t b = 0; b < nb; ++b) {
      for (uint64_t k = 0; k < d; ++k) w[k * block + b] = next_gaussian(state);
    }
    for (uint64_t k = 0; k < d; ++k) std::fill(w + k * block + nb, w + (k + 1) * block, 0.0f);
    if (i0 > 0) ProjectOutRows(df, rows, i0, d, w);

    for (uint64_t b = 0; b < nb; ++b) {
      const uint64_t i = i0 + b;
      float* row = rows + i * d;
      finish_row(w + b, block, d, i, row);
      // Lanes up to b are finished (their rows are written), so the projection may
      // run over the whole block; only lanes past b are used later.
      if (b + 1 < nb) ProjectOutRows(df, row, 1, d, w);
    }
  }
}

const char* RotationTargetName() { return hwy::TargetName(HWY_TARGET); }

size_t RotationVectorBytes() { return hn::Lanes(DF()) * sizeof(float); }

}  // namespace HWY_NAMESPACE
}  // namespace mivo
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace mivo {

HWY_EXPORT(RotatePanels);
HWY_EXPORT(RotateQuadPanels);
HWY_EXPORT(BuildRows);
HWY_EXPORT(RotationTargetName);
HWY_EXPORT(RotationVectorBytes);

namespace rotation_simd {

void rotate_panels(const float* panels, uint64_t d, const float* x, float* y) {
  HWY_DYNAMIC_DISPATCH(RotatePanels)(panels, d, x, y);
}

void rotate_quads(const float* panels, uint64_t d, const float* x, uint64_t quads, float* y) {
  HWY_DYNAMIC_DISPATCH(RotateQuadPanels)(panels, d, x, quads, y);
}

void build_rows(uint64_t d, uint64_t seed, float* rows, float* work) {
  HWY_DYNAMIC_DISPATCH(BuildRows)(d, seed, rows, work);
}

const char* target_name() { return HWY_DYNAMIC_DISPATCH(RotationTargetName)(); }

size_t vector_bytes() { return HWY_DYNAMIC_DISPATCH(RotationVectorBytes)(); }

}  // namespace rotation_simd
}  // namespace mivo
#endif  // HWY_ONCE
