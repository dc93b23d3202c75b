// Ternary quantizer: packing, fitting and the similarity measures, all bit-reproducible in single precision.
#include "ternary.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "error.h"
#include "sums.h"

namespace mivo {
namespace {

// Below (or, when normalising, not above) this a norm counts as zero. Spelled as a literal but
// pinned to its bits so a different parse could never slip in unnoticed.
constexpr float kNormEpsilon = 1e-10f;
static_assert(std::bit_cast<uint32_t>(kNormEpsilon) == 0x2EDBE6FFu);

constexpr uint8_t kCodePositive = 0x1;
constexpr uint8_t kCodeNegative = 0x2;

// Per-byte decode tables, filled from code_value so there stays exactly one mapping.
constexpr std::array<std::array<int8_t, 4>, 256> make_value_table() {
  std::array<std::array<int8_t, 4>, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    for (unsigned field = 0; field < 4; ++field) {
      table[byte][field] = code_value(static_cast<uint8_t>(byte >> (2 * field)));
    }
  }
  return table;
}
constexpr auto kValueTable = make_value_table();

constexpr std::array<std::array<float, 4>, 256> make_weight_table() {
  std::array<std::array<float, 4>, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    for (unsigned field = 0; field < 4; ++field) {
      table[byte][field] = static_cast<float>(kValueTable[byte][field]);
    }
  }
  return table;
}
constexpr auto kWeightTable = make_weight_table();

// Bytes of the packed codes of `dimension` two-bit values: ceil(dimension / 4).
uint64_t ternary_code_bytes(uint64_t dimension) {
  return dimension / 4 + (dimension % 4 != 0 ? 1 : 0);
}

// Starts from -0.0 so that an empty vector has norm -0.0; strictly in index order.
float l2_norm(std::span<const float> x) { return std::sqrt(squared_norm(x, -0.0f)); }

float count_norm(const TernaryVector& v) {
  return std::sqrt(static_cast<float>(v.num_positive + v.num_negative));
}

// Truncates toward zero; NaN and negatives give 0, 2^64 and above give the maximum.
uint64_t saturating_to_u64(float value) {
  if (!(value > 0.0f)) return 0;
  if (value >= 0x1p64f) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(value);
}

float float_from_order_key(uint32_t key) {
  const uint32_t bits = (key & 0x80000000u) != 0 ? (key ^ 0x80000000u) : ~key;
  return std::bit_cast<float>(bits);
}

void require_packed_codes(const TernaryVector& v) {
  if (v.data.size() < ternary_code_bytes(v.dimension)) {
    MIVO_FAIL(kTernaryCodesTooShort);
  }
}

}  // namespace

int8_t TernaryVector::get(uint64_t idx) const {
  if (idx >= dimension || idx / 4 >= data.size()) {
    MIVO_FAIL(kTernaryIndexPastEnd);
  }
  return code_value(static_cast<uint8_t>(data[idx / 4] >> (2 * (idx % 4))));
}

std::vector<int8_t> TernaryVector::to_list() const {
  require_packed_codes(*this);
  std::vector<int8_t> values(dimension);
  for (uint64_t i = 0; i < dimension; ++i) {
    values[i] = code_value(static_cast<uint8_t>(data[i / 4] >> (2 * (i % 4))));
  }
  return values;
}

float TernaryVector::sparsity() const {
  // The counts are added as integers and converted once, so 4 of 5 gives 0.19999998807907104.
  const float nonzero = static_cast<float>(num_positive + num_negative);
  return 1.0f - nonzero / static_cast<float>(dimension);
}

uint64_t TernaryVector::memory_bytes() const { return data.size(); }

uint32_t float_order_key(float value) {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  // Negatives are flipped entirely so that larger magnitudes sort first; positives only gain the top bit.
  return (bits & 0x80000000u) != 0 ? ~bits : (bits | 0x80000000u);
}

std::pair<uint64_t, uint64_t> ternary_quantile_ranks(float target_sparsity, uint64_t n) {
  if (n == 0) MIVO_FAIL(kRanksOfEmptyColumn);
  // Every step rounds to single precision on purpose: s = 0.6, n = 10 must give lo = 1, not 2.
  const float outer = (1.0f - target_sparsity) * 0.5f;
  const float count = static_cast<float>(n);
  const float lo_rank = outer * count;
  const float hi_rank = (1.0f - outer) * count;
  const uint64_t last = n - 1;
  return {std::min(saturating_to_u64(lo_rank), last), std::min(saturating_to_u64(hi_rank), last)};
}

