// RaBitQ with extended bits: quantizer, coded-vector record and distance estimate.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "rotation.h"

namespace mivo {

// A coded vector: sign bits, extended codes and the factors of the distance estimate.
struct QuantizedVector {
  std::vector<uint8_t> binary_codes;    // d sign bits, packed LSB first
  std::vector<uint8_t> extended_codes;  // d codes of ex_bits bits, one LSB-first bit stream
  std::vector<uint16_t> codes;          // (sign << ex_bits) + extended code, per dimension
  uint64_t dimension = 0;
  float delta = 0.0f;          // rotated residual[i] ~= vl + delta * codes[i]
  float vl = 0.0f;             // value of code 0 in that reconstruction
  float f_add = 0.0f;          // squared length of the rotated residual
  float f_rescale = 0.0f;      // multiplier of the code-query inner product
  float f_error = 0.0f;        // error bound of the estimate
  float residual_norm = 0.0f;  // length of the residual
  uint8_t ex_bits = 0;         // extended bits per dimension, 0..7
};

// Extended codes (0 .. 2^b - 1) of the rotated residual s for 1 <= b <= 7: a shared
// scale chosen by exact search, negative components complemented within b bits.
std::vector<uint16_t> quantize_extended(std::span<const float> s, unsigned b);

// The scale t maximising the alignment of the codes (capped at 2^b - 1) with the
// normalised magnitudes o; 1 <= b <= 7.
double best_rescale_factor(std::span<const float> o, unsigned b);

// The record of an already rotated residual s under total_bits (1..8) bits per dimension.
QuantizedVector quantize_rotated(std::span<const float> s, unsigned total_bits);

// The steps of quantize_rotated, for callers that quantize many residuals and keep the
// results in columns; each step is the one quantize_rotated takes.

// The combined codes of s into codes, (sign bit << ex_bits) + extended code, and the
// sign bits (0 or 1, -0.0 counting as positive) into sign_bits; s.size() of each.
void quantized_codes(std::span<const float> s, unsigned ex_bits, uint16_t* codes,
                     uint8_t* sign_bits);

// The three sums of a record over s and its centred codes u = f32(codes) - centre:
// S = |s|^2, U = |u|^2 and V = s . u, each one sequential sum in index order from -0.0.
struct RecordSums {
  float s = -0.0f;
  float u = -0.0f;
  float v = -0.0f;
};
RecordSums record_sums(std::span<const float> s, std::span<const uint16_t> codes, float centre);

// Per-record factors in their storage order (one row of kFactorCount floats per record).
enum Factor : unsigned { kDelta, kVl, kFAdd, kFRescale, kFError, kResidualNorm, kFactorCount };

// The kFactorCount factors of a record of `dimension` from its sums, into `factors`.
void record_factors(const RecordSums& sums, float centre, uint64_t dimension, float* factors);

// A record's factors from a row of kFactorCount floats, and into one.
void set_factors(QuantizedVector& r, const float* factors);
void get_factors(const QuantizedVector& r, float* factors);

// The estimate from the record's centred code-query inner product ip, the query
// residual's squared norm and the record's factors, clamped to >= +0.0 (negative, -0.0
// and NaN all become +0.0). The one formula of every estimate path.
inline float clamped_estimate(float ip, float query_norm, float f_add, float f_rescale) {
  const float base = query_norm + f_add;
  const float est = (ip * f_rescale) + base;
  return est > 0.0f ? est : 0.0f;
}

// Holds the rotation and optional centroid; codes vectors and estimates distances.
class RaBitQQuantizer {
 public:
  // Validates (dimension first, then total_bits 1..8; InvalidConfig) and then
  // generates the rotation from seed. Throws std::bad_alloc for unallocatable sizes.
  RaBitQQuantizer(uint64_t dimension, uint64_t seed, uint64_t total_bits);

  // Centroid = column means of n row-major rows in flat; unchanged on error.
  void fit(std::span<const float> flat, uint64_t n);

  // Centroid = c (exactly dimension values); unchanged on error.
  void set_centroid(std::span<const float> c);

  // Codes x (exactly dimension values) against the current centroid.
  QuantizedVector quantize(std::span<const float> x) const;

  // Estimated squared distance from q to the coded vector, clamped to >= +0.0.
  // Records of another dimension are rejected with DimensionMismatch.
  float approximate_l2_sqr(std::span<const float> q, const QuantizedVector& r) const;

  // f32 square root of approximate_l2_sqr.
  float approximate_distance(std::span<const float> q, const QuantizedVector& r) const;

  // r = x minus the centroid (x itself while none is set), both of dimension values:
  // the residual that quantize and the estimate rotate.
  void residual(std::span<const float> x, std::span<float> r) const;

  // The query side of the estimate: the rotated residual of q (exactly dimension
  // values) into `rotated`, and the squared norm of the residual as the return value.
  // Batch estimates compute it once per call, as the per-record cache does per query.
  float rotate_query(std::span<const float> q, std::span<float> rotated) const;

  // The rotated residuals of n vectors, row-major in x (n * dimension floats), into s;
  // r receives the residuals. Each row has the bits of quantize's own residual.
  void rotated_residuals(const float* x, uint64_t n, float* r, float* s) const;

  uint64_t dimension() const { return dimension_; }
  uint64_t total_bits() const { return total_bits_; }
  const Rotation& rotation() const { return rotation_; }
  bool has_centroid() const { return has_centroid_; }
  // The centroid, empty while none is set.
  std::span<const float> centroid() const { return centroid_; }

 private:
  // Centre-and-rotate of x into s (sizes dimension).
  void rotated_residual(std::span<const float> x, std::span<float> r, std::span<float> s) const;

  uint64_t dimension_;
  uint64_t total_bits_;
  Rotation rotation_;
  std::vector<float> centroid_;
  bool has_centroid_ = false;
  uint64_t id_;              // never reused by another quantizer of this process
  uint64_t generation_ = 0;  // bumped by every change of the centroid
};

}  // namespace mivo
