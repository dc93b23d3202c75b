// Batch quantization and batch estimates against the per-record calls, bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "rabitq_batch.h"

namespace mivo {
namespace {

std::vector<float> gaussians(uint64_t n, uint64_t seed) {
  std::vector<float> v(n);
  for (auto& x : v) x = next_gaussian(seed);
  return v;
}

// Columns sized for n records of q.
struct Columns {
  std::vector<uint8_t> bin, ext;
  std::vector<float> factors;
  MutableRecordColumns cols;

  Columns(uint64_t d, unsigned ex_bits, uint64_t n)
      : bin(n * binary_code_bytes(d)), ext(n * extended_code_bytes(d, ex_bits)),
        factors(n * kFactorCount), cols{d, ex_bits, n, bin.data(), ext.data(), factors.data()} {}
};

TEST(RabitqBatch, EqualsPerRecordCalls) {
  for (uint64_t d : {1, 7, 9, 64, 129}) {
    for (unsigned bits = 1; bits <= 8; ++bits) {
      RaBitQQuantizer q(d, d + bits, bits);
      const uint64_t n = 37;
      const std::vector<float> x = gaussians(n * d, d * 10 + bits);
      q.fit(x, n);
      Columns c(d, bits - 1, n);
      quantize_batch(q, x.data(), c.cols);
      const std::vector<float> query = gaussians(d, bits);
      std::vector<float> l2(n), dist(n);
      approximate_l2_sqr_batch(q, query, c.cols.view(), l2);
      approximate_distance_batch(q, query, c.cols.view(), dist);
      for (uint64_t i = 0; i < n; ++i) {
        const QuantizedVector want = q.quantize(std::span<const float>(&x[i * d], d));
        const QuantizedVector got = record_at(c.cols.view(), i);
        ASSERT_EQ(got.codes, want.codes) << d << " " << bits << " " << i;
        ASSERT_EQ(got.binary_codes, want.binary_codes);
        ASSERT_EQ(got.extended_codes, want.extended_codes);
        ASSERT_EQ(std::bit_cast<uint32_t>(got.f_error), std::bit_cast<uint32_t>(want.f_error));
        ASSERT_EQ(std::bit_cast<uint32_t>(l2[i]),
                  std::bit_cast<uint32_t>(q.approximate_l2_sqr(query, want)));
        ASSERT_EQ(std::bit_cast<uint32_t>(dist[i]),
                  std::bit_cast<uint32_t>(q.approximate_distance(query, want)));
      }
    }
  }
}

}  // namespace
}  // namespace mivo
