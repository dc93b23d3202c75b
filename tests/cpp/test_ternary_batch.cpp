// Ternary batches: the column checks, and every measure against the per-record call.
#include "ternary_batch.h"

#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "error.h"
#include "packed_rows.h"

namespace mivo {
namespace {

struct PaddingCase {
  std::vector<uint8_t> rows;
  uint64_t row_bytes, used_bits;
  std::optional<uint64_t> first;
};

TEST(PackedRows, FirstRowWithPaddingBits) {
  const std::vector<PaddingCase> cases = {
      {{0xFF, 0x01, 0xFF, 0x03}, 2, 9, 1},     // bit 9 of row 1
      {{0xFF, 0x01, 0xFF, 0x01}, 2, 9, {}},    // only the 9 codes
      {{0x00, 0x00, 0x80, 0x00}, 2, 7, 1},     // bit 7, the last of byte 0
      {{0x00, 0x01, 0x00, 0x00}, 2, 8, 0},     // a whole byte of padding
      {{0xFF, 0xFF}, 2, 16, {}},               // none
      {{0x01, 0x00}, 1, 0, 0},                 // zero codes: every bit is padding
      {{}, 0, 0, {}},                          // empty rows
  };
  for (const PaddingCase& c : cases) {
    const uint64_t count = c.row_bytes ? c.rows.size() / c.row_bytes : 2;
    EXPECT_EQ(first_row_with_padding_bits(c.rows.data(), count, c.row_bytes, c.used_bits), c.first)
        << c.row_bytes << " bytes, " << c.used_bits << " bits";
  }
}

// Random records of dimension d (each code 00, 01 or 10) and their columns.
struct Records {
  std::vector<TernaryVector> records;
  std::vector<uint8_t> codes;
  std::vector<uint64_t> positive, negative;
  std::vector<float> norms;
  TernaryColumns columns;

  Records(uint64_t d, uint64_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<float> x(d);
    TernaryQuantizer q(d, 0.3f, -0.3f, false, std::nullopt);
    for (uint64_t i = 0; i < n; ++i) {
      for (float& v : x) v = static_cast<float>(static_cast<int>(rng() % 3) - 1);
      records.push_back(q.quantize(x));
    }
    codes.resize(n * ternary_code_bytes(d));
    positive.resize(n), negative.resize(n), norms.resize(n);
    const MutableTernaryColumns out{d, n, codes.data(), positive.data(), negative.data(),
                                    norms.data()};
    for (uint64_t i = 0; i < n; ++i) store_ternary_record(records[i], out, i);
    columns = out.view();
  }
};

TEST(TernaryBatch, ColumnChecks) {
  Records r(5, 3, 1);
  EXPECT_EQ(check_ternary_columns(r.columns).fault, TernaryFault::kNone);
  r.codes[3] |= 0x04;  // field 5 of row 1: padding
  EXPECT_EQ(check_ternary_columns(r.columns).fault, TernaryFault::kPaddingBits);
  EXPECT_EQ(check_ternary_columns(r.columns).row, 1u);
  r.codes[3] &= 0x03;
  r.codes[4] |= 0x30;  // field 2 of row 2: 11
  EXPECT_EQ(check_ternary_columns(r.columns).fault, TernaryFault::kCode11);
  EXPECT_EQ(check_ternary_columns(r.columns).row, 2u);
  r.codes[4] &= 0xCF;
  r.negative[0] += 1;
  const TernaryColumnCheck wrong = check_ternary_columns(r.columns);
  EXPECT_EQ(wrong.fault, TernaryFault::kNegativeCount);
  EXPECT_EQ(wrong.counted, r.negative[0] - 1);
}

TEST(TernaryBatch, EveryMeasureEqualsPerRecord) {
  for (uint64_t d : {0, 1, 3, 4, 5, 63, 64, 65, 129}) {
    const Records batch(d, 11, d);
    const Records others(d, 2, d + 100);
    const Records shorter(d + 1, 1, d);
    std::vector<float> query(d, 0.0f);
    for (uint64_t i = 0; i < d; ++i) query[i] = static_cast<float>(i % 7) * 0.37f - 1.0f;
    if (d > 0) query[0] = std::numeric_limits<float>::infinity();
    std::vector<uint64_t> hamming(11);
    std::vector<int32_t> ip(11);
    std::vector<float> cosine(11), asym_ip(11), asym_cos(11);
    for (const TernaryVector* a : {&others.records[0], &batch.records[3], &shorter.records[0]}) {
      ternary_inner_product_batch(codes_of(*a), batch.columns, ip);
      ternary_cosine_similarity_batch(codes_of(*a), batch.columns, cosine);
      for (uint64_t i = 0; i < 11; ++i) {
        const TernaryVector& b = batch.records[i];
        EXPECT_EQ(ternary_record_at(batch.columns, i).data, b.data);
        EXPECT_EQ(ip[i], ternary_inner_product(*a, b)) << d;
        EXPECT_EQ(std::bit_cast<uint32_t>(cosine[i]),
                  std::bit_cast<uint32_t>(ternary_cosine_similarity(*a, b)));
      }
      if (a->dimension != d) {
        EXPECT_THROW(ternary_hamming_batch(codes_of(*a), batch.columns, hamming), QuantizerError);
        continue;
      }
      ternary_hamming_batch(codes_of(*a), batch.columns, hamming);
      for (uint64_t i = 0; i < 11; ++i) EXPECT_EQ(hamming[i], *ternary_hamming(*a, batch.records[i]));
    }
    for (size_t length : {d, d + 1}) {
      query.resize(length, 0.5f);
      ternary_asymmetric_inner_product_batch(query, batch.columns, asym_ip);
      ternary_asymmetric_cosine_distance_batch(query, batch.columns, asym_cos);
      for (uint64_t i = 0; i < 11; ++i) {
        const TernaryVector& b = batch.records[i];
        EXPECT_EQ(std::bit_cast<uint32_t>(asym_ip[i]),
                  std::bit_cast<uint32_t>(ternary_asymmetric_inner_product(query, b)));
        EXPECT_EQ(std::bit_cast<uint32_t>(asym_cos[i]),
                  std::bit_cast<uint32_t>(ternary_asymmetric_cosine_distance(query, b)));
      }
    }
  }
}

}  // namespace
}  // namespace mivo
