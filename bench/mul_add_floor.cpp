// The register-only multiply-add loop of mul_add_floor.h, compiled once per SIMD
// target by Highway.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "mul_add_floor.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include "mul_add_floor.h"

HWY_BEFORE_NAMESPACE();
namespace mivo::bench {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The rotation kernels' vectors: at most 16 lanes.
using DF = hn::CappedTag<float, 16>;

// Sixteen chains: a multiply and an add each take several cycles, and two ports run
// them, so fewer chains would leave the ports waiting on the chains.
constexpr size_t kChains = 16;

float MulAddChains(uint64_t steps, float a, float b) {
  const DF df;
  const auto va = hn::Set(df, a);
  const auto vb = hn::Set(df, b);
  // Different start values: equal chains would be merged into one by the compiler.
  const auto start = [&](int i) { return hn::Set(df, static_cast<float>(i)); };
  auto c0 = start(1), c1 = start(2), c2 = start(3), c3 = start(4), c4 = start(5), c5 = start(6);
  auto c6 = start(7), c7 = start(8), c8 = start(9), c9 = start(10), c10 = start(11);
  auto c11 = start(12), c12 = start(13), c13 = start(14), c14 = start(15), c15 = start(16);
  const auto pair = [&](decltype(c0) c) { return hn::Add(hn::Mul(c, va), vb); };
  for (uint64_t s = 0; s < steps; ++s) {
    c0 = pair(c0);
    c1 = pair(c1);
    c2 = pair(c2);
    c3 = pair(c3);
    c4 = pair(c4);
    c5 = pair(c5);
    c6 = pair(c6);
    c7 = pair(c7);
    c8 = pair(c8);
    c9 = pair(c9);
    c10 = pair(c10);
    c11 = pair(c11);
    c12 = pair(c12);
    c13 = pair(c13);
    c14 = pair(c14);
    c15 = pair(c15);
  }
  const auto s0 =
      hn::Add(hn::Add(hn::Add(c0, c1), hn::Add(c2, c3)), hn::Add(hn::Add(c4, c5), hn::Add(c6, c7)));
  const auto s1 = hn::Add(hn::Add(hn::Add(c8, c9), hn::Add(c10, c11)),
                          hn::Add(hn::Add(c12, c13), hn::Add(c14, c15)));
  return hn::GetLane(hn::Add(s0, s1));
}

size_t MulAddPairsPerStep() { return kChains * hn::Lanes(DF()); }

}  // namespace HWY_NAMESPACE
}  // namespace mivo::bench
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace mivo::bench {

HWY_EXPORT(MulAddChains);
HWY_EXPORT(MulAddPairsPerStep);

float mul_add_chains(uint64_t steps, float a, float b) {
  return HWY_DYNAMIC_DISPATCH(MulAddChains)(steps, a, b);
}

size_t mul_add_pairs_per_step() { return HWY_DYNAMIC_DISPATCH(MulAddPairsPerStep)(); }

}  // namespace mivo::bench
#endif  // HWY_ONCE
