// Packing of one-bit codes, the single-code kernels, the scalar loops of the batch
// kernels and the entry points that choose between them and the vector kernels of
// bit_codes_simd.cpp.
//
// Every float sum here is one sequential chain in index order, starting from the
// value its kernel names: the results are part of the stored contract and must not
// depend on how a loop is vectorised.
#include "bit_codes.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "bit_codes_simd.h"
#include "error.h"
#include "sums.h"

namespace mivo {

namespace {

uint64_t load_u64_le(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

// Flips the sign of x when the bit is clear: the same value as (bit ? x : -x),
// without a branch per bit.
inline float signed_by_bit(float x, uint32_t bit) {
  uint32_t u = std::bit_cast<uint32_t>(x) ^ ((bit ^ 1u) << 31);
  return std::bit_cast<float>(u);
}

}  // namespace

void pack_bits(std::span<const uint8_t> values, std::span<uint8_t> out) {
  const uint64_t n = values.size();
  const uint64_t need = packed_size(n);
  if (out.size() < need) throw QuantizerError::dimension_mismatch(need, out.size());
  const uint8_t* v = values.data();
  const uint64_t full = n / 8;
  for (uint64_t k = 0; k < full; ++k, v += 8) {
    uint8_t byte = 0;
    for (int j = 0; j < 8; ++j) byte |= static_cast<uint8_t>((v[j] != 0) << j);
    out[k] = byte;
  }
  if (const uint64_t r = n % 8) {
    uint8_t byte = 0;
    for (uint64_t j = 0; j < r; ++j) byte |= static_cast<uint8_t>((v[j] != 0) << j);
    out[full] = byte;
  }
}

void pack_bit_stream(std::span<const uint16_t> codes, unsigned bits, uint8_t* out) {
  const uint32_t mask = (uint32_t{1} << bits) - 1;
  for (uint64_t i = 0; i < codes.size(); ++i) {
    const uint64_t pos = i * bits;
    // A code that crosses a byte boundary spills its high bits into the next byte.
    const uint32_t v = (codes[i] & mask) << (pos % 8);
    out[pos / 8] |= static_cast<uint8_t>(v);
    if (v > 0xff) out[pos / 8 + 1] |= static_cast<uint8_t>(v >> 8);
  }
}

void unpack_bits(std::span<const uint8_t> packed, std::span<uint8_t> out) {
  const uint64_t dim = out.size();
  const uint64_t need = packed_size(dim);
  if (packed.size() < need) throw QuantizerError::dimension_mismatch(need, packed.size());
  for (uint64_t i = 0; i < dim; ++i) out[i] = (packed[i / 8] >> (i % 8)) & 1;
}

uint32_t hamming_distance(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  const uint64_t len = std::min(a.size(), b.size());
  const uint64_t words = len / 8;
  uint32_t count = 0;
  for (uint64_t w = 0; w < words; ++w) {
    count += static_cast<uint32_t>(
        std::popcount(load_u64_le(a.data() + 8 * w) ^ load_u64_le(b.data() + 8 * w)));
  }
  for (uint64_t i = 8 * words; i < len; ++i) {
    count += static_cast<uint32_t>(std::popcount(static_cast<uint8_t>(a[i] ^ b[i])));
  }
  return count;
}

float one_bit_inner_product(std::span<const float> query, std::span<const uint8_t> code) {
  const uint64_t dim = query.size();
  const uint64_t need = packed_size(dim);
  if (code.size() < need) throw QuantizerError::dimension_mismatch(need, code.size());
  const float* q = query.data();
  float sum = 0.0f;
  const uint64_t full = dim / 8;
  for (uint64_t k = 0; k < full; ++k, q += 8) {
    const uint32_t byte = code[k];
    for (uint32_t j = 0; j < 8; ++j) sum += signed_by_bit(q[j], (byte >> j) & 1);
  }
  for (uint64_t j = 0; j < dim % 8; ++j) sum += signed_by_bit(q[j], (code[full] >> j) & 1);
  return sum;
}

float asymmetric_l2_squared(std::span<const float> query, std::span<const uint8_t> code) {
  const float norm = squared_norm(query, 0.0f);
  const float ip = one_bit_inner_product(query, code);
  const float base = norm + static_cast<float>(query.size());
  return base - (ip + ip);
}

float multibit_centre(uint64_t total_bits) {
  // 2^B is exact in f32 up to B = 127; beyond that it is +infinity, as the
  // correctly rounded value of 2^B would be.
  const float power = total_bits < 128 ? std::ldexp(1.0f, static_cast<int>(total_bits)) : INFINITY;
  const float minus_one = power + -1.0f;
  return minus_one * 0.5f;
}

float multibit_inner_product(std::span<const float> query, std::span<const uint16_t> codes,
                             uint64_t total_bits) {
  // From -0.0, so an empty sum or one of -0.0 terms only is -0.0.
  return centred_inner_product(query, codes, multibit_centre(total_bits), -0.0f);
}

namespace {

// The length check of the one-bit batch kernels: every code, in order, before
// anything is written.
void require_code_bytes(std::span<const float> query, const CodeBatch& codes) {
  const uint64_t need = packed_size(query.size());
  for (size_t j = 0; j < codes.size(); ++j) {
    if (codes.length(j) < need) throw QuantizerError::dimension_mismatch(need, codes.length(j));
  }
}

}  // namespace

void batch_hamming_distances(std::span<const uint8_t> query, const CodeBatch& codes, uint32_t* out,
                             Kernels kernels) {
  if (kernels == Kernels::kScalar) {
    for (size_t j = 0; j < codes.size(); ++j) out[j] = hamming_distance(query, codes[j]);
    return;
  }
  bit_codes_simd::batch_hamming(query.data(), query.size(), codes, out);
}

void batch_one_bit_inner_product(std::span<const float> query, const CodeBatch& codes, float* out,
                                 Kernels kernels) {
  require_code_bytes(query, codes);
  // An addition of two NaNs keeps the payload and sign of whichever operand the
  // compiler happens to put first, and vector code may order them differently from
  // the scalar loop. Only NaNs in the query can bring two NaNs together (a NaN that
  // inf - inf makes meets no other), so such queries take the scalar loop.
  if (kernels == Kernels::kScalar || query.empty() ||
      std::any_of(query.begin(), query.end(), [](float x) { return std::isnan(x); })) {
    for (size_t j = 0; j < codes.size(); ++j) out[j] = one_bit_inner_product(query, codes[j]);
    return;
  }
  bit_codes_simd::batch_one_bit(query.data(), query.size(), codes, out);
}

void batch_asymmetric_l2(std::span<const float> query, const CodeBatch& codes, float* out,
                         Kernels kernels) {
  batch_one_bit_inner_product(query, codes, out, kernels);
  // The norm does not depend on the code: one computation serves every entry.
  const float base = squared_norm(query, 0.0f) + static_cast<float>(query.size());
  for (size_t j = 0; j < codes.size(); ++j) {
    const float ip = out[j];
    out[j] = base - (ip + ip);
  }
}

}  // namespace mivo
