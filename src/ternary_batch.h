// Batches of ternary records held as columns, their validation, and the five
// similarity measures of one operand against every record of a batch.
#pragma once

#include <cstdint>
#include <span>

#include "ternary.h"

namespace mivo {

// A read-only view of `count` ternary records of one dimension, one row per record.
struct TernaryColumns {
  uint64_t dimension = 0;
  uint64_t count = 0;
  const uint8_t* codes = nullptr;          // count x ternary_code_bytes(dimension)
  const uint64_t* num_positive = nullptr;  // count
  const uint64_t* num_negative = nullptr;  // count
  const float* original_norm = nullptr;    // count

  // Row i (< count) as the measures read it.
  TernaryCodes row(uint64_t i) const {
    const uint64_t width = ternary_code_bytes(dimension);
    return {{codes + i * width, width}, dimension, num_positive[i], num_negative[i]};
  }

  // Rows begin .. begin + n (begin + n <= count): how long calls walk a batch in chunks.
  TernaryColumns slice(uint64_t begin, uint64_t n) const {
    return {dimension,
            n,
            codes + begin * ternary_code_bytes(dimension),
            num_positive + begin,
            num_negative + begin,
            original_norm + begin};
  }
};

// The same shapes, writable: what store_ternary_record fills.
struct MutableTernaryColumns {
  uint64_t dimension = 0;
  uint64_t count = 0;
  uint8_t* codes = nullptr;
  uint64_t* num_positive = nullptr;
  uint64_t* num_negative = nullptr;
  float* original_norm = nullptr;

  TernaryColumns view() const {
    return {dimension, count, codes, num_positive, num_negative, original_norm};
  }
};

// Record i (< batch.count) as the per-record type, equal in every field to the record
// the row was made from.
TernaryVector ternary_record_at(const TernaryColumns& batch, uint64_t i);

// Writes record r (of the columns' dimension) into row i of out.
void store_ternary_record(const TernaryVector& r, const MutableTernaryColumns& out, uint64_t i);

// What can be wrong with columns that come from outside: fields past the dimension
// that are not 00, a field 11 (which no quantizer writes), or a count that is not the
// number of +1 (01) or -1 (10) fields of its row.
enum class TernaryFault { kNone, kPaddingBits, kCode11, kPositiveCount, kNegativeCount };

// The first fault met, row by row (in each row in the order of the enum), its row and,
// for a count, the number of fields that the codes hold.
struct TernaryColumnCheck {
  TernaryFault fault = TernaryFault::kNone;
  uint64_t row = 0;
  uint64_t counted = 0;
};
TernaryColumnCheck check_ternary_columns(const TernaryColumns& batch);

// out[i] = ternary_hamming(a, row i). The per-record call gives no count for different
// dimensions; here that is a DimensionMismatch (expected: the batch's dimension).
void ternary_hamming_batch(const TernaryCodes& a, const TernaryColumns& batch,
                           std::span<uint64_t> out);

// out[i] = ternary_inner_product(a, row i) (0 for every row when the dimensions differ).
void ternary_inner_product_batch(const TernaryCodes& a, const TernaryColumns& batch,
                                 std::span<int32_t> out);

// out[i] = ternary_cosine_similarity(a, row i).
void ternary_cosine_similarity_batch(const TernaryCodes& a, const TernaryColumns& batch,
                                     std::span<float> out);

// out[i] = ternary_asymmetric_inner_product(query, row i).
void ternary_asymmetric_inner_product_batch(std::span<const float> query,
                                            const TernaryColumns& batch, std::span<float> out);

// out[i] = ternary_asymmetric_cosine_distance(query, row i).
void ternary_asymmetric_cosine_distance_batch(std::span<const float> query,
                                              const TernaryColumns& batch, std::span<float> out);

}  // namespace mivo
