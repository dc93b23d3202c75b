// The integer scan (see int_scan.h): query quantization, the scalar reference of the
// integer kernels, the estimates and bounds formed from the integers, and the pruning
// search. The vector kernels live in int_scan_simd.cpp.
#include "int_scan.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "error.h"
#include "int_scan_simd.h"
#include "sums.h"

namespace mivo {

namespace {

// Whether `kernels` runs the vector kernels here: asked for, and built (they need a
// Highway of 1.3 or later; otherwise the scalar kernels give the same integers).
bool vector_kernels(Kernels kernels) {
  return kernels == Kernels::kBest && int_scan_simd::vectors_available();
}

constexpr float kInf = std::numeric_limits<float>::infinity();

// ---------------------------------------------------------------------------------------
// The margins of the bounds
//
// The integer estimate stands for the estimate with the exact query y, whose interval
// is the record's own [est -/+ f_error * ||q_r||]. Two things separate them.
//
// The query's quantization: y^_i = lo + step * q_i differs from y_i by at most half a
// step, plus the rounding of the level's f32 quotient (y_i - lo) / step: the difference
// is within 2^-24 of (y_i - lo) <= (hi - lo) ~ step * (2^qb - 1) and the quotient within
// 2^-24 of at most 2^8, so a level is off by at most 0.5 + 2^-15 steps. The inner
// product sum u_i y_i therefore moves by at most sum |u_i| * step * (0.5 + 2^-15), and
// the estimate by |f_rescale| times that; kQuantizationSlack (1 + 2^-10) covers the
// 2^-15 and the few roundings of that f32 product.
//
// The f32 steps of the integer estimate: the conversions of T1 and T2 to f32, the two
// products, their sum, the product with f_rescale, Q + f_add and the final sum, and the
// interval's own subtraction and addition: ten roundings, each within 2^-24 of a value
// bounded by M = |f_rescale| * (|lo * T1| + step * |T2|) + Q + |f_add|. 2^-20 * M covers
// them with room. |T2| = |sum (2 c_i - m2) q_i| <= A2 * qmax, so M is known before the
// extended codes are read (the pruning needs the full half-width then). The two
// constants are int_scan.h's, which the vector bounds share.

// Confidence multiplier of the error bound, as in the quantizer.
constexpr float kErrorConfidence = 1.9f;

int64_t max_level(unsigned query_bits) { return (int64_t{1} << query_bits) - 1; }

// The record's own half-width f_error * ||q_r||, +inf where its interval is unbounded:
// what error_interval gives, from the bounded flag code_sums took from it.
float own_half_width(const CodeSums& s, const float* factors, float norm) {
  const float h = factors[kFError] * norm;
  return s.bounded && std::isfinite(h) ? 0.0f + h : kInf;
}

// The f32 part of a bound: 2^-20 * (|g| * (|lo| * |t1| + step * t2_max) + Q + |f_add|).
float rounding_margin(const IntQuery& iq, float g, float t1, int64_t t2_max, float f_add) {
  const float terms = (std::fabs(iq.lo) * std::fabs(t1)) + (iq.step * static_cast<float>(t2_max));
  return kRoundingMargin * (((std::fabs(g) * terms) + iq.squared_norm) + std::fabs(f_add));
}

// 0.5 * (lo * T1 + step * T2) in f32, in that fixed order (t1 = f32(T1)).
float half_combination(const IntQuery& iq, float t1, int64_t t2) {
  return 0.5f * ((iq.lo * t1) + (iq.step * static_cast<float>(t2)));
}

// The half-width of a record's full B-bit interval (own error, quantization term,
// margin; +inf: unbounded), known before its extended codes are read.
float full_width(const IntQuery& iq, const CodeSums& s, const float* f) {
  const float own = own_half_width(s, f, iq.norm);
  const float quant = (s.quant * iq.step) * (0.25f * kQuantizationSlack);
  const float margin =
      rounding_margin(iq, f[kFRescale], s.t1, s.a2 * max_level(iq.query_bits), f[kFAdd]);
  const float w = (own + quant) + margin;
  return std::isfinite(w) ? w : kInf;
}

// The clamped full estimate from the record's P1 and E.
float full_estimate(const IntQuery& iq, const CodeSums& s, const float* f, unsigned ex_bits,
                    int64_t p1, int64_t e) {
  const int64_t m2 = (int64_t{2} << ex_bits) - 1;
  const int64_t t2 = 2 * ((p1 << ex_bits) + e) - m2 * iq.level_sum;
  return clamped_estimate(half_combination(iq, s.t1, t2), iq.squared_norm, f[kFAdd], f[kFRescale]);
}

// The lower end of a record's one-bit interval: the sign bits alone estimate <s, y> as
// S <u1, y> / <u1, s> with u1_i = b_i - 1/2. <u1, s> is not stored; with s ~ (V / U) u,
// it is about (V / U) A / 2, which turns the estimate into
//   est1 = Q + S + g1 <u1, y^>,  g1 = f_rescale * 2U / A = f_rescale * U4 / A2,
// with 2 <u1, y^> = lo (2 pc - d) + step (2 P1 - L). Its error bound is the quantizer's
// with U1 = d / 4 and that V1: U1 S / V1^2 = d g1^2 / (16 S), under the same guards
// (a ratio not above 1 or not finite bounds nothing); the quantization moves <u1, y> by
// at most d * step / 4. For one bit (U4 = A2 = d) it is the full estimate. The terms
// that no query changes are code_sums' (bound_terms).
float one_bit_lower(const IntQuery& iq, const CodeSums& s, const float* f, int64_t p1) {
  if (!std::isfinite(own_half_width(s, f, iq.norm)) || !s.one_bit_bounded) return -kInf;
  const float sum_s = f[kFAdd];
  const float bound = s.one_bit_error * iq.norm;
  const int64_t t2 = 2 * p1 - iq.level_sum;
  const float est = (iq.squared_norm + sum_s) + (half_combination(iq, s.one_bit_t1, t2) * s.g1);
  const float quant = (s.one_bit_quant * iq.step) * (0.25f * kQuantizationSlack);
  const float margin = rounding_margin(iq, s.g1, s.one_bit_t1, iq.level_sum, sum_s);
  const float lower = est - ((bound + quant) + margin);
  return std::isnan(lower) ? -kInf : lower;
}

// The query-independent f32 terms of one record's bounds (see CodeSums and
// one_bit_lower), from its integer sums and factors f, in a fixed order.
void bound_terms(CodeSums& s, const float* f, uint64_t d, unsigned ex_bits) {
  const int64_t m2 = (int64_t{2} << ex_bits) - 1;
  const int64_t di = static_cast<int64_t>(d);
  const float sum_s = f[kFAdd];
  const float g = f[kFRescale];
  s.t1 = static_cast<float>(2 * s.c - di * m2);
  s.quant = std::fabs(g) * static_cast<float>(s.a2);
  s.g1 = g * (static_cast<float>(s.u4) / static_cast<float>(s.a2));
  s.one_bit_t1 = static_cast<float>(2 * s.pc - di);
  s.one_bit_quant = std::fabs(s.g1) * static_cast<float>(d);
  s.bounded = std::isfinite(error_interval(0.0f, f, 1.0f, d).upper);
  s.one_bit_bounded = s.bounded;
  s.one_bit_error = 0.0f;
  if (d >= 2) {
    const float rho = ((static_cast<float>(d) * (s.g1 * s.g1)) / (16.0f * sum_s)) - 1.0f;
    if (!(rho > 0.0f && std::isfinite(rho))) {
      s.one_bit_bounded = false;
    } else {
      const float q = std::sqrt(rho / static_cast<float>(d - 1));
      const float p = kErrorConfidence * std::sqrt(sum_s);
      s.one_bit_error = (q * p) + (q * p);
    }
  }
}

// ---------------------------------------------------------------------------------------
// Scalar reference of the integer kernels

void one_bit_products_scalar(const IntQuery& iq, const RecordColumns& batch, int64_t* p1) {
  const uint64_t d = batch.dimension;
  const uint64_t nb = binary_code_bytes(d);
  for (uint64_t i = 0; i < batch.count; ++i) {
    const uint8_t* row = batch.binary_codes + i * nb;
    int64_t sum = 0;
    for (uint64_t j = 0; j < d; ++j) {
      if ((row[j / 8] >> (j % 8)) & 1) sum += iq.levels[j];
    }
    p1[i] = sum;
  }
}

void extended_products_scalar(const IntQuery& iq, const RecordColumns& batch, const uint64_t* rows,
                              uint64_t count, int64_t* e) {
  const uint64_t d = batch.dimension;
  const uint32_t mask = (uint32_t{1} << batch.ex_bits) - 1;
  std::vector<uint16_t> codes(d);
  for (uint64_t j = 0; j < count; ++j) {
    decode_codes(batch, rows[j], codes.data());
    int64_t sum = 0;
    for (uint64_t i = 0; i < d; ++i) sum += int64_t{codes[i] & mask} * iq.levels[i];
    e[j] = sum;
  }
}

// Records per chunk of the first stage: whole blocks, few enough that a chunk's P1 and
// bounds stay in the nearest caches until the second stage reads them, and never more
// work between two pacer steps than a block of records_per_block.
uint64_t stage_chunk(uint64_t dimension) {
  const uint64_t most = std::min<uint64_t>(records_per_block(dimension), 1024);
  return std::max<uint64_t>(most / kScanBlockRecords, 1) * kScanBlockRecords;
}

void extended_products(const IntQuery& iq, const RecordColumns& batch, const uint64_t* rows,
                       uint64_t count, int64_t* e, Kernels kernels) {
  if (batch.ex_bits == 0) {
    std::fill(e, e + count, int64_t{0});
  } else if (!vector_kernels(kernels)) {
    extended_products_scalar(iq, batch, rows, count, e);
  } else {
    int_scan_simd::extended_products(iq, batch, rows, count, e);
  }
}

// ---------------------------------------------------------------------------------------
// Arguments

void check_query_bits(unsigned query_bits) {
  if (query_bits < kMinQueryBits || query_bits > kMaxQueryBits) {
    throw QuantizerError::invalid_config("query_bits", kMustBeOneToEight);
  }
}

void check_batch(const RaBitQQuantizer& q, const RecordColumns& batch, const ScanRecords& kept) {
  const uint64_t d = q.dimension();
  if (batch.dimension != d) throw QuantizerError::dimension_mismatch(d, batch.dimension);
  if (batch.ex_bits > 7) MIVO_FAIL(extended_bits_out_of_range(batch.ex_bits));
  if (kept.count != batch.count || kept.dimension != d) MIVO_FAIL(kBatchOutputMisSized);
}

// The tables of the vector sign-bit kernel (see IntQuery::tables) from the levels: entry
// n adds the value of n's lowest set bit to the entry without it.
void fill_tables(IntQuery& r) {
  const uint64_t groups = scan_groups(r.dimension);
  const bool split = split_tables(r.query_bits);
  for (unsigned part = 0; part < (split ? 2u : 1u); ++part) {
    for (uint64_t g = 0; g < groups; ++g) {
      uint8_t* t = r.tables.data() + (part * groups + g) * 16;
      for (unsigned n = 1; n < 16; ++n) {
        const unsigned k = static_cast<unsigned>(std::countr_zero(n));
        const unsigned level = r.levels[4 * g + k];
        const unsigned value = !split ? level : part == 0 ? (level & 0xF) : (level >> 4);
        t[n] = static_cast<uint8_t>(t[n & (n - 1)] + value);
      }
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Query and records

namespace {

// The query of the rotated residual `rotated` (d values) whose residual has the squared
// norm given: quantize_query after its rotation.
IntQuery quantize_rotated(const float* rotated, uint64_t d, float squared_norm,
                          unsigned query_bits) {
  IntQuery r;
  r.dimension = d;
  r.query_bits = query_bits;
  r.rotated.assign(rotated, rotated + d);
  r.squared_norm = squared_norm;
  r.norm = std::sqrt(r.squared_norm);
  r.levels.assign(int_scan_simd::padded_levels(d), 0);
  r.tables.assign((split_tables(query_bits) ? 2 : 1) * scan_groups(d) * 16, 0);

  float lo = r.rotated[0];
  float hi = r.rotated[0];
  bool finite = true;
  for (const float v : r.rotated) {
    finite = finite && std::isfinite(v);
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  const int64_t top = max_level(query_bits);
  const float step = (hi - lo) / static_cast<float>(top);
  r.finite = finite && std::isfinite(step);
  if (!r.finite) return r;
  r.lo = lo;
  r.step = step;
  if (step == 0.0f) return r;  // every component is lo: every level 0, exactly

  for (uint64_t i = 0; i < d; ++i) {
    // nearbyint rounds half to even in the default rounding mode, which nothing here
    // changes.
    const float t = std::nearbyint((r.rotated[i] - lo) / step);
    const int64_t level = std::clamp<int64_t>(static_cast<int64_t>(t), 0, top);
    r.levels[i] = static_cast<uint16_t>(level);
    r.level_sum += level;
  }
  fill_tables(r);
  return r;
}

}  // namespace

IntQuery quantize_query(const RaBitQQuantizer& q, std::span<const float> query,
                        unsigned query_bits) {
  check_query_bits(query_bits);
  const uint64_t d = q.dimension();
  if (query.size() != d) throw QuantizerError::dimension_mismatch(d, query.size());
  std::vector<float> rotated(d);
  const float squared_norm = q.rotate_query(query, rotated);
  return quantize_rotated(rotated.data(), d, squared_norm, query_bits);
}

void code_sums(const RecordColumns& batch, std::span<CodeSums> out) {
  if (out.size() != batch.count) MIVO_FAIL(kBatchOutputMisSized);
  const uint64_t d = batch.dimension;
  const unsigned b = batch.ex_bits;
  const int64_t m2 = (int64_t{2} << b) - 1;
  std::vector<uint16_t> codes(d);
  for (uint64_t i = 0; i < batch.count; ++i) {
    decode_codes(batch, i, codes.data());
    CodeSums s;
    for (const uint16_t c : codes) {
      const int64_t centred = 2 * int64_t{c} - m2;
      s.pc += c >> b;
      s.c += c;
      s.a2 += centred < 0 ? -centred : centred;
      s.u4 += centred * centred;
    }
    bound_terms(s, batch.factors + i * kFactorCount, d, b);
    out[i] = s;
  }
}

void one_bit_stage(const IntQuery& iq, const RecordColumns& batch, const ScanRecords& kept,
                   uint64_t begin, uint64_t count, int64_t* p1, StageValue what, float* values,
                   float* widths, Kernels kernels) {
  if (begin % kScanBlockRecords != 0 || begin > batch.count || count > batch.count - begin ||
      (what == StageValue::kEstimate && batch.ex_bits != 0)) {
    MIVO_FAIL(kBatchOutputMisSized);
  }
  if (vector_kernels(kernels) && batch.dimension <= int_scan_simd::kMaxVectorDimension) {
    int_scan_simd::one_bit_stage(iq, kept, begin, count, p1, what, values, widths);
    return;
  }
  one_bit_products_scalar(iq, slice_rows(batch, begin, count), p1);
  for (uint64_t j = 0; j < count; ++j) {
    const uint64_t i = begin + j;
    const CodeSums& s = kept.sums[i];
    const float* f = batch.factors + i * kFactorCount;
    if (widths != nullptr) widths[j] = full_width(iq, s, f);
    if (what == StageValue::kNone) continue;
    if (what == StageValue::kEstimate) {
      values[j] = full_estimate(iq, s, f, 0, p1[j], 0);
    } else {
      const float lo1 = one_bit_lower(iq, s, f, p1[j]);
      values[j] = what == StageValue::kOneBitLower ? lo1 : lo1 - full_width(iq, s, f);
    }
  }
}

// ---------------------------------------------------------------------------------------
// Estimates

void integer_estimates(const RaBitQQuantizer& q, std::span<const float> query, unsigned query_bits,
                       const RecordColumns& batch, const ScanRecords& kept,
                       std::span<float> estimates, std::span<float> lower, std::span<float> upper,
                       Pacer& pacer, Kernels kernels) {
  check_batch(q, batch, kept);
  if (estimates.size() != batch.count || lower.size() != batch.count ||
      upper.size() != batch.count) {
    MIVO_FAIL(kBatchOutputMisSized);
  }
  const IntQuery iq = quantize_query(q, query, query_bits);
  const uint64_t d = batch.dimension;
  const uint64_t block = stage_chunk(d);
  std::vector<int64_t> p1(std::min(block, batch.count));
  std::vector<int64_t> e(p1.size());
  std::vector<uint64_t> ids(p1.size());
  std::vector<float> values(p1.size()), widths(p1.size());
  const bool one_bit = batch.ex_bits == 0;
  for (uint64_t begin = 0; begin < batch.count; begin += block) {
    const uint64_t count = std::min(block, batch.count - begin);
    const RecordColumns part = slice_rows(batch, begin, count);
    if (!iq.finite) {
      // The float scan's estimates and intervals, as bounds_batch forms them.
      approximate_l2_sqr_batch(q, query, part, estimates.subspan(begin, count), kernels);
      for (uint64_t i = begin; i < begin + count; ++i) {
        const Interval b =
            error_interval(estimates[i], batch.factors + i * kFactorCount, iq.norm, d);
        lower[i] = b.lower;
        upper[i] = b.upper;
      }
      pacer.step();
      continue;
    }
    // The half-widths come with P1, and so do the estimates of one-bit records; wider
    // records' estimates need their extended codes.
    one_bit_stage(iq, batch, kept, begin, count, p1.data(),
                  one_bit ? StageValue::kEstimate : StageValue::kNone, values.data(), widths.data(),
                  kernels);
    if (!one_bit) {
      for (uint64_t j = 0; j < count; ++j) ids[j] = j;
      extended_products(iq, part, ids.data(), count, e.data(), kernels);
    }
    for (uint64_t j = 0; j < count; ++j) {
      const uint64_t i = begin + j;
      const float* f = batch.factors + i * kFactorCount;
      const float width = widths[j];
      const float est =
          one_bit ? values[j] : full_estimate(iq, kept.sums[i], f, batch.ex_bits, p1[j], e[j]);
      estimates[i] = est;
      lower[i] = std::isfinite(width) ? est - width : -kInf;
      upper[i] = std::isfinite(width) ? est + width : kInf;
    }
    pacer.step();
  }
}

// ---------------------------------------------------------------------------------------
// Search

namespace {

struct IntSearchScratch {
  std::vector<int64_t> p1;
  std::vector<float> values;   // the first stage's values of a chunk
  std::vector<Ranked> scored;  // with re-ranking: (full lower bound, id) of scored records
  TopK upper;
  TopK result;
};

// One finite query: writes result_columns(k, n) entries and, with vectors, the number
// of candidates; returns the number of records fully scored.
uint64_t int_search_one(const IntQuery& iq, std::span<const float> query,
                        const RecordColumns& batch, const ScanRecords& kept, uint64_t k,
                        const float* vectors, float* distances, int64_t* ids, uint64_t* candidates,
                        IntSearchScratch& scratch, Pacer& pacer, Kernels kernels) {
  const uint64_t n = batch.count;
  const uint64_t d = batch.dimension;
  const unsigned b = batch.ex_bits;
  const uint64_t columns = result_columns(k, n);
  const bool rerank = vectors != nullptr;
  if (candidates != nullptr) *candidates = 0;
  if (columns == 0) return 0;
  const uint64_t block = stage_chunk(d);
  scratch.p1.resize(std::min(block, n));
  // Whole blocks of values, which the screening below reads.
  scratch.values.resize((scratch.p1.size() + kScanBlockRecords - 1) / kScanBlockRecords *
                        kScanBlockRecords);
  scratch.scored.clear();
  scratch.upper.reset(columns);
  scratch.result.reset(columns);
  uint64_t scored = 0;
  // What the first stage gives each record, and the selection whose k-th value is the
  // bar the record must reach: with extended codes, the least its full interval could
  // reach (the lower end of its one-bit interval against the k-th smallest full upper
  // bound, re-ranking; that, less its full half-width, against the k-th smallest full
  // estimate, not); one bit has no second stage to prune, and its estimate is P1's.
  const StageValue what = b > 0 ? (rerank ? StageValue::kOneBitLower : StageValue::kLeastEstimate)
                                : (rerank ? StageValue::kNone : StageValue::kEstimate);
  TopK& held = rerank ? scratch.upper : scratch.result;

  for (uint64_t begin = 0; begin < n; begin += block) {
    const uint64_t count = std::min(block, n - begin);
    one_bit_stage(iq, batch, kept, begin, count, scratch.p1.data(), what, scratch.values.data(),
                  nullptr, kernels);
    if (b == 0) scored += count;  // every one-bit record is scored in full
    for (uint64_t group = 0; group < count; group += kScanBlockRecords) {
      const uint64_t size = std::min(kScanBlockRecords, count - group);
      uint64_t pending = (uint64_t{2} << (size - 1)) - 1;  // the group's records
      // A record whose value exceeds the bar is skipped (one bit: cannot enter the
      // selection), and the bar never rises as records are offered: the records within
      // the bar at the group's start include all that the loop below scores, and one
      // vector pass finds them, so the loop visits only those.
      if (what != StageValue::kNone && held.size() == columns) {
        const float bar = held.worst().value;
        const float* values = scratch.values.data() + group;
        if (vector_kernels(kernels)) {
          pending &= int_scan_simd::within_bar(values, bar);
        } else {
          uint64_t within = 0;
          for (uint64_t t = 0; t < size; ++t) within |= uint64_t{!(values[t] > bar)} << t;
          pending &= within;
        }
      }
      for (; pending != 0; pending &= pending - 1) {
        const uint64_t j = group + static_cast<uint64_t>(std::countr_zero(pending));
        const uint64_t i = begin + j;
        const int64_t id = static_cast<int64_t>(i);
        if (what == StageValue::kEstimate) {
          scratch.result.offer(scratch.values[j], id);
          continue;
        }
        if (b > 0 && held.size() == columns && scratch.values[j] > held.worst().value) continue;
        const float* f = batch.factors + i * kFactorCount;
        int64_t e = 0;
        extended_products(iq, batch, &i, 1, &e, kernels);
        if (b > 0) ++scored;
        const float est = full_estimate(iq, kept.sums[i], f, b, scratch.p1[j], e);
        if (!rerank) {
          scratch.result.offer(est, id);
          continue;
        }
        const float width = full_width(iq, kept.sums[i], f);
        const bool bounded = std::isfinite(width);
        scratch.upper.offer(bounded ? est + width : kInf, id);
        scratch.scored.push_back({bounded ? est - width : -kInf, id});
      }
    }
    pacer.step();
  }

  if (rerank) {
    // As search_one: if every true distance lies in its interval, each of the exact
    // top k has a lower bound at most the k-th smallest upper bound.
    const float limit = scratch.upper.worst().value;
    uint64_t count = 0;
    for (const Ranked& r : scratch.scored) {
      if (!(r.value <= limit)) continue;
      const std::span<const float> v(vectors + static_cast<uint64_t>(r.id) * d, d);
      scratch.result.offer(squared_distance(v, query, -0.0f), r.id);
      ++count;
      pacer.step();
    }
    if (candidates != nullptr) *candidates = count;
  }
  const std::span<const Ranked> sorted = scratch.result.take_sorted();
  for (uint64_t j = 0; j < sorted.size(); ++j) {
    distances[j] = sorted[j].value;
    ids[j] = sorted[j].id;
  }
  return scored;
}

}  // namespace

void integer_search_batch(const RaBitQQuantizer& q, std::span<const float> queries, uint64_t m,
                          const RecordColumns& batch, const ScanRecords& kept, unsigned query_bits,
                          uint64_t k, const float* vectors, const SearchOutput& out, Pacer& pacer,
                          Kernels kernels, IntSearchStats* stats) {
  const uint64_t d = q.dimension();
  uint64_t expected = 0;
  if (__builtin_mul_overflow(m, d, &expected) || queries.size() != expected) {
    throw QuantizerError::dimension_mismatch(expected, queries.size());
  }
  check_batch(q, batch, kept);
  check_query_bits(query_bits);

  const uint64_t columns = result_columns(k, batch.count);
  IntSearchScratch scratch;
  // Queries are rotated a few at a time: rotating several rows at once shares the
  // matrix's loads between them, with the bits of one at a time (rotate_query's).
  constexpr uint64_t kRotatedTogether = 8;
  std::vector<float> residuals(std::min(m, kRotatedTogether) * d);
  std::vector<float> rotated(residuals.size());
  for (uint64_t row = 0; row < m; ++row) {
    const uint64_t slot = row % kRotatedTogether;
    if (slot == 0) {
      q.rotated_residuals(queries.data() + row * d, std::min(kRotatedTogether, m - row),
                          residuals.data(), rotated.data());
    }
    const std::span<const float> query = queries.subspan(row * d, d);
    float* const distances = out.distances + row * columns;
    int64_t* const ids = out.ids + row * columns;
    uint64_t* const candidates = out.candidates != nullptr ? out.candidates + row : nullptr;
    const float squared = squared_norm({residuals.data() + slot * d, d}, -0.0f);
    const IntQuery iq = quantize_rotated(rotated.data() + slot * d, d, squared, query_bits);
    if (stats != nullptr) stats->records += batch.count;
    if (!iq.finite) {
      // The float scan answers it, with the bits of scan="float".
      const SearchOutput one{distances, ids, candidates};
      search_batch(q, query, 1, batch, k, vectors, one, pacer);
      if (stats != nullptr) {
        ++stats->float_queries;
        stats->scored += batch.count;
      }
      continue;
    }
    const uint64_t scored = int_search_one(iq, query, batch, kept, k, vectors, distances, ids,
                                           candidates, scratch, pacer, kernels);
    if (stats != nullptr) stats->scored += scored;
  }
}

}  // namespace mivo
