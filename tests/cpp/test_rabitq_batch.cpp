// Batch quantization and batch estimates against the per-record calls, bit for bit, on
// every compiled SIMD target (one test case per target, see per_target.h) and on the
// scalar path.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "per_target.h"
#include "rabitq_batch.h"
#include "rabitq_batch_simd.h"

namespace mivo {
namespace {

std::vector<float> gaussians(uint64_t n, uint64_t seed) {
  std::vector<float> v(n);
  for (auto& x : v) x = next_gaussian(seed);
  return v;
}

uint32_t bits(float v) { return std::bit_cast<uint32_t>(v); }

// Owned columns for n records.
struct Columns {
  std::vector<uint8_t> bin, ext;
  std::vector<float> factors;
  MutableRecordColumns cols;

  Columns(uint64_t d, unsigned ex_bits, uint64_t n)
      : bin(n * binary_code_bytes(d)),
        ext(n * extended_code_bytes(d, ex_bits)),
        factors(n * kFactorCount),
        cols{d, ex_bits, n, bin.data(), ext.data(), factors.data()} {}

  // The first n records.
  RecordColumns first(uint64_t n) const {
    RecordColumns v = cols.view();
    v.count = n;
    return v;
  }
};

std::string fields(const QuantizedVector& r) {
  std::string s;
  for (float f : {r.delta, r.vl, r.f_add, r.f_rescale, r.f_error, r.residual_norm}) {
    s += std::to_string(bits(f)) + " ";
  }
  return s + std::to_string(r.ex_bits) + " " + std::to_string(r.dimension);
}

// Dimensions at the byte, block, chunk and vector boundaries; record counts around
// one kernel pass for the target and the bit width, and 1,000 for three small
// dimensions. Under emulation (MIVO_EMULATED) large dimensions keep the counts of one
// or two passes only (and three bit widths, see below).
const uint64_t kDims[] = {1, 7, 8, 9, 63, 64, 65, 127, 129, 768};

bool emulated() { return std::getenv("MIVO_EMULATED") != nullptr; }

std::vector<uint64_t> counts(uint64_t d, unsigned total_bits) {
  const uint64_t pass = rabitq_batch_simd::pass_records(total_bits - 1);
  std::vector<uint64_t> n = {1, pass - 1, pass, pass + 1, 2 * pass + 3};
  if ((d == 9 || d == 65 || d == 129) && !emulated()) n.push_back(1000);
  return n;
}

class RabitqBatch : public PerTarget {};
MIVO_EVERY_TARGET(RabitqBatch);

TEST_P(RabitqBatch, EqualsPerRecordCalls) {
  const float kNaN = std::numeric_limits<float>::quiet_NaN();
  for (uint64_t d : kDims) {
    for (unsigned total = 1; total <= 8; ++total) {
      const std::vector<uint64_t> ns = counts(d, total);
      const uint64_t n_max = ns.back();
      // Emulated, the largest dimension is left out, as in the rotation tests: each
      // quantizer generates a 768 x 768 rotation, which costs many seconds there, for
      // every target and vector length; it runs natively on every x86 target.
      if (d > 129 && emulated()) continue;
      RaBitQQuantizer q(d, d * 8 + total, total);
      const std::vector<float> x = gaussians(n_max * d, d * 10 + total);
      if (total % 2 == 0) q.fit(x, n_max);
      // Rows whose sums meet NaN, overflow, infinity and signed zeros (after the fit).
      std::vector<float> x_odd = x;
      const float kInf = std::numeric_limits<float>::infinity();
      if (n_max >= 5) {
        x_odd[d + d / 2] = kNaN;
        for (uint64_t j = 0; j < d; ++j) x_odd[2 * d + j] *= 1e30f;
        std::fill(&x_odd[3 * d], &x_odd[4 * d], -0.0f);
        x_odd[4 * d] = -kInf;
      }
      Columns odd(d, total - 1, n_max);
      quantize_batch(q, x_odd.data(), odd.cols);
      for (uint64_t i = 0; i < std::min<uint64_t>(n_max, 5); ++i) {
        const QuantizedVector want = q.quantize(std::span<const float>(&x_odd[i * d], d));
        const QuantizedVector got = record_at(odd.cols.view(), i);
        ASSERT_EQ(got.codes, want.codes) << "d=" << d << " bits=" << total << " odd row " << i;
        ASSERT_EQ(fields(got), fields(want)) << "d=" << d << " bits=" << total << " odd row " << i;
      }
      Columns c(d, total - 1, n_max);
      quantize_batch(q, x.data(), c.cols);
      for (uint64_t i = 0; i < n_max; ++i) {
        const QuantizedVector want = q.quantize(std::span<const float>(&x[i * d], d));
        const QuantizedVector got = record_at(c.cols.view(), i);
        ASSERT_EQ(got.codes, want.codes) << "d=" << d << " bits=" << total << " i=" << i;
        ASSERT_EQ(got.binary_codes, want.binary_codes);
        ASSERT_EQ(got.extended_codes, want.extended_codes);
        ASSERT_EQ(fields(got), fields(want));
      }

      // Queries: plain, one NaN component, and values whose products overflow.
      std::vector<std::vector<float>> queries = {gaussians(d, total)};
      queries.push_back(queries[0]);
      queries.back()[d / 2] = kNaN;
      queries.push_back(gaussians(d, total + 99));
      for (float& v : queries.back()) v *= 1e30f;
      for (const auto& query : queries) {
        std::vector<float> want(n_max);
        for (uint64_t i = 0; i < n_max; ++i) {
          want[i] = q.approximate_l2_sqr(query, record_at(c.cols.view(), i));
        }
        for (uint64_t n : ns) {
          for (Kernels k : {Kernels::kBest, Kernels::kScalar}) {
            std::vector<float> l2(n, -1.0f), dist(n, -1.0f);
            approximate_l2_sqr_batch(q, query, c.first(n), l2, k);
            approximate_distance_batch(q, query, c.first(n), dist, k);
            for (uint64_t i = 0; i < n; ++i) {
              ASSERT_EQ(bits(l2[i]), bits(want[i]))
                  << "d=" << d << " bits=" << total << " n=" << n << " i=" << i;
              ASSERT_EQ(bits(dist[i]), bits(std::sqrt(want[i])));
            }
          }
        }
      }
    }
  }
}

// Any bytes are records: codes of every pattern (padding bits set too) and factors of
// any value estimate as the per-record call does on the record they make.
TEST_P(RabitqBatch, ArbitraryBytesEqualPerRecordCalls) {
  for (uint64_t d : {5, 33, 100}) {
    for (unsigned total = 1; total <= 8; ++total) {
      RaBitQQuantizer q(d, 5, total);
      const uint64_t n = counts(d, total)[3];
      Columns c(d, total - 1, n);
      uint64_t state = d * total;
      for (auto* v : {&c.bin, &c.ext}) {
        for (auto& byte : *v) byte = static_cast<uint8_t>(hash_u64(state++));
      }
      c.factors = gaussians(n * kFactorCount, d + total);
      c.cols.factors = c.factors.data();
      const std::vector<float> query = gaussians(d, 3);
      std::vector<float> got(n);
      approximate_l2_sqr_batch(q, query, c.first(n), got);
      for (uint64_t i = 0; i < n; ++i) {
        ASSERT_EQ(bits(got[i]), bits(q.approximate_l2_sqr(query, record_at(c.cols.view(), i))))
            << "d=" << d << " bits=" << total << " i=" << i;
      }
    }
  }
}

}  // namespace
}  // namespace mivo
