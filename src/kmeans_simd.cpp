// Vector kernels of k-means, compiled once per SIMD target by Highway and chosen at run
// time.
//
// The distance kernel runs one centroid per lane: lane b of an accumulator holds the
// sum for centroid b of the block, one sequential chain of additions in dimension
// order from -0.0, each difference and square rounded before the addition (separate
// Sub, Mul and Add; no fused operations, no horizontal reductions), the terms and order
// of squared_distance. Two points share every load, and each has two or four
// accumulators live at once, so that their chains overlap; the block is laid out
// dimension-major so that every load is a plain contiguous one. The row sums run one dimension per lane, each a single addition.
// Vector types of scalable targets are sizeless: they live only in named variables,
// never in arrays or class members.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kmeans_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "kmeans_simd.h"

HWY_BEFORE_NAMESPACE();
namespace mivo {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// (x - c)^2 added to sum, each step rounded.
template <class D, class V>
HWY_INLINE V AddSquaredDifference(D /*d*/, V sum, V x, V c) {
  const V diff = hn::Sub(x, c);
  return hn::Add(sum, hn::Mul(diff, diff));
}

// Lanes [base, base + V * Lanes(df)) of the block for one point (V = 2 or 4 vectors).
template <size_t V, class D>
HWY_INLINE void OnePointPass(D df, const float* HWY_RESTRICT x, const float* HWY_RESTRICT block,
                             uint64_t d, size_t base, float* HWY_RESTRICT out) {
  const size_t n = hn::Lanes(df);
  auto a0 = hn::Set(df, -0.0f);
  auto a1 = a0, a2 = a0, a3 = a0;
  const float* p = block + base;
  for (uint64_t k = 0; k < d; ++k, p += kmeans_simd::kBlockLanes) {
    const auto xv = hn::Set(df, x[k]);
    a0 = AddSquaredDifference(df, a0, xv, hn::LoadU(df, p));
    a1 = AddSquaredDifference(df, a1, xv, hn::LoadU(df, p + n));
    if constexpr (V == 4) {
      a2 = AddSquaredDifference(df, a2, xv, hn::LoadU(df, p + 2 * n));
      a3 = AddSquaredDifference(df, a3, xv, hn::LoadU(df, p + 3 * n));
    }
  }
  hn::StoreU(a0, df, out + base);
  hn::StoreU(a1, df, out + base + n);
  if constexpr (V == 4) {
    hn::StoreU(a2, df, out + base + 2 * n);
    hn::StoreU(a3, df, out + base + 3 * n);
  }
}

// The same lanes for two points, each loaded centroid vector serving both.
template <size_t V, class D>
HWY_INLINE void TwoPointPass(D df, const float* HWY_RESTRICT x0, const float* HWY_RESTRICT x1,
                             const float* HWY_RESTRICT block, uint64_t d, size_t base,
                             float* HWY_RESTRICT out0, float* HWY_RESTRICT out1) {
  const size_t n = hn::Lanes(df);
  auto a0 = hn::Set(df, -0.0f);
  auto a1 = a0, a2 = a0, a3 = a0, b0 = a0, b1 = a0, b2 = a0, b3 = a0;
  const float* p = block + base;
  for (uint64_t k = 0; k < d; ++k, p += kmeans_simd::kBlockLanes) {
    const auto xv = hn::Set(df, x0[k]);
    const auto yv = hn::Set(df, x1[k]);
    const auto c0 = hn::LoadU(df, p);
    const auto c1 = hn::LoadU(df, p + n);
    a0 = AddSquaredDifference(df, a0, xv, c0);
    b0 = AddSquaredDifference(df, b0, yv, c0);
    a1 = AddSquaredDifference(df, a1, xv, c1);
    b1 = AddSquaredDifference(df, b1, yv, c1);
    if constexpr (V == 4) {
      const auto c2 = hn::LoadU(df, p + 2 * n);
      const auto c3 = hn::LoadU(df, p + 3 * n);
      a2 = AddSquaredDifference(df, a2, xv, c2);
      b2 = AddSquaredDifference(df, b2, yv, c2);
      a3 = AddSquaredDifference(df, a3, xv, c3);
      b3 = AddSquaredDifference(df, b3, yv, c3);
    }
  }
  hn::StoreU(a0, df, out0 + base);
  hn::StoreU(a1, df, out0 + base + n);
  hn::StoreU(b0, df, out1 + base);
  hn::StoreU(b1, df, out1 + base + n);
  if constexpr (V == 4) {
    hn::StoreU(a2, df, out0 + base + 2 * n);
    hn::StoreU(a3, df, out0 + base + 3 * n);
    hn::StoreU(b2, df, out1 + base + 2 * n);
    hn::StoreU(b3, df, out1 + base + 3 * n);
  }
}

// Sixteen lanes where the target has them (two vectors cover a block), else eight
// (four vectors); otherwise (a 128-bit target, or a scalable length whose lanes do not
// tile the block) four lanes and as many passes of four vectors as it takes.
template <class Pass>
HWY_INLINE void ForEachPass(Pass&& pass) {
  constexpr size_t kLanes = kmeans_simd::kBlockLanes;
  const hn::CappedTag<float, 16> d16;
  if (hn::Lanes(d16) * 2 == kLanes) {
    pass(d16, 0, std::integral_constant<size_t, 2>());
    return;
  }
  const hn::CappedTag<float, 8> d8;
  if (hn::Lanes(d8) * 4 == kLanes) {
    pass(d8, 0, std::integral_constant<size_t, 4>());
    return;
  }
  const hn::CappedTag<float, 4> d4;
  for (size_t base = 0; base < kLanes; base += 4 * hn::Lanes(d4)) {
    pass(d4, base, std::integral_constant<size_t, 4>());
  }
}

void BlockDistances(const float* HWY_RESTRICT x, const float* HWY_RESTRICT block, uint64_t d,
                    float* HWY_RESTRICT out) {
  ForEachPass([&](auto df, size_t base, auto v) {
    OnePointPass<decltype(v)::value>(df, x, block, d, base, out);
  });
}

void BlockDistances2(const float* HWY_RESTRICT x0, const float* HWY_RESTRICT x1,
                     const float* HWY_RESTRICT block, uint64_t d, float* HWY_RESTRICT out0,
                     float* HWY_RESTRICT out1) {
  ForEachPass([&](auto df, size_t base, auto v) {
    TwoPointPass<decltype(v)::value>(df, x0, x1, block, d, base, out0, out1);
  });
}

void AddRow(float* HWY_RESTRICT sum, const float* HWY_RESTRICT row, uint64_t d) {
  const hn::ScalableTag<float> df;
  const size_t n = hn::Lanes(df);
  uint64_t j = 0;
  for (; j + n <= d; j += n) {
    hn::StoreU(hn::Add(hn::LoadU(df, row + j), hn::LoadU(df, sum + j)), df, sum + j);
  }
  for (; j < d; ++j) sum[j] = row[j] + sum[j];
}

const char* KmeansTargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace mivo
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace mivo {

HWY_EXPORT(BlockDistances);
HWY_EXPORT(BlockDistances2);
HWY_EXPORT(AddRow);
HWY_EXPORT(KmeansTargetName);

namespace kmeans_simd {

void block_distances(const float* x, const float* block, uint64_t d, float* out) {
  HWY_DYNAMIC_DISPATCH(BlockDistances)(x, block, d, out);
}

void block_distances2(const float* x0, const float* x1, const float* block, uint64_t d, float* out0,
                      float* out1) {
  HWY_DYNAMIC_DISPATCH(BlockDistances2)(x0, x1, block, d, out0, out1);
}

void add_row(float* sum, const float* row, uint64_t d) {
  HWY_DYNAMIC_DISPATCH(AddRow)(sum, row, d);
}

const char* target_name() { return HWY_DYNAMIC_DISPATCH(KmeansTargetName)(); }

}  // namespace kmeans_simd
}  // namespace mivo
#endif  // HWY_ONCE