TernaryQuantizer::TernaryQuantizer(uint64_t dimension, float threshold_high, float threshold_low,
                                   bool normalize, std::optional<float> target_sparsity)
    : dimension_(dimension),
      threshold_high_(threshold_high),
      threshold_low_(threshold_low),
      normalize_(normalize),
      target_sparsity_(target_sparsity) {}

namespace {

// The pair of values that a full totalOrder sort of `keys` would put at ranks lo and
// hi. Selecting on totalOrder keys yields exactly those values, signed zeros and NaNs
// included; keys is reordered.
ThresholdPair ranked_pair(std::vector<uint32_t>& keys, uint64_t lo, uint64_t hi) {
  std::nth_element(keys.begin(), keys.begin() + lo, keys.end());
  const uint32_t lo_key = keys[lo];
  if (hi > lo) {
    std::nth_element(keys.begin() + lo + 1, keys.begin() + hi, keys.end());
  } else if (hi < lo) {
    std::nth_element(keys.begin(), keys.begin() + hi, keys.begin() + lo);
  }
  return ThresholdPair{float_from_order_key(lo_key), float_from_order_key(keys[hi])};
}

// Per-dimension thresholds at the quantile ranks of target_sparsity, over the n rows
// of flat centred on mean.
std::vector<ThresholdPair> quantile_thresholds(std::span<const float> flat, uint64_t n,
                                               const std::vector<float>& mean,
                                               float target_sparsity) {
  const uint64_t dims = mean.size();
  std::vector<ThresholdPair> pairs(dims);
  // Without dimensions there is no column to select from: a count that no data backs
  // (any n fits zero floats) must not size the key buffer.
  if (n == 0 || dims == 0) return pairs;
  const auto [lo, hi] = ternary_quantile_ranks(target_sparsity, n);
  std::vector<uint32_t> keys(n);
  for (uint64_t d = 0; d < dims; ++d) {
    for (uint64_t j = 0; j < n; ++j) keys[j] = float_order_key(flat[j * dims + d] - mean[d]);
    pairs[d] = ranked_pair(keys, lo, hi);
  }
  return pairs;
}

}  // namespace

void TernaryQuantizer::fit(std::span<const float> flat, uint64_t n) {
  uint64_t expected = 0;
  if (__builtin_mul_overflow(n, dimension_, &expected)) {
    throw QuantizerError::invalid_config("num_vectors", kCountTimesDimensionOverflows);
  }
  if (flat.size() != expected) throw QuantizerError::dimension_mismatch(expected, flat.size());
  // No rows give a mean of 0/0 (NaN) in every component and no value to select a
  // threshold from: refused, so the previous fit stays. Without dimensions there is
  // nothing to learn, and an empty fit succeeds.
  if (n == 0 && dimension_ > 0) {
    throw QuantizerError::invalid_config("num_vectors", target_sparsity_.has_value()
                                                            ? kPositiveWithTargetSparsity
                                                            : kMustBePositive);
  }

  // Everything is built in locals and committed by non-throwing moves at the end, so a failure
  // anywhere (allocation included) leaves the previous fit in force; the mean's size is
  // checked before anything is allocated.
  require_allocatable(dimension_, sizeof(float));
  std::vector<float> mean(dimension_);
  // Each addition puts the running sum first: with NaNs in a column, the mean keeps the
  // payload that this order has always kept.
  column_means(flat.data(), n, dimension_, SumOrder::kSumFirst, mean.data());

  std::optional<std::vector<ThresholdPair>> thresholds;
  if (target_sparsity_.has_value()) {
    thresholds = quantile_thresholds(flat, n, mean, *target_sparsity_);
  }
  mean_ = std::move(mean);
  if (thresholds.has_value()) fitted_thresholds_ = std::move(thresholds);
}

TernaryVector TernaryQuantizer::quantize(std::span<const float> x) const {
  if (x.size() != dimension_) throw QuantizerError::dimension_mismatch(dimension_, x.size());
  const uint64_t length = x.size();

  std::vector<float> v(x.begin(), x.end());
  if (mean_.has_value()) {
    const std::vector<float>& mean = *mean_;
    for (uint64_t i = 0; i < length; ++i) v[i] = x[i] - mean[i];
  }
  if (normalize_) {
    const float norm = l2_norm(v);
    // A true division per component: multiplying by 1/norm would round differently.
    if (norm > kNormEpsilon) {
      for (uint64_t i = 0; i < length; ++i) v[i] = v[i] / norm;
    }
  }

  TernaryVector out;
  out.dimension = length;
  out.original_norm = l2_norm(x);
  out.data.assign(ternary_code_bytes(length), 0);
  const bool fitted = fitted_thresholds_.has_value();
  for (uint64_t i = 0; i < length; ++i) {
    const float low = fitted ? (*fitted_thresholds_)[i].low : threshold_low_;
    const float high = fitted ? (*fitted_thresholds_)[i].high : threshold_high_;
    // The +1 test comes first, so with low > high a value above high codes +1; NaN codes 0.
    uint8_t code = 0;
    if (v[i] > high) {
      code = kCodePositive;
      ++out.num_positive;
    } else if (v[i] < low) {
      code = kCodeNegative;
      ++out.num_negative;
    }
    out.data[i / 4] = static_cast<uint8_t>(out.data[i / 4] | (code << (2 * (i % 4))));
  }
  return out;
}

