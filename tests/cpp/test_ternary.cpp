// Tests of the ternary codes, the ternary quantizer and the ternary similarity measures.
#include "ternary.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "error.h"

namespace mivo {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();
using Floats = std::vector<float>;
using Ints = std::vector<int>;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }
double wide(float f) { return static_cast<double>(f); }

// Builds a vector with the given values through the real quantizer (raw input, default thresholds).
TernaryVector make(const Ints& values) {
  const Floats x(values.begin(), values.end());
  return TernaryQuantizer(x.size(), 0.3f, -0.3f, false, std::nullopt).quantize(x);
}

Ints ints(const TernaryVector& v) {
  const auto list = v.to_list();
  return Ints(list.begin(), list.end());
}

TEST(TernaryEncoding, LayoutSparsityAndReads) {
  EXPECT_EQ(Ints({code_value(0), code_value(1), code_value(2), code_value(3)}), Ints({0, 1, -1, 0}));
  const TernaryVector v = make({1, 0, -1, 1, -1});
  EXPECT_EQ(v.data, (std::vector<uint8_t>{0x61, 0x02}));
  EXPECT_EQ(v.num_positive + 10 * v.num_negative, 22u);
  EXPECT_EQ(v.memory_bytes(), 2u);
  EXPECT_EQ(ints(v), Ints({1, 0, -1, 1, -1}));
  EXPECT_EQ(v.get(4), -1);
  EXPECT_THROW(v.get(5), InternalFailure);
  EXPECT_EQ(TernaryVector({{0x0F}, 2, 0, 0, 0.0f}).get(1), 0);  // 11 reads as 0

  const std::pair<Ints, double> sparsities[] = {
      {{1, 0, -1, 1, -1}, 0.19999998807907104}, {{1, 1, 1, 1, -1, -1, -1, 0}, 0.125},
      {{0, 0, 0}, 1.0}, {{1, -1, 1}, 0.0}};
  for (const auto& [values, expected] : sparsities) EXPECT_EQ(wide(make(values).sparsity()), expected);

  const TernaryVector empty = make({});
  EXPECT_TRUE(std::isnan(empty.sparsity()));
  EXPECT_TRUE(empty.data.empty() && empty.to_list().empty());
  EXPECT_EQ(bits(empty.original_norm), bits(-0.0f));
  EXPECT_THROW(empty.get(0), InternalFailure);
}

TEST(TernaryQuantizerFit, QuantileRanksInSinglePrecision) {
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  const struct { float s; uint64_t n, lo, hi; } cases[] = {
      {0.6f, 10, 1, 8},       // 0.19999999 * 10 = 1.9999999, not 2
      {0.3f, 10, 3, 6},        {0.5f, 100, 25, 75},
      {0.1f, 20, 9, 11},       // 0.45 * 20 rounds up to 9 in single precision; 8 in double
      {0.01f, 200, 99, 101},   // the upper rank likewise: 101, not 100
      {1.0f, 10, 0, 9},        {0.0f, 7, 3, 3},
      {2.0f, 10, 0, 9},        // negative rank saturates to 0, upper limited to n - 1
      {-1.0f, 10, 9, 0},       {kNaN, 10, 0, 0},   {0.5f, 1, 0, 0},
      {-3.0f, max, max - 1, 0},  // rank beyond 2^64 saturates, then n - 1
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ternary_quantile_ranks(c.s, c.n), std::make_pair(c.lo, c.hi)) << c.s << " " << c.n;
  }
}

TEST(TernaryQuantizerFit, TotalOrder) {
  const float denorm = std::numeric_limits<float>::denorm_min();
  const float ascending[] = {std::bit_cast<float>(0xFFFFFFFFu), -kNaN, -kInf, -1.0f, -denorm, -0.0f,
                             0.0f, denorm, 1.0f, kInf, std::bit_cast<float>(0x7F800001u), kNaN};
  for (size_t i = 1; i < std::size(ascending); ++i) {
    EXPECT_LT(float_order_key(ascending[i - 1]), float_order_key(ascending[i])) << i;
  }
  // The column mean is +0.0, so the centred column keeps its signed zeros (-0, +0, -0, +0).
  const struct { float s; float low, high; } cases[] = {
      {1.0f, -0.0f, 0.0f}, {0.5f, -0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}};  // ranks 0/3, 1/3, 2/2
  for (const auto& c : cases) {
    TernaryQuantizer q(1, 0.3f, -0.3f, false, c.s);
    q.fit(Floats{-0.0f, 0.0f, -0.0f, 0.0f}, 4);
    const ThresholdPair t = q.fitted_thresholds()->at(0);
    EXPECT_EQ(std::make_pair(bits(t.low), bits(t.high)), std::make_pair(bits(c.low), bits(c.high)));
  }
}

