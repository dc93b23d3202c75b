// Ternary batches: records in and out of columns, validation, and the measures row by
// row through the per-record arithmetic, so every element has its bits.
#include "ternary_batch.h"

#include <bit>
#include <cstring>

#include "error.h"
#include "packed_rows.h"

namespace mivo {

namespace {

void require_output(uint64_t count, size_t size) {
  if (size != count) MIVO_FAIL(kBatchOutputSize);
}

}  // namespace

TernaryVector ternary_record_at(const TernaryColumns& batch, uint64_t i) {
  if (i >= batch.count) MIVO_FAIL(kBatchRowPastEnd);
  const TernaryCodes row = batch.row(i);
  TernaryVector out;
  out.data.assign(row.data.begin(), row.data.end());
  out.dimension = batch.dimension;
  out.num_positive = row.num_positive;
  out.num_negative = row.num_negative;
  out.original_norm = batch.original_norm[i];
  return out;
}

void store_ternary_record(const TernaryVector& r, const MutableTernaryColumns& out, uint64_t i) {
  const uint64_t width = ternary_code_bytes(out.dimension);
  if (i >= out.count || r.dimension != out.dimension || r.data.size() != width) {
    MIVO_FAIL(kBatchRecordShape);
  }
  if (width != 0) std::memcpy(out.codes + i * width, r.data.data(), width);
  out.num_positive[i] = r.num_positive;
  out.num_negative[i] = r.num_negative;
  out.original_norm[i] = r.original_norm;
}

TernaryColumnCheck check_ternary_columns(const TernaryColumns& batch) {
  const uint64_t width = ternary_code_bytes(batch.dimension);
  // Padding first, for every row: the field counts below then see only real fields.
  if (auto row =
          first_row_with_padding_bits(batch.codes, batch.count, width, 2 * batch.dimension)) {
    return {TernaryFault::kPaddingBits, *row, 0};
  }
  for (uint64_t r = 0; r < batch.count; ++r) {
    const uint8_t* codes = batch.codes + r * width;
    uint64_t positive = 0;
    uint64_t negative = 0;
    bool code11 = false;
    for (uint64_t b = 0; b < width; ++b) {
      // Low bit of each field in the 0x55 positions, high bit shifted onto it.
      const unsigned low = codes[b] & 0x55u;
      const unsigned high = (codes[b] >> 1) & 0x55u;
      code11 = code11 || (low & high) != 0;
      positive += static_cast<uint64_t>(std::popcount(low & ~high & 0x55u));
      negative += static_cast<uint64_t>(std::popcount(high & ~low & 0x55u));
    }
    if (code11) return {TernaryFault::kCode11, r, 0};
    if (positive != batch.num_positive[r]) return {TernaryFault::kPositiveCount, r, positive};
    if (negative != batch.num_negative[r]) return {TernaryFault::kNegativeCount, r, negative};
  }
  return {};
}

void ternary_hamming_batch(const TernaryCodes& a, const TernaryColumns& batch,
                           std::span<uint64_t> out) {
  require_output(batch.count, out.size());
  if (a.dimension != batch.dimension) {
    throw QuantizerError::dimension_mismatch(batch.dimension, a.dimension);
  }
  for (uint64_t i = 0; i < batch.count; ++i) out[i] = *ternary_hamming(a, batch.row(i));
}

void ternary_inner_product_batch(const TernaryCodes& a, const TernaryColumns& batch,
                                 std::span<int32_t> out) {
  require_output(batch.count, out.size());
  for (uint64_t i = 0; i < batch.count; ++i) out[i] = ternary_inner_product(a, batch.row(i));
}

void ternary_cosine_similarity_batch(const TernaryCodes& a, const TernaryColumns& batch,
                                     std::span<float> out) {
  require_output(batch.count, out.size());
  for (uint64_t i = 0; i < batch.count; ++i) out[i] = ternary_cosine_similarity(a, batch.row(i));
}

void ternary_asymmetric_inner_product_batch(std::span<const float> query,
                                            const TernaryColumns& batch, std::span<float> out) {
  require_output(batch.count, out.size());
  for (uint64_t i = 0; i < batch.count; ++i) {
    out[i] = ternary_asymmetric_inner_product(query, batch.row(i));
  }
}

void ternary_asymmetric_cosine_distance_batch(std::span<const float> query,
                                              const TernaryColumns& batch, std::span<float> out) {
  require_output(batch.count, out.size());
  const float query_norm = ternary_query_norm(query);  // the same for every record
  for (uint64_t i = 0; i < batch.count; ++i) {
    const TernaryCodes row = batch.row(i);
    out[i] =
        ternary_cosine_distance_from(ternary_asymmetric_inner_product(query, row), query_norm, row);
  }
}

}  // namespace mivo
