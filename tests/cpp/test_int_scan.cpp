// The integer scan: every target's integers (through the estimates) against the scalar
// reference, bit for bit; the integer bounds around the float ones; the pruning search
// against scoring every record; and the float scan for a query that is not finite.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "error.h"
#include "int_scan.h"
#include "int_scan_simd.h"
#include "per_target.h"
#include "sums.h"

namespace mivo {
namespace {

std::vector<float> gaussians(uint64_t n, uint64_t seed) {
  std::vector<float> v(n);
  for (auto& x : v) x = next_gaussian(seed);
  return v;
}

uint32_t bits(float v) { return std::bit_cast<uint32_t>(v); }

bool emulated() { return std::getenv("MIVO_EMULATED") != nullptr; }

// Owned columns of n records, sized exactly, so that a read past the last row is a
// sanitizer's finding.
struct Columns {
  std::vector<uint8_t> bin, ext;
  std::vector<float> factors;
  MutableRecordColumns cols;
  Columns(uint64_t d, unsigned ex_bits, uint64_t n)
      : bin(n * binary_code_bytes(d)),
        ext(n * extended_code_bytes(d, ex_bits)),
        factors(n * kFactorCount),
        cols{d, ex_bits, n, bin.data(), ext.data(), factors.data()} {}
};

struct Bounds {
  std::vector<float> est, lower, upper;
};

Bounds int_bounds(const RaBitQQuantizer& q, std::span<const float> query, unsigned qb,
                  const RecordColumns& batch, Kernels kernels) {
  Bounds b{std::vector<float>(batch.count), std::vector<float>(batch.count),
           std::vector<float>(batch.count)};
  Pacer pacer;
  integer_estimates(q, query, qb, batch, scan_records(batch), b.est, b.lower, b.upper, pacer,
                    kernels);
  return b;
}

class IntScan : public PerTarget {};
MIVO_EVERY_TARGET(IntScan);

// Any bytes are records (padding bits set too), and factors that bound nothing (an
// infinite, NaN or negative f_error, an infinite f_add, a zero f_rescale): estimates
// and bounds of the vector kernels equal the scalar ones, and so do the first stage's
// P1, half-widths, one-bit estimates and least values, for every dimension
// boundary, bit width and query_bits (7 and 8: split tables), and record counts around
// the kernels' blocks of 32 (a first stage starting at the second block too).
TEST_P(IntScan, KernelsEqualScalarReference) {
  const float inf = std::numeric_limits<float>::infinity();
  const float special[][2] = {
      {kFError, inf}, {kFError, std::nanf("")}, {kFError, -1.0f}, {kFAdd, inf}, {kFRescale, 0.0f}};
  for (uint64_t d : {1, 7, 63, 64, 65, 127, 129, 768, 1040, 1041}) {
    if (d >= 768 && emulated()) continue;
    RaBitQQuantizer q(d, d, 1);
    const uint64_t n = 67;
    for (unsigned total = 1; total <= 8; ++total) {
      Columns c(d, total - 1, n);
      uint64_t state = d * 16 + total;
      for (auto* v : {&c.bin, &c.ext}) {
        for (auto& byte : *v) byte = static_cast<uint8_t>(hash_u64(state++));
      }
      c.factors = gaussians(n * kFactorCount, d + total);
      for (uint64_t i = 0; i < n; ++i) {
        float* f = &c.factors[i * kFactorCount];
        f[kFError] = 0.25f;
        if (i % 8 < 5) f[static_cast<int>(special[i % 8][0])] = special[i % 8][1];
      }
      c.cols.factors = c.factors.data();
      const std::vector<float> query = gaussians(d, total);
      for (unsigned qb : {1, 4, 6, 7, 8}) {
        const IntQuery iq = quantize_query(q, query, qb);
        for (uint64_t count : {uint64_t{1}, uint64_t{31}, uint64_t{32}, uint64_t{33}, n}) {
          RecordColumns batch = c.cols.view();
          batch.count = count;
          const Bounds want = int_bounds(q, query, qb, batch, Kernels::kScalar);
          const Bounds got = int_bounds(q, query, qb, batch, Kernels::kBest);
          for (uint64_t i = 0; i < count; ++i) {
            ASSERT_EQ(bits(got.est[i]), bits(want.est[i]))
                << "d=" << d << " bits=" << total << " qb=" << qb << " i=" << i;
            ASSERT_EQ(bits(got.lower[i]), bits(want.lower[i]));
            ASSERT_EQ(bits(got.upper[i]), bits(want.upper[i]));
          }
          const ScanRecords kept = scan_records(batch);
          for (uint64_t begin = 0; begin < count; begin += 32) {
            const uint64_t m = count - begin;
            for (const StageValue what : {StageValue::kEstimate, StageValue::kLeastEstimate,
                                          StageValue::kLeastLower}) {
              if (what == StageValue::kEstimate && total > 1) continue;
              std::vector<int64_t> p_want(m), p_got(m);
              std::vector<float> v_want(m), v_got(m), w_want(m), w_got(m);
              one_bit_stage(iq, batch, kept, begin, m, p_want.data(), what, v_want.data(),
                            w_want.data(), Kernels::kScalar);
              one_bit_stage(iq, batch, kept, begin, m, p_got.data(), what, v_got.data(),
                            w_got.data());
              for (uint64_t j = 0; j < m; ++j) {
                ASSERT_EQ(p_got[j], p_want[j]) << "d=" << d << " qb=" << qb << " i=" << begin + j;
                ASSERT_EQ(bits(w_got[j]), bits(w_want[j]))
                    << "d=" << d << " bits=" << total << " qb=" << qb << " i=" << begin + j;
                ASSERT_EQ(bits(v_got[j]), bits(v_want[j]))
                    << "d=" << d << " bits=" << total << " qb=" << qb << " i=" << begin + j
                    << " value " << static_cast<int>(what);
              }
            }
          }
        }
      }
    }
  }
}

// Quantized data: each record's integer interval holds its float interval (the
// estimate moved by at most the quantization term it was widened by).
TEST(IntScanBounds, HoldTheFloatIntervals) {
  for (uint64_t d : {2, 65, 768}) {
    if (d >= 768 && emulated()) continue;
    for (unsigned total : {1, 4, 8}) {
      const uint64_t n = 200;
      RaBitQQuantizer q(d, 3, total);
      const std::vector<float> x = gaussians(n * d, d + total);
      q.fit(x, n);
      Columns c(d, total - 1, n);
      quantize_batch(q, x.data(), c.cols);
      const std::vector<float> query = gaussians(d, 77);
      std::vector<float> lo(n), hi(n);
      Pacer pacer;
      bounds_batch(q, query, c.cols.view(), lo, hi, pacer);
      for (unsigned qb : {1, 4, 8}) {
        const Bounds b = int_bounds(q, query, qb, c.cols.view(), Kernels::kBest);
        for (uint64_t i = 0; i < n; ++i) {
          ASSERT_LE(b.lower[i], lo[i]) << "d=" << d << " bits=" << total << " qb=" << qb;
          ASSERT_GE(b.upper[i], hi[i]) << "d=" << d << " bits=" << total << " qb=" << qb;
        }
      }
    }
  }
}

// Records whose centred codes all point along the query's quantization error move the
// integer estimate by about half the widening (the quantization errors are spread over
// half a step), as far as any record can on average.
TEST(IntScanBounds, HoldForRecordsAlignedWithTheQuantizationError) {
  for (uint64_t d : {65, 768}) {
    if (d >= 768 && emulated()) continue;
    for (unsigned total : {1, 4, 8}) {
      RaBitQQuantizer q(d, 5, total);
      const std::vector<float> query = gaussians(d, 9);
      for (unsigned qb : {1, 4, 8}) {
        const IntQuery iq = quantize_query(q, query, qb);
        Columns c(d, total - 1, 1);
        for (uint64_t i = 0; i < d; ++i) {
          const float error = iq.rotated[i] - (iq.lo + iq.step * iq.levels[i]);
          if (error > 0.0f) c.bin[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        }
        std::fill(c.ext.begin(), c.ext.end(), uint8_t{0xFF});
        c.factors[kFAdd] = 100.0f;
        c.factors[kFRescale] = -0.5f;
        c.factors[kFError] = 0.01f;
        std::vector<float> lo(1), hi(1);
        Pacer pacer;
        bounds_batch(q, query, c.cols.view(), lo, hi, pacer);
        const Bounds b = int_bounds(q, query, qb, c.cols.view(), Kernels::kBest);
        EXPECT_LE(b.lower[0], lo[0]) << "d=" << d << " bits=" << total << " qb=" << qb;
        EXPECT_GE(b.upper[0], hi[0]) << "d=" << d << " bits=" << total << " qb=" << qb;
      }
    }
  }
}

// Scoring every record: the top k of the integer estimates or, re-ranking, the exact
// top k of the records whose lower bound reaches the k-th smallest upper bound.
std::vector<int64_t> full_scoring(const RaBitQQuantizer& q, std::span<const float> query,
                                  unsigned qb, const RecordColumns& batch, uint64_t k,
                                  const float* vectors) {
  const Bounds b = int_bounds(q, query, qb, batch, Kernels::kScalar);
  TopK upper, result;
  upper.reset(k);
  result.reset(k);
  for (uint64_t i = 0; i < batch.count; ++i) upper.offer(b.upper[i], static_cast<int64_t>(i));
  const float limit = upper.worst().value;
  const uint64_t d = batch.dimension;
  for (uint64_t i = 0; i < batch.count; ++i) {
    if (vectors == nullptr) {
      result.offer(b.est[i], static_cast<int64_t>(i));
    } else if (b.lower[i] <= limit) {
      const std::span<const float> v(vectors + i * d, d);
      result.offer(squared_distance(v, query, -0.0f), static_cast<int64_t>(i));
    }
  }
  std::vector<int64_t> ids;
  for (const Ranked& r : result.take_sorted()) ids.push_back(r.id);
  return ids;
}

TEST(IntScanSearch, PruningEqualsScoringEveryRecord) {
  const uint64_t d = 64, n = 3000, k = 10, m = 8;
  for (unsigned total : {1, 2, 5, 8}) {
    RaBitQQuantizer q(d, 11, total);
    const std::vector<float> x = gaussians(n * d, total);
    q.fit(x, n);
    Columns c(d, total - 1, n);
    quantize_batch(q, x.data(), c.cols);
    const ScanRecords kept = scan_records(c.cols.view());
    const std::vector<float> queries = gaussians(m * d, 100 + total);
    for (const float* vectors : {static_cast<const float*>(nullptr), x.data()}) {
      std::vector<float> dist(m * k);
      std::vector<int64_t> ids(m * k);
      std::vector<uint64_t> cand(m);
      IntSearchStats stats, scalar_stats;
      Pacer pacer;
      integer_search_batch(q, queries, m, c.cols.view(), kept, 6, k, vectors,
                           {dist.data(), ids.data(), vectors ? cand.data() : nullptr}, pacer,
                           Kernels::kBest, &stats);
      // The scalar kernels prune the same records.
      std::vector<float> scalar_dist(m * k);
      std::vector<int64_t> scalar_ids(m * k);
      integer_search_batch(q, queries, m, c.cols.view(), kept, 6, k, vectors,
                           {scalar_dist.data(), scalar_ids.data(), vectors ? cand.data() : nullptr},
                           pacer, Kernels::kScalar, &scalar_stats);
      EXPECT_EQ(scalar_ids, ids);
      EXPECT_EQ(scalar_stats.scored, stats.scored);
      for (uint64_t r = 0; r < m; ++r) {
        const std::span<const float> query(&queries[r * d], d);
        const std::vector<int64_t> got(ids.begin() + r * k, ids.begin() + (r + 1) * k);
        EXPECT_EQ(got, full_scoring(q, query, 6, c.cols.view(), k, vectors))
            << "bits=" << total << " query=" << r << " rerank=" << (vectors != nullptr);
      }
      EXPECT_EQ(stats.records, m * n);
      if (total == 1) {
        EXPECT_EQ(stats.scored, m * n);  // one bit has no second stage
      }
    }
  }
}

// A query that cannot be quantized gets the float scan's bits, and query_bits is checked.
TEST(IntScanSearch, NonFiniteQueryTakesTheFloatScan) {
  const uint64_t d = 33, n = 50, k = 5;
  RaBitQQuantizer q(d, 2, 4);
  const std::vector<float> x = gaussians(n * d, 5);
  Columns c(d, 3, n);
  quantize_batch(q, x.data(), c.cols);
  const RecordColumns batch = c.cols.view();
  std::vector<float> query = gaussians(d, 6);
  query[3] = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> huge = gaussians(d, 7);
  for (float& v : huge) v *= 3e38f;
  for (const auto& qv : {query, huge}) {
    ASSERT_FALSE(quantize_query(q, qv, 4).finite);
    const Bounds b = int_bounds(q, qv, 4, batch, Kernels::kBest);
    std::vector<float> est(n), lo(n), hi(n);
    Pacer pacer;
    approximate_l2_sqr_batch(q, qv, batch, est);
    bounds_batch(q, qv, batch, lo, hi, pacer);
    for (uint64_t i = 0; i < n; ++i) {
      ASSERT_EQ(bits(b.est[i]), bits(est[i]));
      ASSERT_EQ(bits(b.lower[i]), bits(lo[i]));
      ASSERT_EQ(bits(b.upper[i]), bits(hi[i]));
    }
    std::vector<float> d1(k), d2(k);
    std::vector<int64_t> i1(k), i2(k);
    IntSearchStats stats;
    integer_search_batch(q, qv, 1, batch, scan_records(batch), 4, k, nullptr,
                         {d1.data(), i1.data()}, pacer, Kernels::kBest, &stats);
    search_batch(q, qv, 1, batch, k, nullptr, {d2.data(), i2.data()}, pacer);
    EXPECT_EQ(i1, i2);
    for (uint64_t j = 0; j < k; ++j) EXPECT_EQ(bits(d1[j]), bits(d2[j]));
    EXPECT_EQ(stats.float_queries, 1u);
  }
  try {
    quantize_query(q, query, 9);
    FAIL() << "query_bits 9 accepted";
  } catch (const QuantizerError& e) {
    EXPECT_EQ(e.message(), "invalid config: query_bits -- must be 1-8");
  }
}

}  // namespace
}  // namespace mivo
