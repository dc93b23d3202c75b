// Packed one-bit codes and the kernels on packed and multi-bit codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace mivo {

// Bytes of a packed code of n one-bit values: ceil(n / 8).
constexpr uint64_t packed_size(uint64_t n) { return n / 8 + (n % 8 != 0); }

// Packs one value per byte (nonzero = 1) into out, least significant bit first; the
// padding bits of the last byte are 0. Throws DimensionMismatch (writing nothing)
// when out is shorter than packed_size(values.size()); bytes past it stay untouched.
void pack_bits(std::span<const uint8_t> values, std::span<uint8_t> out);

// Writes bit i of packed to out[i] (0 or 1) for every i < out.size(). Throws
// DimensionMismatch when packed is shorter than packed_size(out.size()).
void unpack_bits(std::span<const uint8_t> packed, std::span<uint8_t> out);

// Number of differing bits over the common prefix of a and b.
uint32_t hamming_distance(std::span<const uint8_t> a, std::span<const uint8_t> b);

// out[j] = hamming_distance(query, codes[j]).
void batch_hamming_distances(std::span<const uint8_t> query,
                             std::span<const std::span<const uint8_t>> codes,
                             uint32_t* out);

// Sum over i < D of (bit i of code ? q[i] : -q[i]) from +0.0, in index order.
// Throws DimensionMismatch when code holds fewer than ceil(D/8) bytes.
float one_bit_inner_product(std::span<const float> query, std::span<const uint8_t> code);

// Sum of q[i]*q[i] in index order from `start` (each square rounded before adding).
float squared_norm(std::span<const float> query, float start);

// ||q - b||^2 for the sign vector b of code: (norm + D) - (ip + ip), not clamped.
float asymmetric_l2_squared(std::span<const float> query, std::span<const uint8_t> code);

// out[j] = asymmetric_l2_squared(query, codes[j]); every code is length-checked (in
// order) before anything is computed.
void batch_asymmetric_l2(std::span<const float> query,
                         std::span<const std::span<const uint8_t>> codes, float* out);

// Centre of B-bit codes: (f32(2^B) - 1) * 0.5, with 2^B taken exactly (infinity
// once it leaves the f32 range) rather than as a wrapping shift.
float multibit_centre(uint64_t total_bits);

// Sum over the common length of (f32(code) - centre) * q[i], from -0.0.
float multibit_inner_product(std::span<const float> query, std::span<const uint16_t> codes,
                             uint64_t total_bits);

}  // namespace mivo
