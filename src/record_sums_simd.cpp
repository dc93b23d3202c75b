// Vector kernel of the per-record sums of quantization, compiled once per SIMD target by
// Highway and chosen at run time.
//
// One record per lane: lane l of each accumulator holds record l's sum, one sequential
// chain of additions in index order from -0.0, each term rounded before it is added
// (separate Mul and Add; no fused operations, no horizontal reductions), the same terms
// in the same order as record_sums. Lanes gather their record's value of each dimension
// from the row-major rows, so the rows need no transposed copy.
// Vector types of scalable targets are sizeless: they live only in named variables,
// never in arrays or class members.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "record_sums_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "record_sums_simd.h"
#include "sums.h"

HWY_BEFORE_NAMESPACE();
namespace mivo {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// At most 16 records at once: gather indices (lane * d) stay in int32 for every
// dimension below 2^27 (see kMaxVectorDimension).
using DF = hn::CappedTag<float, 16>;
using DI = hn::RebindToSigned<DF>;
using VF = hn::Vec<DF>;

// Records [0, n) of s and u (the centred codes), both row-major with rows of d
// values, a group of up to `lanes` records at a time; the last group's spare lanes
// repeat its last record and are not stored. Without u (records of sign bits alone,
// whose codes are 1 for s >= 0 and 0 otherwise, NaN included) each centred code is
// chosen from the sign of s in the lane, which saves a gather per value.
void RecordSumsRows(const float* HWY_RESTRICT s, const float* HWY_RESTRICT u, float centre,
                    uint64_t n, uint64_t d, RecordSums* HWY_RESTRICT sums) {
  const DF df;
  const DI di;
  const size_t lanes = hn::Lanes(df);
  const VF zero = hn::Zero(df);
  const VF code_one = hn::Set(df, centred_code(1, centre));
  const VF code_zero = hn::Set(df, centred_code(0, centre));
  HWY_ALIGN int32_t index[hn::MaxLanes(DI())];
  HWY_ALIGN float out_s[hn::MaxLanes(DF())];
  HWY_ALIGN float out_u[hn::MaxLanes(DF())];
  HWY_ALIGN float out_v[hn::MaxLanes(DF())];
  for (uint64_t r0 = 0; r0 < n; r0 += lanes) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(lanes, n - r0));
    for (size_t l = 0; l < lanes; ++l) {
      index[l] = static_cast<int32_t>(std::min(l, count - 1) * d);
    }
    const auto rows = hn::Load(di, index);
    const float* sp = s + r0 * d;
    const float* up = u == nullptr ? nullptr : u + r0 * d;
    VF sum_s = hn::Set(df, -0.0f);
    VF sum_u = sum_s;
    VF sum_v = sum_s;
    for (uint64_t i = 0; i < d; ++i) {
      const VF si = hn::GatherIndex(df, sp + i, rows);
      const VF ui = up == nullptr ? hn::IfThenElse(hn::Ge(si, zero), code_one, code_zero)
                                  : hn::GatherIndex(df, up + i, rows);
      sum_s = hn::Add(sum_s, hn::Mul(si, si));
      sum_u = hn::Add(sum_u, hn::Mul(ui, ui));
      sum_v = hn::Add(sum_v, hn::Mul(ui, si));
    }
    hn::Store(sum_s, df, out_s);
    hn::Store(sum_u, df, out_u);
    hn::Store(sum_v, df, out_v);
    for (size_t l = 0; l < count; ++l) sums[r0 + l] = {out_s[l], out_u[l], out_v[l]};
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace mivo
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace mivo {

HWY_EXPORT(RecordSumsRows);

namespace record_sums_simd {
namespace {

// Above this dimension a gather index (up to 15 * d) would leave int32; no rotation of
// such a dimension fits in memory, but the scalar sums serve it all the same.
constexpr uint64_t kMaxVectorDimension = uint64_t{1} << 27;

}  // namespace

void record_sums_rows(const float* s, const uint16_t* codes, unsigned ex_bits, uint64_t n,
                      uint64_t d, float centre, RecordSums* sums) {
  if (d == 0 || d >= kMaxVectorDimension) {
    for (uint64_t r = 0; r < n; ++r) {
      sums[r] = record_sums(std::span<const float>(s + r * d, d),
                            std::span<const uint16_t>(codes + r * d, d), centre);
    }
    return;
  }
  if (ex_bits == 0) {
    HWY_DYNAMIC_DISPATCH(RecordSumsRows)(s, nullptr, centre, n, d, sums);
    return;
  }
  // The centred codes as floats, so that lanes can gather them like s.
  std::vector<float> u(n * d);
  for (uint64_t j = 0; j < n * d; ++j) u[j] = centred_code(codes[j], centre);
  HWY_DYNAMIC_DISPATCH(RecordSumsRows)(s, u.data(), centre, n, d, sums);
}

}  // namespace record_sums_simd
}  // namespace mivo
#endif  // HWY_ONCE
