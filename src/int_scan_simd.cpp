// Vector kernels of the integer scan, compiled once per SIMD target by Highway and
// chosen at run time.
//
// The kernels compute integer sums of small products, exact whatever the order, the
// lane count or the instruction, so every target returns the scalar loops' integers:
//  - P1 (sign bits x levels) by byte-shuffle lookups of 16-entry tables over the sign
//    bits interleaved in blocks of 32 records (below). They replaced P1 by bit planes
//    (P1 = sum_j 2^j popcount(sign bits & level bit plane j), one record at a time),
//    which took 2 to 4 times as long at every query_bits on every x86 target (d = 768,
//    ns per record at query_bits 4 / 6 / 8: AVX3_SPR 10 / 15 / 19 against 3.3 / 3.7 /
//    4.9, AVX2 15 / 21 / 27 against 4.1 / 4.5 / 6.4, SSE4 28 / 40 / 52 against 8.0 /
//    8.4 / 11.8). The half-widths and the estimates of one-bit records follow the
//    lookups block by block, one record per f32 lane, in the scalar reference's order;
//  - E (extended codes x levels): each record's codes are unpacked to 16 bits by a byte
//    permutation across the vector, then multiplied pairwise with the 16-bit levels
//    into 32-bit lanes (codes < 2^7, levels < 2^8: no saturation), which are widened to
//    64 bits before they could overflow.
// Everything loops at run time over the dimension, the tables and ex_bits: nothing is
// unrolled per parameter, which keeps this file quick to compile.
// Vector types of scalable targets are sizeless: they live only in named variables.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "int_scan_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "int_scan.h"
#include "int_scan_simd.h"
#include "rabitq_batch.h"

// The kernels use operations that Highway has had since 1.3 (byte permutes across a
// vector, PromoteUpperTo, fixed 128-bit tags on every target). Built against an older
// Highway (Debian 12 has 1.0), the integer scan runs its scalar kernels instead, which
// give the same integers (vectors_available()).
#if HWY_MAJOR > 1 || HWY_MINOR >= 3
#define MIVO_INT_SCAN_VECTORS 1
#else
#define MIVO_INT_SCAN_VECTORS 0
#endif
#if !defined(MIVO_INT_SCAN_SIMD_ONCE) && MIVO_INT_SCAN_VECTORS
#define MIVO_INT_SCAN_SIMD_ONCE
namespace mivo::int_scan_simd {
namespace {

// Lookups of the P1 kernel per record between widenings of its 16-bit sums: each adds
// at most 252, and 256 x 252 < 2^16.
constexpr uint64_t kLookupsBetweenWidening = 256;

// Vectors of the E kernel between widenings of its 32-bit sums: each
// adds at most two products of 127 x 255 to a lane, so 2^14 of them stay below 2^31.
constexpr uint64_t kWidenEvery = uint64_t{1} << 14;

// The d extended codes of b bits (1..7) in the LSB-first stream `ext` of ne bytes, as
// 16-bit values into out[0 .. d). Eight codes fill exactly b bytes; the stream's last
// group may be short, and no byte past the stream is read.
void unpack_codes(const uint8_t* ext, uint64_t ne, uint64_t d, unsigned b, uint16_t* out) {
  const uint64_t mask = (uint64_t{1} << b) - 1;
  for (uint64_t g = 0; g * 8 < d; ++g) {
    const uint64_t first = g * b;
    const uint64_t bytes = std::min<uint64_t>(b, ne - first);
    uint64_t w = 0;
    for (uint64_t k = 0; k < bytes; ++k) w |= uint64_t{ext[first + k]} << (8 * k);
    const uint64_t n = std::min<uint64_t>(8, d - g * 8);
    for (uint64_t t = 0; t < n; ++t) out[g * 8 + t] = static_cast<uint16_t>((w >> (t * b)) & mask);
  }
}

}  // namespace
}  // namespace mivo::int_scan_simd
#endif  // MIVO_INT_SCAN_SIMD_ONCE

