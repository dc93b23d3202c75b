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

// The least and greatest E = sum k_i q_i over extended codes k_i in 0 .. kmax = 2^ex_bits
// - 1 whose sum is the record's K = top * kmax + rest: K put on the smallest levels (kmax
// on each of the `top` smallest, rest on the next), or likewise on the largest. No other
// codes of that sum reach further either way: moving a unit of code from one level to a
// smaller one never raises E.
int64_t least_reach(const IntQuery& iq, const CodeSums& s, int64_t kmax) {
  const uint64_t t = static_cast<uint64_t>(s.top);
  const int64_t next = t < iq.dimension ? iq.smallest[t + 1] - iq.smallest[t] : 0;
  return kmax * iq.smallest[t] + s.rest * next;
}

int64_t greatest_reach(const IntQuery& iq, const CodeSums& s, int64_t kmax) {
  const uint64_t rest_at = iq.dimension - static_cast<uint64_t>(s.top);  // below the top ones
  const int64_t next = rest_at > 0 ? iq.smallest[rest_at] - iq.smallest[rest_at - 1] : 0;
  return kmax * (iq.level_sum - iq.smallest[rest_at]) + s.rest * next;
}

// Whether every f32 step of the full estimate is monotone in E for every record of this
// query and width (see least_estimate): lo * T1 and step * T2 are bounded, over every
// record, by |lo| d m2 and step d m2 qmax, and when they and their sum stay well below
// the largest float (and Q is finite) no step meets an infinity, so none makes a NaN.
bool steps_stay_finite(const IntQuery& iq, unsigned ex_bits) {
  const double m2d =
      static_cast<double>((int64_t{2} << ex_bits) - 1) * static_cast<double>(iq.dimension);
  const double reach = std::fabs(double{iq.lo}) * m2d +
                       double{iq.step} * m2d * static_cast<double>(max_level(iq.query_bits));
  return std::isfinite(iq.squared_norm) && reach < 0x1p120;
}

// The least full estimate of a bounded record over every extended code of its kept sum
// K, given its P1. The estimate is a chain of f32 steps from E: the integer T2 (rising
// with E) to f32, times step (>= 0), plus lo T1, times 0.5, times g, plus Q + S, then
// clamped at 0. Each is monotone, as rounding to nearest is, and with finite values (see
// steps_stay_finite) none makes a NaN: the chain rises with E where g >= 0 and falls
// where g < 0, and its least value is the estimate at one end of E's reach, with no
// margin. -inf for a record that is not bounded.
float least_estimate(const IntQuery& iq, const CodeSums& s, const float* f, unsigned ex_bits,
                     int64_t p1) {
  if (!s.bounded) return -kInf;
  const int64_t kmax = (int64_t{1} << ex_bits) - 1;
  const int64_t e = f[kFRescale] < 0.0f ? greatest_reach(iq, s, kmax) : least_reach(iq, s, kmax);
  return full_estimate(iq, s, f, ex_bits, p1, e);
}