std::optional<uint64_t> ternary_hamming(const TernaryVector& a, const TernaryVector& b) {
  if (a.dimension != b.dimension) return std::nullopt;
  const size_t bytes = std::min(a.data.size(), b.data.size());
  const uint8_t* pa = a.data.data();
  const uint8_t* pb = b.data.data();
  uint64_t total = 0;
  size_t i = 0;
  // Eight bytes per step: the shift carries bit 0 of a byte into bit 7 of its neighbour, which the
  // 0x55 mask drops, so each word counts exactly what its eight bytes would.
  for (; i + 8 <= bytes; i += 8) {
    uint64_t wa = 0;
    uint64_t wb = 0;
    std::memcpy(&wa, pa + i, 8);
    std::memcpy(&wb, pb + i, 8);
    const uint64_t x = wa ^ wb;
    total += static_cast<uint64_t>(std::popcount((x | (x >> 1)) & 0x5555555555555555ull));
  }
  for (; i < bytes; ++i) {
    const unsigned x = static_cast<unsigned>(pa[i] ^ pb[i]);
    total += static_cast<uint64_t>(std::popcount((x | (x >> 1)) & 0x55u));
  }
  return total;
}

int32_t ternary_inner_product(const TernaryVector& a, const TernaryVector& b) {
  if (a.dimension != b.dimension) return 0;
  const size_t bytes = std::min(a.data.size(), b.data.size());
  // Summed in 64 bits and wrapped once, which equals a wrapping 32-bit sum without signed overflow.
  int64_t total = 0;
  for (size_t i = 0; i < bytes; ++i) {
    const auto& va = kValueTable[a.data[i]];
    const auto& vb = kValueTable[b.data[i]];
    total += va[0] * vb[0] + va[1] * vb[1] + va[2] * vb[2] + va[3] * vb[3];
  }
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(total)));
}

float ternary_cosine_similarity(const TernaryVector& a, const TernaryVector& b) {
  const int32_t ip = ternary_inner_product(a, b);
  const float na = count_norm(a);
  if (na < kNormEpsilon) return 0.0f;
  const float nb = count_norm(b);
  if (nb < kNormEpsilon) return 0.0f;
  const float denominator = na * nb;
  const float r = static_cast<float>(ip) / denominator;
  return std::min(1.0f, std::max(-1.0f, r));
}

float ternary_asymmetric_inner_product(std::span<const float> query,
                                       const TernaryVector& quantized) {
  if (query.size() != quantized.dimension) return 0.0f;
  require_packed_codes(quantized);
  const uint64_t length = query.size();
  const uint8_t* codes = quantized.data.data();
  // Zero codes are not skipped: query[i] * 0.0 is NaN for an infinite or NaN query value.
  float sum = 0.0f;
  uint64_t i = 0;
  for (; i + 4 <= length; i += 4) {
    const auto& w = kWeightTable[codes[i / 4]];
    for (unsigned f = 0; f < 4; ++f) {
      const float product = query[i + f] * w[f];
      sum = sum + product;
    }
  }
  if (i < length) {
    const auto& w = kWeightTable[codes[i / 4]];
    for (unsigned f = 0; i + f < length; ++f) {
      const float product = query[i + f] * w[f];
      sum = sum + product;
    }
  }
  return sum;
}

float ternary_asymmetric_cosine_distance(std::span<const float> query,
                                         const TernaryVector& quantized) {
  const float ip = ternary_asymmetric_inner_product(query, quantized);
  const float qn = l2_norm(query);
  const float tn = count_norm(quantized);
  if (tn < kNormEpsilon || qn < kNormEpsilon) return 1.0f;
  const float denominator = qn * tn;
  const float cosine = ip / denominator;
  return 1.0f - cosine;
}

}  // namespace mivo
