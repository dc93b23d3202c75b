// Columnar RaBitQ batches: conversion between records and rows, batch quantization and
// batch estimates. Every row has the bits of the per-record call; the vector kernels of
// the estimates live in rabitq_batch_simd.cpp.
#include "rabitq_batch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "bit_codes.h"
#include "error.h"
#include "rabitq_batch_simd.h"
#include "record_sums_simd.h"
#include "sums.h"

namespace mivo {

namespace {

// Vectors rotated together by quantize_batch: a multiple of the four that the kernel
// takes at once; every panel of the matrix is read from memory once for all of them,
// and their two buffers of residuals (400 KB at d = 768) still stay in the
// second-level cache beside a panel.
constexpr uint64_t kQuantizeBlock = 64;

// At most this many multiply-adds of the rotation between two pacer steps (a few
// milliseconds): above d = 1024 a block holds fewer vectors than kQuantizeBlock, down to
// one, so that a caller's signal check still runs often at large dimensions.
constexpr uint64_t kRotationWorkPerStep = uint64_t{1} << 26;

// block * d * d <= kRotationWorkPerStep, as block * d <= kRotationWorkPerStep / d so that
// no product can wrap; halving keeps the block a multiple of four down to four.
uint64_t quantize_block(uint64_t d, uint64_t count) {
  uint64_t block = kQuantizeBlock;
  while (block > 1 && block * d > kRotationWorkPerStep / std::max<uint64_t>(d, 1)) block /= 2;
  return std::max<uint64_t>(std::min(block, count), 1);
}

}  // namespace

uint64_t binary_code_bytes(uint64_t dimension) { return packed_size(dimension); }

uint64_t extended_code_bytes(uint64_t dimension, unsigned ex_bits) {
  return packed_size(dimension * ex_bits);
}

void decode_codes(const RecordColumns& batch, uint64_t i, uint16_t* codes) {
  const uint64_t d = batch.dimension;
  const unsigned b = batch.ex_bits;
  const uint8_t* sign = batch.binary_codes + i * binary_code_bytes(d);
  const uint8_t* ext = batch.extended_codes + i * extended_code_bytes(d, b);
  const uint32_t mask = (uint32_t{1} << b) - 1;
  for (uint64_t j = 0; j < d; ++j) {
    const uint32_t bit = (sign[j / 8] >> (j % 8)) & 1;
    uint32_t code = 0;
    if (b > 0) {
      // The inverse of pack_bit_stream: a code may straddle two bytes.
      const uint64_t pos = j * b;
      uint32_t v = ext[pos / 8];
      if (pos % 8 + b > 8) v |= uint32_t{ext[pos / 8 + 1]} << 8;
      code = (v >> (pos % 8)) & mask;
    }
    codes[j] = static_cast<uint16_t>((bit << b) + code);
  }
}

RecordColumns slice_rows(const RecordColumns& batch, uint64_t begin, uint64_t count) {
  RecordColumns part = batch;
  part.count = count;
  part.binary_codes += begin * binary_code_bytes(batch.dimension);
  part.extended_codes += begin * extended_code_bytes(batch.dimension, batch.ex_bits);
  part.factors += begin * kFactorCount;
  return part;
}

QuantizedVector record_at(const RecordColumns& batch, uint64_t i) {
  const uint64_t d = batch.dimension;
  const uint64_t nb = binary_code_bytes(d);
  const uint64_t ne = extended_code_bytes(d, batch.ex_bits);
  QuantizedVector r;
  r.dimension = d;
  r.ex_bits = static_cast<uint8_t>(batch.ex_bits);
  const uint8_t* bin = batch.binary_codes + i * nb;
  r.binary_codes.assign(bin, bin + nb);
  if (batch.ex_bits > 0) {
    const uint8_t* ext = batch.extended_codes + i * ne;
    r.extended_codes.assign(ext, ext + ne);
  }
  r.codes.resize(d);
  decode_codes(batch, i, r.codes.data());
  set_factors(r, batch.factors + i * kFactorCount);
  return r;
}

void store_record(const QuantizedVector& r, const MutableRecordColumns& out, uint64_t i) {
  if (r.dimension != out.dimension) {
    throw QuantizerError::dimension_mismatch(out.dimension, r.dimension);
  }
  if (r.ex_bits != out.ex_bits) MIVO_FAIL(extended_bits_differ(out.ex_bits, r.ex_bits));
  const uint64_t nb = binary_code_bytes(out.dimension);
  const uint64_t ne = extended_code_bytes(out.dimension, out.ex_bits);
  if (r.binary_codes.size() != nb || r.extended_codes.size() != ne) {
    MIVO_FAIL(kRecordStreamsMisSized);
  }
  std::copy(r.binary_codes.begin(), r.binary_codes.end(), out.binary_codes + i * nb);
  std::copy(r.extended_codes.begin(), r.extended_codes.end(), out.extended_codes + i * ne);
  get_factors(r, out.factors + i * kFactorCount);
}

void quantize_batch(const RaBitQQuantizer& q, const float* vectors, const MutableRecordColumns& out,
                    Pacer* pacer) {
  const uint64_t d = q.dimension();
  if (out.dimension != d) throw QuantizerError::dimension_mismatch(d, out.dimension);
  if (out.ex_bits + 1 != q.total_bits()) {
    MIVO_FAIL(extended_bits_differ(q.total_bits() - 1, out.ex_bits));
  }
  // The steps of quantize_rotated, each over a block of vectors: the rotation shares
  // each pass over the matrix, the codes are searched record by record, and the sums
  // run one record per lane.
  const unsigned b = out.ex_bits;
  const float m = multibit_centre(q.total_bits());
  const uint64_t nb = binary_code_bytes(d);
  const uint64_t ne = extended_code_bytes(d, b);
  const uint64_t block = quantize_block(d, out.count);
  std::vector<float> r(block * d);
  std::vector<float> s(block * d);
  std::vector<uint16_t> codes(block * d);
  std::vector<uint8_t> sign_bits(d);
  std::vector<RecordSums> sums(block);
  for (uint64_t i0 = 0; i0 < out.count; i0 += block) {
    const uint64_t nv = std::min(block, out.count - i0);
    q.rotated_residuals(vectors + i0 * d, nv, r.data(), s.data());
    for (uint64_t v = 0; v < nv; ++v) {
      const uint64_t i = i0 + v;
      uint16_t* row_codes = codes.data() + v * d;
      quantized_codes(std::span<const float>(s.data() + v * d, d), b, row_codes, sign_bits.data());
      pack_bits(sign_bits, std::span<uint8_t>(out.binary_codes + i * nb, nb));
      if (b >= 1) {
        uint8_t* ext = out.extended_codes + i * ne;
        std::fill(ext, ext + ne, uint8_t{0});
        pack_bit_stream(std::span<const uint16_t>(row_codes, d), b, ext);
      }
    }
    record_sums_simd::record_sums_rows(s.data(), codes.data(), b, nv, d, m, sums.data());
    for (uint64_t v = 0; v < nv; ++v) {
      record_factors(sums[v], m, d, out.factors + (i0 + v) * kFactorCount);
    }
    if (pacer != nullptr) pacer->step();
  }
}

namespace {

// The checks of the per-record estimate, once for the whole batch.
void check_estimate_args(const RaBitQQuantizer& q, std::span<const float> query,
                         const RecordColumns& batch, std::span<float> out) {
  const uint64_t d = q.dimension();
  if (query.size() != d) throw QuantizerError::dimension_mismatch(d, query.size());
  if (batch.dimension != d) throw QuantizerError::dimension_mismatch(d, batch.dimension);
  if (batch.ex_bits > 7) MIVO_FAIL(extended_bits_out_of_range(batch.ex_bits));
  if (out.size() != batch.count) MIVO_FAIL(kBatchOutputMisSized);
}

}  // namespace

void approximate_l2_sqr_batch(const RaBitQQuantizer& q, std::span<const float> query,
                              const RecordColumns& batch, std::span<float> out, Kernels kernels) {
  check_estimate_args(q, query, batch, out);
  const uint64_t d = q.dimension();
  const float m = multibit_centre(uint64_t{batch.ex_bits} + 1);
  // Zeros past d pad the query to whole blocks for the vector kernels.
  std::vector<float> y(rabitq_batch_simd::padded_dimension(d), 0.0f);
  const float norm = q.rotate_query(query, std::span<float>(y.data(), d));
  if (kernels == Kernels::kScalar) {
    std::vector<uint16_t> codes(d);
    for (uint64_t i = 0; i < batch.count; ++i) {
      decode_codes(batch, i, codes.data());
      // From +0.0, as the per-record estimate sums.
      out[i] = centred_inner_product(std::span<const float>(y.data(), d), codes, m, 0.0f);
    }
  } else {
    rabitq_batch_simd::inner_products(y.data(), m, batch, out.data());
  }
  for (uint64_t i = 0; i < batch.count; ++i) {
    const float* f = batch.factors + i * kFactorCount;
    out[i] = clamped_estimate(out[i], norm, f[kFAdd], f[kFRescale]);
  }
}

void approximate_distance_batch(const RaBitQQuantizer& q, std::span<const float> query,
                                const RecordColumns& batch, std::span<float> out, Kernels kernels) {
  approximate_l2_sqr_batch(q, query, batch, out, kernels);
  for (float& v : out) v = std::sqrt(v);
}

}  // namespace mivo