TEST(TernaryQuantizerFit, MeansAndThresholds) {
  Floats x;  // column 0 is 0..9 (mean 4.5), column 1 is (9-j)^2 (mean 28.5)
  for (int j = 0; j < 10; ++j) x.insert(x.end(), {float(j), float((9 - j) * (9 - j))});
  TernaryQuantizer q(2, 0.3f, -0.3f, false, 0.6f);
  q.fit(x, 10);
  EXPECT_EQ(*q.mean(), Floats({4.5f, 28.5f}));
  const auto& t = *q.fitted_thresholds();  // ranks 1 and 8
  EXPECT_EQ(Floats({t[0].low, t[0].high, t[1].low, t[1].high}),
            Floats({1 - 4.5f, 8 - 4.5f, 1 - 28.5f, 64 - 28.5f}));

  TernaryQuantizer extremes(2, 0.3f, -0.3f, false, 1.0f);  // no training row codes non-zero
  extremes.fit(x, 10);
  for (int j = 0; j < 10; ++j) EXPECT_EQ(ints(extremes.quantize({&x[2 * j], 2})), Ints({0, 0}));

  TernaryQuantizer one(3, 0.3f, -0.3f, false, 0.5f);  // thresholds 0.0: code by sign of difference
  one.fit(Floats{1, 2, 3}, 1);
  EXPECT_EQ(ints(one.quantize(Floats{2, 2, 2})), Ints({1, 0, -1}));

  TernaryQuantizer plain(2, 0.3f, -0.3f, true, std::nullopt);
  plain.fit(Floats{1, 1, 3, 1}, 2);
  EXPECT_EQ(*plain.mean(), Floats({2, 1}));
  EXPECT_FALSE(plain.fitted_thresholds().has_value());
  EXPECT_EQ(ints(plain.quantize(Floats{2, 1})), Ints({0, 0}));
  try {  // no rows: refused (a NaN mean would code everything 0), the mean stays
    plain.fit({}, 0);
    ADD_FAILURE();
  } catch (const QuantizerError& e) {
    EXPECT_EQ(e.message(), "invalid config: num_vectors -- must be > 0");
  }
  EXPECT_EQ(*plain.mean(), Floats({2, 1}));

  TernaryQuantizer empty(0, 0.3f, -0.3f, true, 0.5f);  // no dimension, nothing to select
  empty.fit({}, 0);
  EXPECT_TRUE(empty.mean()->empty() && empty.fitted_thresholds()->empty());
}

