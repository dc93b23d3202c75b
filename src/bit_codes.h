// Packed one-bit codes and the kernels on packed and multi-bit codes; these are the
// scalar loops, bit_codes_simd.cpp the vector kernels of the batch forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kernel_choice.h"

namespace mivo {

// Bytes of a packed code of n one-bit values: ceil(n / 8).
constexpr uint64_t packed_size(uint64_t n) { return n / 8 + (n % 8 != 0); }

// Packs one value per byte (nonzero = 1) into out, least significant bit first; the
// padding bits of the last byte are 0. Throws DimensionMismatch (writing nothing)
// when out is shorter than packed_size(values.size()); bytes past it stay untouched.
void pack_bits(std::span<const uint8_t> values, std::span<uint8_t> out);

// Packs the low `bits` bits (1..8) of every code into one LSB-first bit stream: code i
// fills stream bits i*bits .. i*bits + bits - 1, and stream bit p is bit p % 8 of byte
// p / 8. out must hold packed_size(codes.size() * bits) bytes, all zero; the unused
// high bits of the last byte stay 0.
void pack_bit_stream(std::span<const uint16_t> codes, unsigned bits, uint8_t* out);

// Writes bit i of packed to out[i] (0 or 1) for every i < out.size(). Throws
// DimensionMismatch when packed is shorter than packed_size(out.size()).
void unpack_bits(std::span<const uint8_t> packed, std::span<uint8_t> out);

// Number of differing bits over the common prefix of a and b.
uint32_t hamming_distance(std::span<const uint8_t> a, std::span<const uint8_t> b);

// The codes of a batch call in one of two layouts: separate byte strings of any
// lengths, or `count` rows of `width` bytes each, stored back to back (a row-major
// matrix, read in place). Element j is the same byte string in either layout.
class CodeBatch {
 public:
  CodeBatch(std::span<const std::span<const uint8_t>> spans)  // NOLINT: implicit on purpose
      : spans_(spans.data()), count_(spans.size()) {}
  CodeBatch(const uint8_t* rows, size_t count, size_t width)
      : rows_(rows), count_(count), width_(width) {}

  size_t size() const { return count_; }
  // True for the row-major layout.
  bool dense() const { return spans_ == nullptr; }
  size_t width() const { return width_; }
  const uint8_t* rows() const { return rows_; }
  const uint8_t* data(size_t j) const { return dense() ? rows_ + j * width_ : spans_[j].data(); }
  size_t length(size_t j) const { return dense() ? width_ : spans_[j].size(); }
  std::span<const uint8_t> operator[](size_t j) const { return {data(j), length(j)}; }

 private:
  const std::span<const uint8_t>* spans_ = nullptr;
  const uint8_t* rows_ = nullptr;
  size_t count_ = 0;
  size_t width_ = 0;
};

// out[j] = hamming_distance(query, codes[j]), on the kernels chosen.
void batch_hamming_distances(std::span<const uint8_t> query, const CodeBatch& codes, uint32_t* out,
                             Kernels kernels = Kernels::kBest);

// Sum over i < D of (bit i of code ? q[i] : -q[i]) from +0.0, in index order.
// Throws DimensionMismatch when code holds fewer than ceil(D/8) bytes.
float one_bit_inner_product(std::span<const float> query, std::span<const uint8_t> code);

// ||q - b||^2 for the sign vector b of code: (norm + D) - (ip + ip), not clamped.
float asymmetric_l2_squared(std::span<const float> query, std::span<const uint8_t> code);

// out[j] = one_bit_inner_product(query, codes[j]), bit for bit, on the kernels chosen;
// every code is length-checked (in order) before anything is computed, and the first
// one shorter than ceil(D/8) bytes throws DimensionMismatch with nothing written.
void batch_one_bit_inner_product(std::span<const float> query, const CodeBatch& codes, float* out,
                                 Kernels kernels = Kernels::kBest);

// out[j] = asymmetric_l2_squared(query, codes[j]), bit for bit, with the same checks.
void batch_asymmetric_l2(std::span<const float> query, const CodeBatch& codes, float* out,
                         Kernels kernels = Kernels::kBest);

// Centre of B-bit codes: (f32(2^B) - 1) * 0.5, with 2^B taken exactly (infinity
// once it leaves the f32 range) rather than as a wrapping shift.
float multibit_centre(uint64_t total_bits);

// centred_inner_product over the common length with the centre of total_bits-bit
// codes, from -0.0.
float multibit_inner_product(std::span<const float> query, std::span<const uint16_t> codes,
                             uint64_t total_bits);

}  // namespace mivo
