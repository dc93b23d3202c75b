// The sequential f32 sums that the quantizers and kernels share: one function per
// piece of arithmetic, so every caller gets the same rounding.
#pragma once

#include <cstdint>
#include <span>

namespace mivo {

// The terms of the sums below, one addition each: loops that run several sums in
// one pass, so that their independent chains overlap, add the same terms.
// sum + x * x, the square rounded before the addition.
inline float add_square(float sum, float x) {
  const float sq = x * x;
  return sum + sq;
}

// f32(code) - centre, rounded: the centred code of the sums below.
inline float centred_code(uint16_t code, float centre) { return static_cast<float>(code) - centre; }

// (f32(code) - centre) * q, the difference and the product each rounded: one term of
// the centred sums (also what the batch kernels' per-query product tables hold).
inline float centred_product(uint16_t code, float centre, float q) {
  return centred_code(code, centre) * q;
}

// sum + (f32(code) - centre) * q, the difference and the product each rounded first.
inline float add_centred_product(float sum, uint16_t code, float centre, float q) {
  const float term = centred_product(code, centre, q);
  return sum + term;
}

// Sum of q[i]*q[i] in index order from `start` (each square rounded before adding).
float squared_norm(std::span<const float> query, float start);

// Sum of (a[i] - b[i])^2 over the common length in index order from `start`: the
// difference and its square are each rounded before the addition. The exact squared
// distance that re-ranking compares.
float squared_distance(std::span<const float> a, std::span<const float> b, float start);

// Sum over the common length of (f32(codes[i]) - centre) * q[i] in index order from
// `start`; the difference and the product are each rounded before the addition.
float centred_inner_product(std::span<const float> query, std::span<const uint16_t> codes,
                            float centre, float start);

// Which operand each addition of a column sum puts first. IEEE addition is
// commutative except for NaN payloads: when two NaNs meet, x86 returns the first
// operand's, so the order decides which NaN a column full of them keeps.
enum class SumOrder { kSumFirst, kRowFirst };

// sum[j] = sum[j] + row[j] (or row[j] + sum[j]) for j < d: one step of the column sums.
void add_row(float* sum, const float* row, uint64_t d, SumOrder order);

// sum[j] = sum[j] / f32(count) for j < d, a true division per column: column sums
// become means.
void divide_by_count(float* sum, uint64_t d, uint64_t count);

// mean[j] = (sum over rows i < n in order of rows[i*d + j], from +0.0) / f32(n), a true
// division per column. Reads n*d floats; writes d.
void column_means(const float* rows, uint64_t n, uint64_t d, SumOrder order, float* mean);

}  // namespace mivo
