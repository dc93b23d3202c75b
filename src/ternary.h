// Ternary quantizer: 2-bit {-1, 0, +1} codes, the quantizer that writes them and the similarity measures on them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace mivo {

// The one mapping from a 2-bit ternary code to its value: 01 -> +1, 10 -> -1, 00 and 11 -> 0.
constexpr int8_t code_value(uint8_t two_bits) {
  switch (two_bits & 0x3u) {
    case 0x1u: return 1;
    case 0x2u: return -1;
    default: return 0;
  }
}

// One coded vector: value i in byte i/4 at bits 2*(i%4), least significant first; unused fields 00.
struct TernaryVector {
  std::vector<uint8_t> data;
  uint64_t dimension = 0;
  uint64_t num_positive = 0;
  uint64_t num_negative = 0;
  float original_norm = -0.0f;

  // Value of dimension idx; idx >= dimension is an internal failure (the frame checks first).
  int8_t get(uint64_t idx) const;
  // All `dimension` values in order.
  std::vector<int8_t> to_list() const;
  // 1 - nonzeros/dimension in single precision; NaN for dimension 0.
  float sparsity() const;
  // Size of the packed codes, ceil(dimension / 4).
  uint64_t memory_bytes() const;
};

// Bytes of the packed codes of `dimension` two-bit values: ceil(dimension / 4).
constexpr uint64_t ternary_code_bytes(uint64_t dimension) {
  return dimension / 4 + (dimension % 4 != 0 ? 1 : 0);
}

// What the similarity measures read of a ternary record, wherever its codes are stored:
// a TernaryVector, or one row of a batch's columns.
struct TernaryCodes {
  std::span<const uint8_t> data;
  uint64_t dimension = 0;
  uint64_t num_positive = 0;
  uint64_t num_negative = 0;
};

// The fields of v that the measures read.
inline TernaryCodes codes_of(const TernaryVector& v) {
  return {v.data, v.dimension, v.num_positive, v.num_negative};
}

// Per-dimension thresholds learned by fit: codes are +1 above `high`, -1 below `low`.
struct ThresholdPair {
  float low;
  float high;
};

// Key whose unsigned order is the IEEE 754 totalOrder of the float (-NaN < -inf < -0 < +0 < +inf < +NaN).
uint32_t float_order_key(float value);

// Ranks (lo, hi) into a sorted column of n > 0 values for a target sparsity, each at most n - 1.
std::pair<uint64_t, uint64_t> ternary_quantile_ranks(float target_sparsity, uint64_t n);

// Maps float vectors of one dimension to TernaryVector by fixed or fitted thresholds.
class TernaryQuantizer {
 public:
  // Accepts every configuration; nothing is validated.
  TernaryQuantizer(uint64_t dimension, float threshold_high, float threshold_low, bool normalize,
                   std::optional<float> target_sparsity);

  // Learns the mean (and, with a target sparsity, per-dimension thresholds) from n row-major rows;
  // throws QuantizerError and leaves the quantizer unchanged on any failure.
  void fit(std::span<const float> flat, uint64_t n);
  // Codes one vector of exactly `dimension` floats; throws QuantizerError::dimension_mismatch otherwise.
  TernaryVector quantize(std::span<const float> x) const;

  // Length of every accepted vector.
  uint64_t dimension() const { return dimension_; }
  // Fixed upper threshold, used until fit learns per-dimension ones.
  float threshold_high() const { return threshold_high_; }
  // Fixed lower threshold, used until fit learns per-dimension ones.
  float threshold_low() const { return threshold_low_; }
  // Whether quantize L2-normalises the centred vector.
  bool normalize() const { return normalize_; }
  // Fraction of zeros aimed at by fit, if any.
  std::optional<float> target_sparsity() const { return target_sparsity_; }
  // Mean of the last training set, absent before the first successful fit.
  const std::optional<std::vector<float>>& mean() const { return mean_; }
  // Learned thresholds, present only after a successful fit with a target sparsity.
  const std::optional<std::vector<ThresholdPair>>& fitted_thresholds() const {
    return fitted_thresholds_;
  }

 private:
  uint64_t dimension_;
  float threshold_high_;
  float threshold_low_;
  bool normalize_;
  std::optional<float> target_sparsity_;
  std::optional<std::vector<float>> mean_;
  std::optional<std::vector<ThresholdPair>> fitted_thresholds_;
};

// Number of dimensions whose values differ; nullopt for different dimensions.
std::optional<uint64_t> ternary_hamming(const TernaryCodes& a, const TernaryCodes& b);
// Sum of value products (wrapping in 32 bits); 0 for different dimensions.
int32_t ternary_inner_product(const TernaryCodes& a, const TernaryCodes& b);
// Cosine with nonzero counts as squared norms, clamped to [-1, 1]; 0.0 when either vector is all zero.
float ternary_cosine_similarity(const TernaryCodes& a, const TernaryCodes& b);
// Sum of query[i] * value[i] in index order from +0.0; 0.0 when the lengths differ.
float ternary_asymmetric_inner_product(std::span<const float> query, const TernaryCodes& quantized);
// 1 - cos(query, quantized), unclamped; 1.0 when either norm is below 1e-10.
float ternary_asymmetric_cosine_distance(std::span<const float> query,
                                         const TernaryCodes& quantized);
// The two steps of that distance that a batch shares between its records: the query's
// L2 norm (its whole length, from -0.0, in index order), and the distance from the
// inner product and that norm.
float ternary_query_norm(std::span<const float> query);
float ternary_cosine_distance_from(float inner_product, float query_norm,
                                   const TernaryCodes& quantized);

// The same measures on records.
inline std::optional<uint64_t> ternary_hamming(const TernaryVector& a, const TernaryVector& b) {
  return ternary_hamming(codes_of(a), codes_of(b));
}
inline int32_t ternary_inner_product(const TernaryVector& a, const TernaryVector& b) {
  return ternary_inner_product(codes_of(a), codes_of(b));
}
inline float ternary_cosine_similarity(const TernaryVector& a, const TernaryVector& b) {
  return ternary_cosine_similarity(codes_of(a), codes_of(b));
}
inline float ternary_asymmetric_inner_product(std::span<const float> query,
                                              const TernaryVector& quantized) {
  return ternary_asymmetric_inner_product(query, codes_of(quantized));
}
inline float ternary_asymmetric_cosine_distance(std::span<const float> query,
                                                const TernaryVector& quantized) {
  return ternary_asymmetric_cosine_distance(query, codes_of(quantized));
}

}  // namespace mivo