// The query-independent f32 terms of one record's bounds (see CodeSums), from its
// integer sums and factors f, in a fixed order.
void bound_terms(CodeSums& s, const float* f, uint64_t d, unsigned ex_bits) {
  const int64_t m2 = (int64_t{2} << ex_bits) - 1;
  const int64_t di = static_cast<int64_t>(d);
  s.t1 = static_cast<float>(2 * s.c - di * m2);
  s.quant = std::fabs(f[kFRescale]) * static_cast<float>(s.a2);
  s.bounded = std::isfinite(error_interval(0.0f, f, 1.0f, d).upper);
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

// IntQuery::smallest and gathered from the levels, sorted by counting (levels are
// below 2^8).
void fill_smallest(IntQuery& r) {
  uint64_t counts[256] = {};
  for (uint64_t i = 0; i < r.dimension; ++i) ++counts[r.levels[i]];
  uint64_t j = 0;
  for (unsigned level = 0; level < 256; ++level) {
    for (uint64_t n = 0; n < counts[level]; ++n, ++j) r.smallest[j + 1] = r.smallest[j] + level;
  }
  if (r.gathered.empty()) return;
  for (uint64_t i = 0; i <= r.dimension; ++i) {
    r.gathered[i + 1] = static_cast<int32_t>(r.smallest[i]);
  }
  r.gathered[r.dimension + 2] = static_cast<int32_t>(r.level_sum);
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
  r.smallest.assign(d + 1, 0);
  if (d <= kMaxGatheredDimension) r.gathered.assign(d + 3, 0);
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
  fill_smallest(r);
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
    }
    if (b > 0) {
      const int64_t kmax = (int64_t{1} << b) - 1;
      const int64_t ext_sum = s.c - (s.pc << b);
      s.top = ext_sum / kmax;
      s.rest = static_cast<int32_t>(ext_sum % kmax);
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
  const bool least = what == StageValue::kLeastEstimate || what == StageValue::kLeastLower;
  if (vector_kernels(kernels) && batch.dimension <= int_scan_simd::kMaxVectorDimension &&
      (!least || batch.dimension <= kMaxGatheredDimension)) {
    int_scan_simd::one_bit_stage(iq, kept, begin, count, p1, what, batch.ex_bits, values, widths);
    return;
  }
  one_bit_products_scalar(iq, slice_rows(batch, begin, count), p1);
  for (uint64_t j = 0; j < count; ++j) {
    const uint64_t i = begin + j;
    const CodeSums& s = kept.sums[i];
    const float* f = batch.factors + i * kFactorCount;
    if (widths != nullptr) widths[j] = full_width(iq, s, f);
    if (what == StageValue::kEstimate) {
      values[j] = full_estimate(iq, s, f, 0, p1[j], 0);
    } else if (what != StageValue::kNone) {
      const float least = least_estimate(iq, s, f, batch.ex_bits, p1[j]);
      values[j] = what == StageValue::kLeastEstimate ? least : least - full_width(iq, s, f);
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
  // A chunk's values, in whole blocks (the screening reads blocks): the estimates of
  // one-bit records, the least values of wider ones.
  std::vector<float> values;
  std::vector<float> widths;   // with re-ranking: a chunk's half-widths
  std::vector<uint64_t> rows;  // a block's records to score in full
  std::vector<int64_t> e;      // their extended products
  std::vector<Ranked> scored;  // with re-ranking: (full lower bound, id) of scored records
  TopK upper;
  TopK result;
};

// One finite query's search over the batch: what it reads and what it holds.
struct QueryScan {
  const IntQuery& iq;
  const RecordColumns& batch;
  const ScanRecords& kept;
  bool rerank;
  // Records of two or more bits are screened by their least values (see least_estimate).
  bool screened;
  uint64_t columns;  // result_columns(k, n): the size of the selections
  Kernels kernels;
  IntSearchScratch& scratch;
  uint64_t scored = 0;  // records fully scored
  // The selection whose k-th value is the bar a record's value must reach: the full
  // upper bounds when re-ranking, the estimates when not.
  TopK& held() { return rerank ? scratch.upper : scratch.result; }
};

// The first stage of the records begin .. begin + count: P1, the half-widths when
// re-ranking, and each record's value: a one-bit record's estimate (not re-ranking), a
// wider one's least estimate, less its half-width when re-ranking, or -inf where the
// query's steps could meet an infinity (then nothing is skipped).
void first_stage(QueryScan& c, uint64_t begin, uint64_t count) {
  IntSearchScratch& s = c.scratch;
  const unsigned b = c.batch.ex_bits;
  StageValue what = c.rerank ? StageValue::kLeastLower : StageValue::kLeastEstimate;
  if (b == 0) what = c.rerank ? StageValue::kNone : StageValue::kEstimate;
  if (b > 0 && !c.screened) what = StageValue::kNone;
  one_bit_stage(c.iq, c.batch, c.kept, begin, count, s.p1.data(), what, s.values.data(),
                c.rerank ? s.widths.data() : nullptr, c.kernels);
  if (b > 0 && !c.screened) std::fill(s.values.begin(), s.values.begin() + count, -kInf);
}

// Bit t set where record group + t (of the chunk's `size` there) may still enter the
// selection: every record while the selection is not full, then those whose value is
// not above the bar. The bar never rises as records are offered, so the records within
// it now include every one a later bar would keep.
uint64_t within_bar(QueryScan& c, uint64_t group, uint64_t size) {
  const uint64_t all = (uint64_t{2} << (size - 1)) - 1;
  const bool valued = c.batch.ex_bits > 0 || !c.rerank;
  if (!valued || c.held().size() < c.columns) return all;
  const float bar = c.held().worst().value;
  const float* values = c.scratch.values.data() + group;
  if (vector_kernels(c.kernels)) return all & int_scan_simd::within_bar(values, bar);
  uint64_t within = 0;
  for (uint64_t t = 0; t < size; ++t) within |= uint64_t{!(values[t] > bar)} << t;
  return within;
}

// Scores in full the records of the chunk at begin whose bits are set in `pending`
// (offsets from group), their extended products in one call of the batched kernel, and
// offers them to the selections.
void score_block(QueryScan& c, uint64_t begin, uint64_t group, uint64_t pending) {
  IntSearchScratch& s = c.scratch;
  const unsigned b = c.batch.ex_bits;
  s.rows.clear();
  for (; pending != 0; pending &= pending - 1) {
    s.rows.push_back(begin + group + static_cast<uint64_t>(std::countr_zero(pending)));
  }
  const uint64_t n = s.rows.size();
  if (b == 0 && !c.rerank) {
    for (const uint64_t i : s.rows) s.result.offer(s.values[i - begin], static_cast<int64_t>(i));
    return;
  }
  extended_products(c.iq, c.batch, s.rows.data(), n, s.e.data(), c.kernels);
  if (b > 0) c.scored += n;
  for (uint64_t r = 0; r < n; ++r) {
    const uint64_t i = s.rows[r];
    const int64_t id = static_cast<int64_t>(i);
    const float* f = c.batch.factors + i * kFactorCount;
    const float est = full_estimate(c.iq, c.kept.sums[i], f, b, s.p1[i - begin], s.e[r]);
    if (!c.rerank) {
      s.result.offer(est, id);
      continue;
    }
    const float width = s.widths[i - begin];
    const bool bounded = std::isfinite(width);
    s.upper.offer(bounded ? est + width : kInf, id);
    s.scored.push_back({bounded ? est - width : -kInf, id});
  }
}

// One finite query: writes result_columns(k, n) entries and, with vectors, the number
// of candidates; returns the number of records fully scored.
uint64_t int_search_one(const IntQuery& iq, std::span<const float> query,
                        const RecordColumns& batch, const ScanRecords& kept, uint64_t k,
                        const float* vectors, float* distances, int64_t* ids, uint64_t* candidates,
                        IntSearchScratch& scratch, Pacer& pacer, Kernels kernels) {
  const uint64_t n = batch.count;
  const uint64_t columns = result_columns(k, n);
  if (candidates != nullptr) *candidates = 0;
  if (columns == 0) return 0;
  const uint64_t block = stage_chunk(batch.dimension);
  const uint64_t chunk = std::min(block, n);
  scratch.p1.resize(chunk);
  scratch.values.resize((chunk + kScanBlockRecords - 1) / kScanBlockRecords * kScanBlockRecords);
  scratch.widths.resize(chunk);
  scratch.e.resize(kScanBlockRecords);
  scratch.scored.clear();
  scratch.upper.reset(columns);
  scratch.result.reset(columns);
  QueryScan c{iq,      batch,   kept,   vectors != nullptr, steps_stay_finite(iq, batch.ex_bits),
              columns, kernels, scratch};
  for (uint64_t begin = 0; begin < n; begin += block) {
    const uint64_t count = std::min(block, n - begin);
    first_stage(c, begin, count);
    if (batch.ex_bits == 0) c.scored += count;  // every one-bit record is scored in full
    for (uint64_t group = 0; group < count; group += kScanBlockRecords) {
      const uint64_t size = std::min(kScanBlockRecords, count - group);
      score_block(c, begin, group, within_bar(c, group, size));
    }
    pacer.step();
  }
  if (c.rerank) {
    // As search_one: if every true distance lies in its interval, each of the exact
    // top k has a lower bound at most the k-th smallest upper bound.
    const float limit = scratch.upper.worst().value;
    uint64_t count = 0;
    const uint64_t d = batch.dimension;
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
  return c.scored;
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
