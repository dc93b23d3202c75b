// RaBitQ quantization, extended-code search and distance estimation.
#include "rabitq.h"

#include <atomic>
#include <cstring>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "bit_codes.h"
#include "error.h"
#include "sums.h"

namespace mivo {

namespace {

constexpr float kF32Eps = 0x1p-23f;
constexpr double kF64Eps = 0x1p-52;

// Starting fraction of t_end per extended bit count; puts the first codes just
// below the optimum so the search needs few steps.
constexpr double kTightStart[9] = {0.0, 0.15, 0.20, 0.52, 0.59, 0.71, 0.75, 0.77, 0.81};

// Added to t * o before truncation: a product that is an integer in exact arithmetic
// but rounds to just below it still gets that integer as its code.
constexpr double kTruncationNudge = 1e-5;

// The search tracks den = sum of (k + 1/2)^2 = sum of k * (k + 1) + d / 4 through
// integer parts only; the quarter per dimension is its start value.
constexpr double kHalfSquared = 0.25;

// Confidence multiplier of the error bound: about two standard deviations of the
// estimate's error, as an f32 (1.89999997615814208984375).
constexpr float kErrorConfidence = 1.9f;

// Truncation toward zero to int32, saturating, with NaN giving 0.
int32_t trunc_sat(double y) {
  if (std::isnan(y)) return 0;
  if (y >= 2147483648.0) return INT32_MAX;
  if (y <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(y);
}

void check_ex_bits(unsigned b) {
  if (b < 1 || b > 7) MIVO_FAIL(extended_bits_out_of_range(b));
}

}  // namespace

namespace {

// One step of the scale search: at scale `key` the code of dimension `index` rises
// to `code`.
template <class Index>
struct Step {
  double key;
  Index index;
  int32_t code;
};

// The order in which the search visits steps: by scale, equal scales by dimension.
// Keys are never NaN, so this is a strict total order on the distinct steps.
template <class Index>
bool visited_before(const Step<Index>& a, const Step<Index>& b) {
  return a.key < b.key || (a.key == b.key && a.index < b.index);
}

// Grows v to at least n elements (never shrinks it) and returns its storage. The
// per-thread buffers below keep their size, so after the first calls a quantize
// allocates nothing but its result.
template <class T>
T* room(std::vector<T>& v, uint64_t n) {
  if (v.size() < n) v.resize(std::max<uint64_t>(n, 2 * v.size()));
  return v.data();
}

template <class Index>
struct StepBuffers {
  std::vector<Index> live;          // dimensions whose next step may lie below t_end
  std::vector<Step<Index>> listed;  // in the order they were found
  std::vector<Step<Index>> sorted;  // in visiting order
  std::vector<Index> bucket;        // bucket of each listed step
  std::vector<Index> bucket_end;
};

template <class Index>
StepBuffers<Index>& step_buffers() {
  thread_local StepBuffers<Index> buffers;
  return buffers;
}

thread_local std::vector<int32_t> t_start_codes;
thread_local std::vector<float> t_magnitudes;
thread_local std::vector<uint8_t> t_sign_bits;

// Sorts a run of steps by insertion; cheap when the run is nearly sorted.
template <class Index>
void insertion_sort(Step<Index>* first, Step<Index>* last) {
  for (Step<Index>* p = first + 1; p < last; ++p) {
    if (!visited_before(*p, p[-1])) continue;
    const Step<Index> v = *p;
    Step<Index>* q = p;
    for (; q > first && visited_before(v, q[-1]); --q) *q = q[-1];
    *q = v;
  }
}

// Below this many steps per bucket a single insertion pass over all buckets is
// cheapest; beyond it (scales crowded into a sliver of the range) each bucket is
// sorted on its own so the cost stays n log n.
constexpr uint64_t kMaxInsertionRun = 16;

// 1 - 2^-40: the margin of the skip test in best_step.
constexpr double kSkipMargin = 1.0 - 0x1p-40;

// Lists every step below t_end into buf.listed and returns their number. Steps are
// listed level by level: level j holds the j-th step of every dimension that takes
// one. A dimension takes its first step when that scale is below t_end; a further one
// only while its code is below mask. Going by levels rather than by dimensions keeps
// the loops free of data-dependent branches.
template <class Index>
uint64_t list_steps(std::span<const float> o, const int32_t* start, int32_t mask, double t_end,
                    StepBuffers<Index>& buf) {
  const uint64_t d = o.size();
  Index* live = room(buf.live, d);
  uint64_t n_live = 0;
  for (uint64_t i = 0; i < d; ++i) {
    live[n_live] = static_cast<Index>(i);
    n_live += o[i] > 0.0f;  // zero and NaN magnitudes never step
  }
  uint64_t n = 0;
  for (int32_t j = 1; n_live > 0; ++j) {
    Step<Index>* listed = room(buf.listed, n + n_live);
    uint64_t kept = 0;
    for (uint64_t a = 0; a < n_live; ++a) {
      const Index i = live[a];
      const int32_t k = start[i] + j;  // the code after this step
      const double key = static_cast<double>(k) / static_cast<double>(o[i]);
      listed[n] = {key, i, k};
      const bool steps = key < t_end;
      n += steps;
      live[kept] = i;
      kept += steps & (k < mask);
    }
    n_live = kept;
  }
  return n;
}

// Sorts each bucket of `sorted` (bucket c ends at end[c]; `crowd` is the largest
// bucket) into visiting order.
template <class Index>
void sort_buckets(Step<Index>* sorted, uint64_t n, const Index* end, uint64_t nb, Index crowd) {
  if (crowd <= kMaxInsertionRun) {
    insertion_sort(sorted, sorted + n);  // moves steps only within their bucket
    return;
  }
  Index begin = 0;
  for (uint64_t c = 0; c < nb; ++c) {
    if (end[c] - begin > kMaxInsertionRun) {
      std::sort(sorted + begin, sorted + end[c], visited_before<Index>);
    } else if (end[c] - begin > 1) {
      insertion_sort(sorted + begin, sorted + end[c]);
    }
    begin = end[c];
  }
}

// The n listed steps in visiting order, by a bucket sort over [t_start, t_end) with
// about two buckets per step. The bucket number never decreases as the key grows
// (each operation on the way is monotone), so equal keys share a bucket and the
// buckets come in visiting order. Keys are not below t_start (the starting code is at
// least t_start * o), but rounding is clamped anyway.
template <class Index>
const Step<Index>* sort_steps(StepBuffers<Index>& buf, uint64_t n, double t_start, double t_end) {
  const Step<Index>* listed = buf.listed.data();
  const uint64_t nb = 2 * n;
  const double scale = static_cast<double>(nb) / (t_end - t_start);
  const int64_t last = static_cast<int64_t>(nb - 1);
  Index* bucket = room(buf.bucket, n);
  Index* end = room(buf.bucket_end, nb);
  std::fill(end, end + nb, Index{0});
  for (uint64_t j = 0; j < n; ++j) {
    const int64_t c = static_cast<int64_t>((listed[j].key - t_start) * scale);
    bucket[j] = static_cast<Index>(std::clamp<int64_t>(c, 0, last));
    ++end[bucket[j]];
  }
  Index total = 0;
  Index crowd = 0;
  for (uint64_t c = 0; c < nb; ++c) {
    crowd = std::max(crowd, end[c]);
    total += end[c];
    end[c] = total - end[c];  // first slot of bucket c; advanced to its end below
  }
  Step<Index>* sorted = room(buf.sorted, n);
  for (uint64_t j = 0; j < n; ++j) sorted[end[bucket[j]]++] = listed[j];
  sort_buckets(sorted, n, end, nb, crowd);
  return sorted;
}

// The visit of the n sorted steps: returns the scale of the best alignment, t_start
// when none beats 0. Past the optimum most steps cannot beat the best alignment, and a
// cheap test proves it without the square root and division: with all products
// normal (the test checks the ranges) each rounding is below 2^-53 relative, so
// num * num < (best * best * m) * den with m = 1 - 2^-40 implies that num over the
// rounded sqrt(den) is below best even before rounding; the rounded ip is then at
// most best and would not have replaced it. A negative num gives a negative ip,
// which never does either. Every step not so excluded is computed as before.
template <class Index>
double best_step(const Step<Index>* sorted, uint64_t n, std::span<const float> o, double t_start,
                 double den, double num) {
  double best_t = t_start;
  double best = 0.0;
  double bar = 0.0;  // best * best * m when best is in range, else 0 (never skip)
  for (uint64_t j = 0; j < n; ++j) {
    const double k = static_cast<double>(sorted[j].code);
    den = den + (k + k);
    num = num + static_cast<double>(o[sorted[j].index]);
    const double nn = num * num;
    const double limit = bar * den;
    if (nn < limit && nn >= 0x1p-1000 && limit <= 0x1p1000) continue;
    const double ip = num / std::sqrt(den);
    if (ip > best) {
      best = ip;
      best_t = sorted[j].key;
      bar = (best >= 0x1p-400 && best <= 0x1p400) ? (best * best) * kSkipMargin : 0.0;
    }
  }
  return best_t;
}

// The search proper: pops every step below t_end in visiting order and keeps the
// scale of the best alignment. A priority queue would hold one pending step per
// dimension; since a dimension's scales (code + 1) / o rise with its code, the pop
// order is simply the sorted list of all steps, which a bucket sort on the scale
// produces far more cheaply. Steps at or above t_end would be popped and dropped
// without effect, so they are never listed. den and num see exactly the updates,
// in exactly the order, of the queue-driven loop.
template <class Index>
double visit_steps(std::span<const float> o, const int32_t* start, int32_t mask, double t_start,
                   double t_end, double den, double num) {
  StepBuffers<Index>& buf = step_buffers<Index>();
  const uint64_t n = list_steps(o, start, mask, t_end, buf);
  if (n == 0) return t_start;
  return best_step(sort_steps(buf, n, t_start, t_end), n, o, t_start, den, num);
}

// Extended codes of s into k (s.size() values), before the sign bits are added.
void extended_codes(std::span<const float> s, unsigned b, uint16_t* k) {
  const int32_t mask = (int32_t{1} << b) - 1;
  const uint64_t d = s.size();
  float* o = room(t_magnitudes, d);
  for (uint64_t i = 0; i < d; ++i) o[i] = std::fabs(s[i]);
  const float norm = std::sqrt(squared_norm(std::span<const float>(o, d), -0.0f));
  if (norm <= kF32Eps) {
    std::fill(k, k + d, uint16_t{0});
    return;
  }
  for (uint64_t i = 0; i < d; ++i) o[i] = o[i] / norm;

  const double t = best_rescale_factor(std::span<const float>(o, d), b);
  for (uint64_t i = 0; i < d; ++i) {
    int32_t c = trunc_sat(t * static_cast<double>(o[i]) + kTruncationNudge);
    if (c >= mask) c = mask;
    if (s[i] < 0.0f) c = mask - c;  // complement so the combined code grows with s[i]
    k[i] = static_cast<uint16_t>(c);
  }
}

}  // namespace

double best_rescale_factor(std::span<const float> o, unsigned b) {
  check_ex_bits(b);
  const int32_t mask = (int32_t{1} << b) - 1;
  const uint64_t d = o.size();

  float max_o = 0.0f;
  for (const float v : o) {
    if (v > max_o) max_o = v;  // NaN never compares greater
  }
  if (max_o <= kF64Eps) return 1.0;

  const double t_end = static_cast<double>(mask + 10) / static_cast<double>(max_o);
  const double t_start = kTightStart[b < 8 ? b : 8] * t_end;

  // den and num are updated incrementally, never recomputed, so their rounding
  // history (and with it the chosen t) is fixed.
  int32_t* k = room(t_start_codes, d);
  double den = static_cast<double>(d) * kHalfSquared;
  double num = 0.0;
  for (uint64_t i = 0; i < d; ++i) {
    k[i] = trunc_sat(t_start * static_cast<double>(o[i]) + kTruncationNudge);
    // A negative magnitude (never produced by quantize) can start far below zero;
    // the product is taken in 64 bits so that it cannot overflow.
    den = den + static_cast<double>(int64_t{k[i]} * (int64_t{k[i]} + 1));
    num = num + (static_cast<double>(k[i]) + 0.5) * static_cast<double>(o[i]);
  }

  // 32-bit dimension numbers keep a step in 16 bytes. They also count steps and
  // buckets, at most mask * d and twice that, hence the margin of 2^8.
  const double best_t = d <= (std::numeric_limits<uint32_t>::max() >> 8)
                            ? visit_steps<uint32_t>(o, k, mask, t_start, t_end, den, num)
                            : visit_steps<uint64_t>(o, k, mask, t_start, t_end, den, num);
  if (best_t > 0.0) return best_t;
  return std::max(t_start, kF64Eps);
}

std::vector<uint16_t> quantize_extended(std::span<const float> s, unsigned b) {
  check_ex_bits(b);
  std::vector<uint16_t> k(s.size());
  extended_codes(s, b, k.data());
  return k;
}

namespace {

// Sets the sign bits of s into bits (one per byte) and puts each above the extended
// code already in codes: codes[i] = (bit << b) + codes[i]. Plain pointers that share
// no storage: byte stores may alias anything, and through vectors every store would
// force the loop to reload their data pointers; so known apart, the loop vectorises.
void add_sign_bits(std::span<const float> s, unsigned b, uint8_t* __restrict bits,
                   uint16_t* __restrict codes) {
  const float* __restrict const sp = s.data();
  for (uint64_t i = 0; i < s.size(); ++i) {
    const uint8_t bit = sp[i] >= 0.0f ? 1 : 0;  // -0.0 counts as >= 0
    bits[i] = bit;
    codes[i] = static_cast<uint16_t>((bit << b) + codes[i]);
  }
}

// The error bound from S = |s|^2, U = |u|^2 and W (the alignment s . u, or infinity
// when it vanishes); 0 for a single dimension or a correlation that leaves no spread.
float error_bound(float sum_s, float sum_u, float w, uint64_t d) {
  if (d < 2) return 0.0f;
  const float us = sum_u * sum_s;
  const float ww = w * w;
  const float rho = (us / ww) - 1.0f;
  if (!(rho > 0.0f && std::isfinite(rho))) return 0.0f;
  float g = rho / static_cast<float>(d - 1);
  g = std::max(g, 0.0f);
  const float q = std::sqrt(g);
  const float p = kErrorConfidence * std::sqrt(sum_s);
  return (q * p) + (q * p);
}

}  // namespace

void quantized_codes(std::span<const float> s, unsigned ex_bits, uint16_t* codes,
                     uint8_t* sign_bits) {
  if (ex_bits >= 1) {
    extended_codes(s, ex_bits, codes);
  } else {
    std::fill(codes, codes + s.size(), uint16_t{0});
  }
  add_sign_bits(s, ex_bits, sign_bits, codes);
}

// One pass runs all three sums, so that their chains of additions overlap.
RecordSums record_sums(std::span<const float> s, std::span<const uint16_t> codes, float centre) {
  RecordSums sums;
  for (uint64_t i = 0; i < s.size(); ++i) {
    sums.s = add_square(sums.s, s[i]);
    sums.u = add_square(sums.u, centred_code(codes[i], centre));
    sums.v = add_centred_product(sums.v, codes[i], centre, s[i]);
  }
  return sums;
}

void record_factors(const RecordSums& sums, float centre, uint64_t dimension, float* factors) {
  const float w = (std::fabs(sums.v) > kF32Eps || std::isnan(sums.v))
                      ? sums.v
                      : std::numeric_limits<float>::infinity();
  factors[kFAdd] = sums.s;
  factors[kResidualNorm] = std::sqrt(sums.s);
  factors[kFRescale] = (-2.0f * sums.s) / w;
  factors[kFError] = error_bound(sums.s, sums.u, w, dimension);

  const float nu = std::sqrt(sums.u);
  const float ns = std::sqrt(sums.s);
  float den = nu * ns;
  if (!(den > kF32Eps)) den = kF32Eps;  // also replaces a NaN product
  float cosv = sums.v / den;
  if (-1.0f > cosv) cosv = -1.0f;
  if (1.0f < cosv) cosv = 1.0f;
  const float delta = (nu > kF32Eps || std::isnan(nu)) ? (ns / nu) * cosv : 0.0f;
  factors[kDelta] = delta;
  factors[kVl] = delta * (-centre);
}

void set_factors(QuantizedVector& r, const float* factors) {
  r.delta = factors[kDelta];
  r.vl = factors[kVl];
  r.f_add = factors[kFAdd];
  r.f_rescale = factors[kFRescale];
  r.f_error = factors[kFError];
  r.residual_norm = factors[kResidualNorm];
}

void get_factors(const QuantizedVector& r, float* factors) {
  factors[kDelta] = r.delta;
  factors[kVl] = r.vl;
  factors[kFAdd] = r.f_add;
  factors[kFRescale] = r.f_rescale;
  factors[kFError] = r.f_error;
  factors[kResidualNorm] = r.residual_norm;
}

QuantizedVector quantize_rotated(std::span<const float> s, unsigned total_bits) {
  if (total_bits < 1 || total_bits > 8) {
    MIVO_FAIL(total_bits_out_of_range(total_bits));
  }
  const uint64_t d = s.size();
  const unsigned b = total_bits - 1;

  QuantizedVector r;
  r.dimension = d;
  r.ex_bits = static_cast<uint8_t>(b);
  r.codes.resize(d);
  uint8_t* const bits = room(t_sign_bits, d);
  quantized_codes(s, b, r.codes.data(), bits);

  const float m = multibit_centre(total_bits);  // 2^b - 0.5, the middle of the codes
  float f[kFactorCount];
  record_factors(record_sums(s, r.codes, m), m, d, f);
  set_factors(r, f);

  r.binary_codes.resize(packed_size(d));
  try {
    pack_bits(std::span<const uint8_t>(bits, d), r.binary_codes);
  } catch (const QuantizerError& e) {
    MIVO_FAIL(sign_buffer_too_small(e.message()));
  }
  if (b >= 1) {
    r.extended_codes.assign(packed_size(d * b), 0);
    pack_bit_stream(r.codes, b, r.extended_codes.data());
  }
  return r;
}

namespace {

// Quantizer ids are never reused, so a cache entry can never be mistaken for
// another quantizer's, even one built later at the same address.
std::atomic<uint64_t> g_next_quantizer_id{1};

// The last query this thread estimated with: its bytes, its rotated residual and
// the squared norm of its residual. A one-entry cache per thread needs no lock, and
// comparing the whole query makes a hit give exactly the bits of a fresh rotation.
struct QueryCache {
  uint64_t quantizer = 0;
  uint64_t generation = 0;
  std::vector<float> query;
  std::vector<float> rotated;
  float norm = 0.0f;
};
thread_local QueryCache t_query_cache;

bool same_bits(std::span<const float> a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

uint64_t validated_dimension(uint64_t dimension, uint64_t total_bits) {
  if (dimension == 0) throw QuantizerError::invalid_config("dimension", kMustBePositive);
  if (total_bits < 1 || total_bits > 8) {
    throw QuantizerError::invalid_config("total_bits", kMustBeOneToEight);
  }
  return dimension;
}

}  // namespace

RaBitQQuantizer::RaBitQQuantizer(uint64_t dimension, uint64_t seed, uint64_t total_bits)
    : dimension_(validated_dimension(dimension, total_bits)),
      total_bits_(total_bits),
      rotation_(Rotation::generate(dimension, seed)),
      id_(g_next_quantizer_id.fetch_add(1, std::memory_order_relaxed)) {}

void RaBitQQuantizer::fit(std::span<const float> flat, uint64_t n) {
  const uint64_t d = dimension_;
  uint64_t total = 0;
  if (__builtin_mul_overflow(n, d, &total)) {
    throw QuantizerError::invalid_config("num_vectors", kCountTimesDimensionOverflows);
  }
  if (flat.size() != total) throw QuantizerError::dimension_mismatch(total, flat.size());
  // The mean of no rows is 0/0 in every component: a NaN centroid would make every later
  // record and estimate NaN, so an empty fit is refused and the centroid stays.
  if (n == 0) throw QuantizerError::invalid_config("num_vectors", kMustBePositive);

  // Each addition puts the row's value first: with NaNs in a column, the centroid
  // keeps the payload that this order has always kept.
  std::vector<float> mean(d);
  column_means(flat.data(), n, d, SumOrder::kRowFirst, mean.data());
  centroid_ = std::move(mean);
  has_centroid_ = true;
  ++generation_;
}

void RaBitQQuantizer::set_centroid(std::span<const float> c) {
  if (c.size() != dimension_) throw QuantizerError::dimension_mismatch(dimension_, c.size());
  centroid_.assign(c.begin(), c.end());
  has_centroid_ = true;
  ++generation_;
}

void RaBitQQuantizer::residual(std::span<const float> x, std::span<float> r) const {
  for (uint64_t i = 0; i < dimension_; ++i) r[i] = has_centroid_ ? x[i] - centroid_[i] : x[i];
}

void RaBitQQuantizer::rotated_residual(std::span<const float> x, std::span<float> r,
                                       std::span<float> s) const {
  rotated_residuals(x.data(), 1, r.data(), s.data());
}

void RaBitQQuantizer::rotated_residuals(const float* x, uint64_t n, float* r, float* s) const {
  const uint64_t d = dimension_;
  for (uint64_t v = 0; v < n; ++v) {
    residual(std::span<const float>(x + v * d, d), std::span<float>(r + v * d, d));
  }
  rotation_.rotate_rows(r, n, s);
}

QuantizedVector RaBitQQuantizer::quantize(std::span<const float> x) const {
  if (x.size() != dimension_) throw QuantizerError::dimension_mismatch(dimension_, x.size());
  std::vector<float> r(dimension_);
  std::vector<float> s(dimension_);
  rotated_residual(x, r, s);
  return quantize_rotated(s, static_cast<unsigned>(total_bits_));
}

float RaBitQQuantizer::approximate_l2_sqr(std::span<const float> q,
                                          const QuantizedVector& rec) const {
  const uint64_t d = dimension_;
  if (q.size() != d) throw QuantizerError::dimension_mismatch(d, q.size());
  if (rec.dimension != d) throw QuantizerError::dimension_mismatch(d, rec.dimension);
  if (rec.codes.size() < d) {
    const std::string len = std::to_string(rec.codes.size());
    MIVO_FAIL(index_out_of_bounds(len));
  }

  // A caller comparing one query with many records pays the rotation once.
  QueryCache& cache = t_query_cache;
  if (cache.quantizer != id_ || cache.generation != generation_ || !same_bits(q, cache.query)) {
    cache.quantizer = 0;  // invalid until every field below is written
    cache.rotated.resize(d);
    cache.norm = rotate_query(q, cache.rotated);
    cache.query.assign(q.begin(), q.end());
    cache.generation = generation_;
    cache.quantizer = id_;
  }
  const float* y = cache.rotated.data();

  // The combined codes have ex_bits + 1 bits. The sum starts from +0.0, unlike its
  // neighbours: the sign of a zero ip cannot reach the clamped estimate, and +0.0 is
  // how the estimate has always summed, whereas the stand-alone multi-bit kernel
  // returns its sum unclamped and must give -0.0 for an empty or all -0.0 sum.
  const float m = multibit_centre(uint64_t{rec.ex_bits} + 1);
  const float ip = centred_inner_product(std::span<const float>(y, d),
                                         std::span<const uint16_t>(rec.codes.data(), d), m, 0.0f);
  return clamped_estimate(ip, cache.norm, rec.f_add, rec.f_rescale);
}

float RaBitQQuantizer::rotate_query(std::span<const float> q, std::span<float> rotated) const {
  std::vector<float> r(dimension_);
  rotated_residual(q, r, rotated);
  return squared_norm(r, -0.0f);
}

float RaBitQQuantizer::approximate_distance(std::span<const float> q,
                                            const QuantizedVector& rec) const {
  return std::sqrt(approximate_l2_sqr(q, rec));
}

}  // namespace mivo