TEST(TernaryQuantizerFit, FailuresLeaveStateUnchanged) {
  TernaryQuantizer q(3, 0.3f, -0.3f, false, 0.5f);
  q.fit(Floats{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 4);
  const auto state = [&] {
    Floats s = *q.mean();
    for (const ThresholdPair& p : *q.fitted_thresholds()) s.insert(s.end(), {p.low, p.high});
    return s;
  };
  const Floats before = state();
  const struct { size_t len; uint64_t n; const char* message; } cases[] = {
      {29, 10, "dimension mismatch: expected 30, got 29"},
      {40, 10, "dimension mismatch: expected 30, got 40"},
      {0, 0, "invalid config: num_vectors -- must be > 0 when target_sparsity is set"},
      {0, uint64_t{1} << 63, "invalid config: num_vectors -- num_vectors * dimension overflows"},
  };
  for (const auto& c : cases) {
    try {
      q.fit(Floats(c.len, 0.0f), c.n);
      ADD_FAILURE() << c.message;
    } catch (const QuantizerError& e) {
      EXPECT_EQ(e.message(), c.message);
    }
    EXPECT_EQ(state(), before);
  }
  try {
    q.quantize(Floats(2, 1.0f));
    ADD_FAILURE();
  } catch (const QuantizerError& e) {
    EXPECT_EQ(e.message(), "dimension mismatch: expected 3, got 2");
  }
}

TEST(TernaryQuantizerQuantize, ThresholdsAndNormalisation) {
  EXPECT_EQ(std::make_pair(bits(0.3f), bits(-0.3f)), std::make_pair(0x3E99999Au, 0xBE99999Au));
  const float tiny = 1e-10f;
  const struct { float high, low; bool normalize; Floats x; Ints codes; float norm; } cases[] = {
      {0.3f, -0.3f, false,  // a value equal to a threshold codes 0; one ulp beyond does not
       {0.3f, std::nextafter(0.3f, kInf), -0.3f, std::nextafter(-0.3f, -kInf), kNaN, 0.2f, 0.5f},
       {0, 1, 0, -1, 0, 0, 1}, kNaN},
      {-1.0f, 1.0f, false, {-0.5f, 2, -1, -2, 1, kNaN}, {1, 1, -1, -1, 1, 0}, kNaN},  // low > high
      {0.3f, -0.3f, true, {3, 4}, {1, 1}, 5.0f},
      {0.3f, -0.3f, true, {0, 0}, {0, 0}, 0.0f},
      {0.3f, -0.3f, true, {0.2f, 0.05f}, {1, 0}, std::sqrt(0.2f * 0.2f + 0.05f * 0.05f)},
      {0.3f, -0.3f, true, {tiny}, {0}, tiny},  // a norm of exactly 1e-10 is not normalised
      {0.3f, -0.3f, true, {std::nextafter(tiny, kInf)}, {1}, std::nextafter(tiny, kInf)},
      {0.3f, -0.3f, true, {}, {}, -0.0f},
  };
  for (const auto& c : cases) {
    const TernaryVector v = TernaryQuantizer(c.x.size(), c.high, c.low, c.normalize, std::nullopt)
                                .quantize(c.x);
    EXPECT_EQ(ints(v), c.codes);
    if (!std::isnan(c.norm)) {
      EXPECT_EQ(bits(v.original_norm), bits(c.norm));
    }
  }
}

TEST(TernarySimilarity, WorkedExamples) {
  const TernaryVector a = make({1, -1, 0, 1});
  const TernaryVector b = make({1, 1, 0, -1});
  EXPECT_EQ(ternary_hamming(a, b), 2u);
  EXPECT_EQ(ternary_inner_product(a, b), -1);
  EXPECT_EQ(wide(ternary_cosine_similarity(a, b)), -0.3333333432674408);
  const Floats query = {0.5f, -2.0f, 3.0f, 1.0f};
  EXPECT_EQ(ternary_asymmetric_inner_product(query, a), 3.5f);
  EXPECT_EQ(wide(ternary_asymmetric_cosine_distance(query, a)), 0.46469658613204956);

  // Zero codes still multiply: inf * 0.0 is NaN, in a full byte and in the tail alike.
  EXPECT_TRUE(std::isnan(ternary_asymmetric_inner_product(Floats{kInf, 1}, make({0, 1}))));
  EXPECT_TRUE(std::isnan(ternary_asymmetric_inner_product(Floats{1, kInf, 1, 1, 1}, make({1, 0, 1, 1, 1}))));
  EXPECT_TRUE(std::isnan(ternary_asymmetric_cosine_distance(Floats{kNaN, 1}, make({1, 1}))));

  const std::pair<Ints, double> self[] = {
      {{1}, 1.0}, {{1, -1}, 1.0}, {{1, -1, 1}, 1.0}, {{1, -1, 1, 1, 0}, 1.0}, {{1, -1, 1, 1, -1}, 1.0},
      {{1, -1, 1, 1, -1, 0, 1}, 0.9999999403953552},  // sqrt(6) squared rounds above 6
      {{0, 0, 0}, 0.0}};
  for (const auto& [values, cosine] : self) {
    const TernaryVector v = make(values);
    EXPECT_EQ(ternary_hamming(v, v), 0u);
    EXPECT_EQ(uint64_t(ternary_inner_product(v, v)), v.num_positive + v.num_negative);
    EXPECT_EQ(wide(ternary_cosine_similarity(v, v)), cosine) << values.size();
  }
}

TEST(TernarySimilarity, NeutralResults) {
  const TernaryVector a = make({1, -1, 1});
  const TernaryVector b = make({1, -1, 1, 1});
  const Floats q3 = {1, 2, 3};
  EXPECT_EQ(ternary_hamming(a, b), std::nullopt);
  EXPECT_EQ(ternary_inner_product(a, b), 0);
  EXPECT_EQ(bits(ternary_cosine_similarity(a, b)), 0u);
  EXPECT_EQ(bits(ternary_asymmetric_inner_product(q3, b)), 0u);
  EXPECT_EQ(ternary_asymmetric_cosine_distance(q3, b), 1.0f);
  EXPECT_EQ(ternary_asymmetric_cosine_distance(q3, make({0, 0, 0})), 1.0f);
  EXPECT_EQ(ternary_asymmetric_cosine_distance(Floats{0, 0, 0}, a), 1.0f);

  const TernaryVector e = make({});
  EXPECT_EQ(ternary_hamming(e, e), 0u);
  EXPECT_EQ(ternary_inner_product(e, e), 0);
  EXPECT_EQ(bits(ternary_cosine_similarity(e, e)), 0u);
  EXPECT_EQ(bits(ternary_asymmetric_inner_product({}, e)), 0u);
  EXPECT_EQ(ternary_asymmetric_cosine_distance({}, e), 1.0f);
}

TEST(TernarySimilarity, PackedMatchesUnpacked) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> value(-1, 1);
  std::uniform_real_distribution<float> real(-4.0f, 4.0f);
  for (size_t dim : {1, 3, 4, 7, 8, 9, 31, 32, 33, 63, 100, 257}) {
    for (int round = 0; round < 20; ++round) {
      Ints va(dim), vb(dim);
      Floats query(dim);
      for (size_t i = 0; i < dim; ++i) va[i] = value(rng), vb[i] = value(rng), query[i] = real(rng);
      const TernaryVector a = make(va), b = make(vb);
      ASSERT_EQ(ints(a), va);
      uint64_t hamming = 0;
      int32_t ip = 0;
      float asym = 0.0f;
      for (size_t i = 0; i < dim; ++i) {
        hamming += va[i] != vb[i];
        ip += va[i] * vb[i];
        const float product = query[i] * float(va[i]);
        asym = asym + product;
      }
      EXPECT_EQ(ternary_hamming(a, b), hamming) << dim;
      EXPECT_EQ(ternary_inner_product(a, b), ip) << dim;
      EXPECT_EQ(bits(ternary_asymmetric_inner_product(query, a)), bits(asym)) << dim;
    }
  }
}

}  // namespace
}  // namespace mivo