HWY_BEFORE_NAMESPACE();
namespace mivo {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;
#if MIVO_INT_SCAN_VECTORS

// ---- the first stage: P1 by table lookups, and the records' values from it -----------
//
// A block's interleaved sign bits hold, per group of 4 dimensions, 16 bytes whose low
// nibbles are records 0..15 and high nibbles records 16..31. A byte shuffle of the
// group's table by the nibbles gives each of those records its sum of the group's
// levels, a byte (at most 252); a vector holds the groups of one table vector, 16 bytes
// each (shuffles stay within 16-byte blocks). The bytes are summed in 16-bit lanes: a
// lane of the shuffle's result holds an even record (low byte) and an odd one (high
// byte); `sum` adds the lane as it is, `odd` its high byte alone, and the even record's
// total is sum - 256 odd modulo 2^16. Wrapping adds, so nothing saturates, and both
// totals are exact while they stay below 2^16: after at most kLookupsBetweenWidening
// lookups per record (256 x 252 < 2^16, all blocks of the vector together) the lanes
// are added into the records' 32-bit totals. Levels of 7 and 8 bits are split into
// nibbles, whose tables give bytes of at most 60: the high nibbles' totals count 16
// times.

// Adds bytes of sums (the low-nibble records' and the high-nibble records') into one
// table's 16-bit sums of the block's records. (Vectors of scalable targets are sizeless
// and cannot be members of a struct: the four sums are separate variables.)
template <class D8, class D16>
HWY_INLINE void AddBytes(D16 d16, hn::Vec<D8> from_low, hn::Vec<D8> from_high,
                         hn::Vec<D16>& low_sum, hn::Vec<D16>& low_odd, hn::Vec<D16>& high_sum,
                         hn::Vec<D16>& high_odd) {
  const auto low = hn::BitCast(d16, from_low);
  const auto high = hn::BitCast(d16, from_high);
  low_sum = hn::Add(low_sum, low);
  low_odd = hn::Add(low_odd, hn::ShiftRight<8>(low));
  high_sum = hn::Add(high_sum, high);
  high_odd = hn::Add(high_odd, hn::ShiftRight<8>(high));
}

// Adds the records' sums, shifted left by kShift, to their 32-bit totals. The vector's
// 16-byte blocks hold other groups of the same records: they are added first, in
// 16-bit lanes, which stays exact since a stretch never gives one record more than
// kLookupsBetweenWidening lookups in all blocks together. Then each lane's even record
// is separated from its odd one, and the lanes are put in record order and widened.
template <int kShift, class D16>
HWY_INLINE void AddToTotals(D16 d16, hn::Vec<D16> low_sum, hn::Vec<D16> low_odd,
                            hn::Vec<D16> high_sum, hn::Vec<D16> high_odd, int32_t* totals) {
  const hn::FixedTag<uint16_t, 8> d;
  const hn::FixedTag<uint32_t, 4> du32;
  const hn::FixedTag<int32_t, 4> d32;
  HWY_ALIGN uint16_t lanes[4][32];
  hn::Store(low_sum, d16, lanes[0]);
  hn::Store(low_odd, d16, lanes[1]);
  hn::Store(high_sum, d16, lanes[2]);
  hn::Store(high_odd, d16, lanes[3]);
  const size_t blocks = hn::Lanes(d16) / 8;
  const auto fold = [&](const uint16_t* p) {
    auto v = hn::Load(d, p);
    for (size_t b = 1; b < blocks; ++b) v = hn::Add(v, hn::Load(d, p + 8 * b));
    return v;
  };
  // Eight records in order (16-bit lanes) into totals[0 .. 8).
  const auto add_eight = [&](hn::Vec<decltype(d)> ordered, int32_t* t) {
    const auto low = hn::BitCast(d32, hn::PromoteTo(du32, hn::LowerHalf(ordered)));
    const auto high = hn::BitCast(d32, hn::PromoteUpperTo(du32, ordered));
    hn::StoreU(hn::Add(hn::LoadU(d32, t), hn::ShiftLeft<kShift>(low)), d32, t);
    hn::StoreU(hn::Add(hn::LoadU(d32, t + 4), hn::ShiftLeft<kShift>(high)), d32, t + 4);
  };
  for (size_t half = 0; half < 2; ++half) {
    const auto odd = fold(lanes[2 * half + 1]);
    const auto even = hn::Sub(fold(lanes[2 * half]), hn::ShiftLeft<8>(odd));
    add_eight(hn::InterleaveLower(d, even, odd), totals + 16 * half);
    add_eight(hn::InterleaveUpper(d, even, odd), totals + 16 * half + 8);
  }
}

// totals[t] += P1 of record t of the block, from its `bytes` of interleaved sign bits
// and the tables (the low nibbles' and, when split, the high nibbles' at high_tables).
// per_byte lookups (each at most 255 / per_byte) are first summed in bytes, which saves
// most of the widening into 16-bit sums at small entries (split tables: 4 lookups of
// at most 60).
template <bool kSplit, bool kByteSums, class D8>
void BlockProducts(D8 d8, const uint8_t* block, const uint8_t* tables, const uint8_t* high_tables,
                   uint64_t bytes, unsigned per_byte, int32_t* totals) {
  using D16 = hn::Repartition<uint16_t, D8>;
  const D16 d16;
  const size_t n = hn::Lanes(d8);
  const auto nibble = hn::Set(d8, uint8_t{0x0F});
  // One table's sums of the low- and high-nibble records, and the high nibbles' table's.
  hn::Vec<D16> low_sum, low_odd, high_sum, high_odd;
  hn::Vec<D16> split_low_sum, split_low_odd, split_high_sum, split_high_odd;
  // Each 16 bytes of the block give every record of the block one lookup.
  const uint64_t stretch = int_scan_simd::kLookupsBetweenWidening * 16;
  for (uint64_t start = 0; start < bytes; start += stretch) {
    const uint64_t end = std::min(bytes, start + stretch);
    low_sum = low_odd = high_sum = high_odd = hn::Zero(d16);
    split_low_sum = split_low_odd = split_high_sum = split_high_odd = hn::Zero(d16);
    for (uint64_t v = start; v < end;) {
      auto from_low = hn::Zero(d8), from_high = hn::Zero(d8);
      auto split_low = hn::Zero(d8), split_high = hn::Zero(d8);
      // Entries of 6-bit levels fill a byte alone: a loop of one round, known at compile time.
      const unsigned rounds = kByteSums ? per_byte : 1;
      for (unsigned r = 0; r < rounds && v < end; ++r, v += n) {
        const auto codes = hn::LoadU(d8, block + v);
        const auto low = hn::And(codes, nibble);
        const auto high = hn::ShiftRight<4>(codes);
        const auto table = hn::LoadU(d8, tables + v);
        from_low = hn::Add(from_low, hn::TableLookupBytes(table, low));
        from_high = hn::Add(from_high, hn::TableLookupBytes(table, high));
        if (kSplit) {
          const auto high_table = hn::LoadU(d8, high_tables + v);
          split_low = hn::Add(split_low, hn::TableLookupBytes(high_table, low));
          split_high = hn::Add(split_high, hn::TableLookupBytes(high_table, high));
        }
      }
      AddBytes<D8>(d16, from_low, from_high, low_sum, low_odd, high_sum, high_odd);
      if (kSplit) {
        AddBytes<D8>(d16, split_low, split_high, split_low_sum, split_low_odd, split_high_sum,
                     split_high_odd);
      }
    }
    AddToTotals<0>(d16, low_sum, low_odd, high_sum, high_odd, totals);
    if (kSplit) {
      AddToTotals<4>(d16, split_low_sum, split_low_odd, split_high_sum, split_high_odd, totals);
    }
  }
}

// T2 = 2 ((P1 << ex_bits) + E) - m2 L of the records of lanes `p` (their P1) at the end
// of E's reach where their full estimate is least (int_scan.cpp's least_estimate): the
// level sums gathered at the records' `top` (IntQuery::gathered holds smallest[j] at j +
// 1, and an index one past either end stays inside), in int32 lanes. Every value fits
// int32 but 2 ((P1 << ex_bits) + E), whose wrap the exact result undoes, so that sum
// runs in unsigned lanes.
template <class DI, class DF>
HWY_INLINE hn::Vec<DI> LeastT2(DI di, DF df, const IntQuery& iq, const ScanRecords& r, uint64_t i,
                               hn::Vec<DI> p, unsigned ex_bits) {
  const hn::RebindToUnsigned<DI> du;
  const int32_t* table = iq.gathered.data();
  const auto one = hn::Set(di, 1);
  const auto kmax = hn::Set(di, (int32_t{1} << ex_bits) - 1);
  const auto level_sum = hn::Set(di, static_cast<int32_t>(iq.level_sum));
  const auto top = hn::LoadU(di, r.top.data() + i);
  const auto rest = hn::LoadU(di, r.rest.data() + i);
  // The least E: kmax on the `top` smallest levels, rest on the next one.
  const auto low = hn::GatherIndex(di, table, hn::Add(top, one));
  const auto low_next = hn::GatherIndex(di, table, hn::Add(top, hn::Set(di, 2)));
  const auto least = hn::Add(hn::Mul(kmax, low), hn::Mul(rest, hn::Sub(low_next, low)));
  // The greatest E: kmax on the `top` largest, rest on the next one down.
  const auto at = hn::Sub(hn::Set(di, static_cast<int32_t>(iq.dimension)), top);
  const auto high = hn::GatherIndex(di, table, hn::Add(at, one));
  const auto high_next = hn::GatherIndex(di, table, at);
  const auto greatest =
      hn::Add(hn::Mul(kmax, hn::Sub(level_sum, high)), hn::Mul(rest, hn::Sub(high, high_next)));
  const auto falling =
      hn::RebindMask(di, hn::Lt(hn::LoadU(df, r.f_rescale.data() + i), hn::Zero(df)));
  const auto e = hn::IfThenElse(falling, greatest, least);
  const auto x = hn::BitCast(du, hn::Add(hn::ShiftLeftSame(p, static_cast<int>(ex_bits)), e));
  const int64_t m2 = (int64_t{2} << ex_bits) - 1;
  const auto m2_level_sum = hn::Set(du, static_cast<uint32_t>(m2 * iq.level_sum));
  return hn::BitCast(di, hn::Sub(hn::Add(x, x), m2_level_sum));
}

// out[t] = the value `what` names (not kNone) of record first + t for t < 32, from its
// P1 in p1[t], and when widths is not null widths[t] = the record's full half-width:
// the same f32 operations in the same order as int_scan.cpp's full_estimate,
// least_estimate and full_width, one record per lane, with the same tests in the same
// order: an interval bounds nothing where f_error * ||q_r|| is not finite (f_error is
// NaN where the record's factors bound nothing, whose least estimate is then -inf), a
// half-width that is not finite is +inf, and an estimate not above 0 is 0. The least
// values need d <= kMaxGatheredDimension.
// Vectors of whole 16, 8, 4, 2 or 1 lanes tile the 32 records; a scalable vector of
// another size (12 lanes at 384 bits) runs 4 lanes instead.
template <class DF>
void StageValuesOn(DF df, const IntQuery& iq, const ScanRecords& r, uint64_t first,
                   const int32_t* p1, StageValue what, unsigned ex_bits, float* out,
                   float* widths) {
  const hn::RebindToSigned<decltype(df)> di;
  const auto zero = hn::Zero(df);
  const auto norm = hn::Set(df, iq.norm);
  const auto lo = hn::Set(df, iq.lo);
  const auto abs_lo = hn::Set(df, std::fabs(iq.lo));
  const auto step = hn::Set(df, iq.step);
  const auto squared_norm = hn::Set(df, iq.squared_norm);
  const auto half = hn::Set(df, 0.5f);
  const auto quarter_slack = hn::Set(df, 0.25f * kQuantizationSlack);
  const auto margin_share = hn::Set(df, kRoundingMargin);
  const auto level_sum_i = hn::Set(di, static_cast<int32_t>(iq.level_sum));
  const auto max_level = hn::Set(df, static_cast<float>((1u << iq.query_bits) - 1));
  const auto inf = hn::Set(df, std::numeric_limits<float>::infinity());
  for (size_t t = 0; t < kScanBlockRecords; t += hn::Lanes(df)) {
    const uint64_t i = first + t;
    const auto sum_s = hn::LoadU(df, r.f_add.data() + i);
    const auto g = hn::LoadU(df, r.f_rescale.data() + i);
    const auto t1 = hn::LoadU(df, r.t1.data() + i);
    // full_width: the half-width of the record's full interval, when it is needed. (A
    // lambda returning it stops GCC's SVE code generation: it stays inline.)
    auto full_width = inf;
    if (widths != nullptr || what == StageValue::kLeastLower) {
      const auto h = hn::Mul(hn::LoadU(df, r.f_error.data() + i), norm);
      const auto own = hn::IfThenElse(hn::IsFinite(h), hn::Add(zero, h), inf);
      const auto quant = hn::Mul(hn::Mul(hn::LoadU(df, r.quant.data() + i), step), quarter_slack);
      const auto t2_max = hn::Mul(hn::LoadU(df, r.a2.data() + i), max_level);
      // rounding_margin: 2^-20 * (|g| * (|lo| * |t1| + step * t2_max) + Q + |f_add|).
      const auto terms = hn::Add(hn::Mul(abs_lo, hn::Abs(t1)), hn::Mul(step, t2_max));
      const auto margin = hn::Mul(
          margin_share, hn::Add(hn::Add(hn::Mul(hn::Abs(g), terms), squared_norm), hn::Abs(sum_s)));
      const auto w = hn::Add(hn::Add(own, quant), margin);
      full_width = hn::IfThenElse(hn::IsFinite(w), w, inf);
    }
    if (widths != nullptr) hn::StoreU(full_width, df, widths + t);
    if (what == StageValue::kNone) continue;
    // T2: 2 P1 - L for a one-bit record, else at the least end of E's reach.
    const auto p = hn::LoadU(di, p1 + t);
    const auto t2i = what == StageValue::kEstimate ? hn::Sub(hn::Add(p, p), level_sum_i)
                                                   : LeastT2(di, df, iq, r, i, p, ex_bits);
    const auto ip = hn::Mul(half, hn::Add(hn::Mul(lo, t1), hn::Mul(step, hn::ConvertTo(df, t2i))));
    const auto est = hn::Add(hn::Mul(ip, g), hn::Add(squared_norm, sum_s));
    const auto clamped = hn::IfThenElseZero(hn::Gt(est, zero), est);
    if (what == StageValue::kEstimate) {
      hn::StoreU(clamped, df, out + t);
      continue;
    }
    const auto bounded = hn::Not(hn::IsNaN(hn::LoadU(df, r.f_error.data() + i)));
    const auto least = hn::IfThenElse(bounded, clamped, hn::Neg(inf));
    hn::StoreU(what == StageValue::kLeastEstimate ? least : hn::Sub(least, full_width), df,
               out + t);
  }
}

void StageValues(const IntQuery& iq, const ScanRecords& r, uint64_t first, const int32_t* p1,
                 StageValue what, unsigned ex_bits, float* out, float* widths) {
  const hn::CappedTag<float, 16> df;
  if (16 % hn::Lanes(df) == 0) {
    StageValuesOn(df, iq, r, first, p1, what, ex_bits, out, widths);
  } else {
    StageValuesOn(hn::CappedTag<float, 4>(), iq, r, first, p1, what, ex_bits, out, widths);
  }
}

template <class D8>
void OneBitStageOn(D8 d8, const IntQuery& iq, const ScanRecords& r, uint64_t begin, uint64_t count,
                   int64_t* p1, StageValue what, unsigned ex_bits, float* values, float* widths) {
  const uint64_t bytes = r.block_bytes();
  const uint8_t* const tables = iq.tables.data();
  const bool split = split_tables(iq.query_bits);
  // The largest entry: 4 levels, or 4 nibbles of split levels.
  const unsigned largest = split ? 4 * 15 : 4 * ((1u << iq.query_bits) - 1);
  const unsigned per_byte = 255 / largest;
  for (uint64_t done = 0; done < count; done += kScanBlockRecords) {
    const uint64_t first = begin + done;
    const uint8_t* block = r.blocked_signs.data() + first / kScanBlockRecords * bytes;
    HWY_ALIGN int32_t totals[kScanBlockRecords] = {};
#if HWY_TARGET == HWY_SCALAR
    // One-byte vectors have no 16-byte blocks to shuffle in: the lookups one by one.
    (void)d8;
    for (uint64_t v = 0; v < bytes; ++v) {
      for (unsigned half = 0; half < 2; ++half) {
        const unsigned nibble = (block[v] >> (4 * half)) & 0xF;
        int32_t& total = totals[v % 16 + 16 * half];
        total += tables[v / 16 * 16 + nibble];
        if (split) total += 16 * tables[bytes + v / 16 * 16 + nibble];
      }
    }
#else
    if (split) {
      BlockProducts<true, true>(d8, block, tables, tables + bytes, bytes, per_byte, totals);
    } else if (per_byte > 1) {
      BlockProducts<false, true>(d8, block, tables, nullptr, bytes, per_byte, totals);
    } else {
      BlockProducts<false, false>(d8, block, tables, nullptr, bytes, 1, totals);
    }
#endif
    const uint64_t n = std::min<uint64_t>(kScanBlockRecords, count - done);
    for (uint64_t t = 0; t < n; ++t) p1[done + t] = totals[t];
    if (what != StageValue::kNone || widths != nullptr) {
      HWY_ALIGN float block_values[kScanBlockRecords];
      HWY_ALIGN float block_widths[kScanBlockRecords];
      StageValues(iq, r, first, totals, what, ex_bits, block_values,
                  widths != nullptr ? block_widths : nullptr);
      if (what != StageValue::kNone) std::copy(block_values, block_values + n, values + done);
      if (widths != nullptr) std::copy(block_widths, block_widths + n, widths + done);
    }
  }
}

void OneBitStage(const IntQuery& iq, const ScanRecords& r, uint64_t begin, uint64_t count,
                 int64_t* p1, StageValue what, unsigned ex_bits, float* values, float* widths) {
  // A block's bytes are whole 64: vectors of 16, 32 or 64 bytes tile them. A scalable
  // vector of another size (384 bits, say) runs 16-byte vectors instead.
  const hn::CappedTag<uint8_t, 64> d8;
  if (64 % hn::Lanes(d8) == 0) {
    OneBitStageOn(d8, iq, r, begin, count, p1, what, ex_bits, values, widths);
  } else {
    OneBitStageOn(hn::CappedTag<uint8_t, 16>(), iq, r, begin, count, p1, what, ex_bits, values,
                  widths);
  }
}

template <class DF>
uint64_t WithinBarOn(DF df, const float* values, float bar) {
  const size_t n = hn::Lanes(df);
  const auto limit = hn::Set(df, bar);
  uint64_t bits = 0;
  for (size_t t = 0; t < kScanBlockRecords; t += n) {
    uint8_t packed[8] = {};
    hn::StoreMaskBits(df, hn::Not(hn::Gt(hn::LoadU(df, values + t), limit)), packed);
    uint64_t word = 0;
    for (size_t k = 0; k < (n + 7) / 8; ++k) word |= uint64_t{packed[k]} << (8 * k);
    bits |= (n < 64 ? word & ((uint64_t{1} << n) - 1) : word) << t;
  }
  return bits;
}

// The bits of within_bar, on vectors that tile the 32 values (as StageValues').
uint64_t WithinBar(const float* values, float bar) {
  const hn::CappedTag<float, 16> df;
  if (16 % hn::Lanes(df) == 0) return WithinBarOn(df, values, bar);
  return WithinBarOn(hn::CappedTag<float, 4>(), values, bar);
}

#if HWY_TARGET == HWY_SCALAR

void ExtendedProducts(const IntQuery& iq, const RecordColumns& batch, const uint64_t* rows,
                      uint64_t count, int64_t* e) {
  const uint64_t d = batch.dimension;
  const uint64_t ne = extended_code_bytes(d, batch.ex_bits);
  std::vector<uint16_t> codes(d);
  for (uint64_t j = 0; j < count; ++j) {
    int_scan_simd::unpack_codes(batch.extended_codes + rows[j] * ne, ne, d, batch.ex_bits,
                                codes.data());
    int64_t total = 0;
    for (uint64_t i = 0; i < d; ++i) total += int64_t{codes[i]} * iq.levels[i];
    e[j] = total;
  }
}

#else

// A vector of n 16-bit lanes unpacks n codes (n * b / 8 bytes: n is a multiple of 8,
// and eight codes of b bits fill exactly b bytes): lane t takes the two bytes holding
// its code's bits t * b .. t * b + b - 1 (a byte permutation across the vector),
// multiplies them by 2^(8 - (t * b) % 8), so that the code starts at bit 8 (the bits
// above it are shifted out of the lane), and shifts right by 8 and masks. The products
// with the levels then go pairwise into 32-bit lanes.
void ExtendedProducts(const IntQuery& iq, const RecordColumns& batch, const uint64_t* rows,
                      uint64_t count, int64_t* e) {
  const hn::CappedTag<uint16_t, 32> du16;
  const hn::Repartition<uint8_t, decltype(du16)> d8;
  const hn::RebindToSigned<decltype(du16)> d16;
  const hn::Repartition<int32_t, decltype(du16)> d32;
  const size_t n = hn::Lanes(du16);
  const size_t load = hn::Lanes(d8);
  const uint64_t d = batch.dimension;
  const unsigned b = batch.ex_bits;
  const uint64_t ne = extended_code_bytes(d, b);
  const uint64_t vectors = (d + n - 1) / n;
  const uint64_t stride = n * b / 8;  // the bytes of n codes
  // Vectors whose load stays inside the record's stream; the rest are read from a
  // zeroed copy of the stream's tail, which is shorter than one load, and so are the
  // later vectors' offsets in it.
  const uint64_t direct = ne >= load ? std::min<uint64_t>(vectors, (ne - load) / stride + 1) : 0;
  HWY_ALIGN uint8_t index[64];
  HWY_ALIGN uint16_t scale[32];
  for (size_t t = 0; t < n; ++t) {
    const size_t first = t * b / 8;
    index[2 * t] = static_cast<uint8_t>(first);
    index[2 * t + 1] = static_cast<uint8_t>(first + 1);
    scale[t] = static_cast<uint16_t>(1u << (8 - t * b % 8));
  }
  const auto from = hn::SetTableIndices(d8, index);
  const auto mul = hn::Load(du16, scale);
  const auto mask = hn::Set(du16, static_cast<uint16_t>((1u << b) - 1));
  const int16_t* const levels = reinterpret_cast<const int16_t*>(iq.levels.data());
  HWY_ALIGN uint8_t tail[128];
  HWY_ALIGN int32_t sums[16];
  for (uint64_t j = 0; j < count; ++j) {
    const uint8_t* const ext = batch.extended_codes + rows[j] * ne;
    if (direct < vectors) {
      std::memset(tail, 0, sizeof tail);
      std::memcpy(tail, ext + direct * stride, ne - direct * stride);
    }
    const auto codes_of = [&](uint64_t v) {
      const uint8_t* p = v < direct ? ext + v * stride : tail + (v - direct) * stride;
      const auto bytes = hn::TableLookupLanes(hn::LoadU(d8, p), from);
      return hn::BitCast(d16,
                         hn::And(hn::ShiftRight<8>(hn::Mul(hn::BitCast(du16, bytes), mul)), mask));
    };
    // Even and odd vectors feed two pairs of sums, so that consecutive multiply-adds
    // (one instruction of several cycles' latency on some targets) do not wait for
    // each other.
    int64_t total = 0;
    auto even0 = hn::Zero(d32), even1 = hn::Zero(d32);
    auto odd0 = hn::Zero(d32), odd1 = hn::Zero(d32);
    for (uint64_t v = 0; v < vectors; v += 2) {
      even0 = hn::ReorderWidenMulAccumulate(d32, codes_of(v), hn::LoadU(d16, levels + v * n), even0,
                                            even1);
      if (v + 1 < vectors) {
        odd0 = hn::ReorderWidenMulAccumulate(d32, codes_of(v + 1),
                                             hn::LoadU(d16, levels + (v + 1) * n), odd0, odd1);
      }
      if ((v + 2) % int_scan_simd::kWidenEvery == 0 || v + 2 >= vectors) {
        hn::Store(hn::Add(hn::Add(even0, even1), hn::Add(odd0, odd1)), d32, sums);
        for (size_t l = 0; l < hn::Lanes(d32); ++l) total += sums[l];
        even0 = even1 = odd0 = odd1 = hn::Zero(d32);
      }
    }
    e[j] = total;
  }
}

#endif  // HWY_TARGET == HWY_SCALAR

const char* IntScanTargetName() { return hwy::TargetName(HWY_TARGET); }

size_t IntScanVectorBytes() { return hn::Lanes(hn::CappedTag<uint8_t, 64>()); }

#endif  // MIVO_INT_SCAN_VECTORS
}  // namespace HWY_NAMESPACE
}  // namespace mivo
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#if MIVO_INT_SCAN_VECTORS
namespace mivo {

HWY_EXPORT(OneBitStage);
HWY_EXPORT(WithinBar);
HWY_EXPORT(ExtendedProducts);
HWY_EXPORT(IntScanTargetName);
HWY_EXPORT(IntScanVectorBytes);

namespace int_scan_simd {

bool vectors_available() { return true; }

void one_bit_stage(const IntQuery& query, const ScanRecords& records, uint64_t begin,
                   uint64_t count, int64_t* p1, StageValue what, unsigned ex_bits, float* values,
                   float* widths) {
  HWY_DYNAMIC_DISPATCH(OneBitStage)
  (query, records, begin, count, p1, what, ex_bits, values, widths);
}

uint64_t within_bar(const float* values, float bar) {
  return HWY_DYNAMIC_DISPATCH(WithinBar)(values, bar);
}

void extended_products(const IntQuery& query, const RecordColumns& batch, const uint64_t* rows,
                       uint64_t count, int64_t* e) {
  HWY_DYNAMIC_DISPATCH(ExtendedProducts)(query, batch, rows, count, e);
}

const char* target_name() { return HWY_DYNAMIC_DISPATCH(IntScanTargetName)(); }

size_t vector_bytes() { return HWY_DYNAMIC_DISPATCH(IntScanVectorBytes)(); }

}  // namespace int_scan_simd
}  // namespace mivo
#else
namespace mivo::int_scan_simd {

// Never called: the integer scan asks vectors_available() first and runs its scalar
// kernels, which give the same integers.
bool vectors_available() { return false; }
void one_bit_stage(const IntQuery&, const ScanRecords&, uint64_t, uint64_t, int64_t*, StageValue,
                   unsigned, float*, float*) {
  std::abort();
}
uint64_t within_bar(const float*, float) { std::abort(); }
void extended_products(const IntQuery&, const RecordColumns&, const uint64_t*, uint64_t, int64_t*) {
  std::abort();
}
const char* target_name() { return "none (Highway older than 1.3)"; }
size_t vector_bytes() { return 0; }

}  // namespace mivo::int_scan_simd
#endif  // MIVO_INT_SCAN_VECTORS
#endif  // HWY_ONCE
