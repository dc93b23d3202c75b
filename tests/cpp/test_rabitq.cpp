// Tests of the extended-code search, quantization and distance estimate.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "error.h"
#include "rabitq.h"

namespace mivo {
namespace {

uint32_t bits(float v) { return std::bit_cast<uint32_t>(v); }
uint32_t f32_bits(double v) { return std::bit_cast<uint32_t>(static_cast<float>(v)); }
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::string error_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const QuantizerError& e) {
    return e.message();
  }
  return "no error";
}

struct ExtendedCase {
  std::vector<float> s;
  unsigned b;
  std::vector<uint16_t> want;
};

TEST(ExtendedCodes, WorkedExamplesAndEdgeInputs) {
  const ExtendedCase cases[] = {
      {{0.5f, -0.25f, 0.1f, -0.8f}, 2, {2, 2, 0, 0}},
      {{0.5f, -0.25f, 0.1f, -0.8f}, 3, {5, 5, 1, 0}},
      {{1, 1, 1, 1}, 2, {3, 3, 3, 3}},
      {{3, -1, 0, 2, -0.5f}, 3, {7, 4, 0, 6, 6}},
      // Length at most 2^-23: all zero, signs ignored.
      {{1e-8f, -1e-8f, -1e-9f}, 3, {0, 0, 0}},
      {{0.0f, -0.0f}, 4, {0, 0}},
      // Exact zeros never enter the search and are not complemented.
      {{-0.0f, 1.0f, 0.0f}, 3, {0, 7, 0}},
      // NaN or infinity: every code 0 before complementing.
      {{kNaN, -1.0f, 2.0f}, 2, {0, 3, 0}},
      {{kInf, -1.0f, 2.0f}, 3, {0, 7, 0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(quantize_extended(c.s, c.b), c.want) << "b=" << c.b << " s[0]=" << c.s[0];
  }
}

TEST(ExtendedCodes, SingleComponentTable) {
  const uint16_t positive[] = {1, 3, 7, 15, 30, 55, 106};
  const uint16_t negative[] = {0, 0, 0, 0, 1, 8, 21};
  for (unsigned b = 1; b <= 7; ++b) {
    for (float v : {0.3f, 1.0f, 1234.5f}) {
      const float pos[] = {v};
      const float neg[] = {-v};
      EXPECT_EQ(quantize_extended(pos, b), std::vector<uint16_t>{positive[b - 1]}) << b;
      EXPECT_EQ(quantize_extended(neg, b), std::vector<uint16_t>{negative[b - 1]}) << b;
    }
  }
}

TEST(ExtendedCodes, RescaleFactorDegenerateInputsGiveOne) {
  const std::vector<float> cases[] = {{}, {0.0f, 0.0f}, {kNaN, 0.0f}, {1e-17f, 0.0f}};
  for (const auto& o : cases) EXPECT_EQ(best_rescale_factor(o, 3), 1.0);
}

TEST(ExtendedCodes, EqualMagnitudesGetEqualCodesAndRepeatsAreStable) {
  uint64_t state = 77;
  std::vector<float> s(50);
  for (auto& v : s) v = next_gaussian(state);
  s[10] = 0.7f;
  s[20] = -0.7f;
  for (unsigned b = 1; b <= 7; ++b) {
    const auto k = quantize_extended(s, b);
    const uint16_t mask = static_cast<uint16_t>((1u << b) - 1);
    EXPECT_EQ(k[10], mask - k[20]) << b;
    EXPECT_EQ(k, quantize_extended(s, b));
    for (uint16_t c : k) EXPECT_LE(c, mask);
  }
}

struct FactorExpect {
  unsigned total_bits;
  std::vector<uint16_t> codes;
  uint8_t binary;
  std::vector<uint8_t> extended;
  double f_rescale, f_error, delta, vl;
};

TEST(RaBitQQuantize, WorkedExampleFromRotatedResidual) {
  const float s[] = {0.5f, -0.25f, 0.1f, -0.8f};
  const FactorExpect cases[] = {
      {3, {6, 2, 4, 0}, 0x05, {0x0A}, -0.43016761541366577, 0.20792627334594727,
       0.21309523284435272, -0.7458333373069763},
      {1, {1, 0, 1, 0}, 0x05, {}, -2.3333332538604736, 1.3851525783538818, 0.8250000476837158,
       -0.4125000238418579},
  };
  for (const auto& c : cases) {
    const QuantizedVector r = quantize_rotated(s, c.total_bits);
    EXPECT_EQ(r.codes, c.codes);
    EXPECT_EQ(r.binary_codes, std::vector<uint8_t>{c.binary});
    EXPECT_EQ(r.extended_codes, c.extended);
    EXPECT_EQ(r.dimension, 4u);
    EXPECT_EQ(r.ex_bits, c.total_bits - 1);
    EXPECT_EQ(bits(r.f_add), f32_bits(0.9625000357627869));
    EXPECT_EQ(bits(r.residual_norm), f32_bits(0.981070876121521));
    EXPECT_EQ(bits(r.f_rescale), f32_bits(c.f_rescale));
    EXPECT_EQ(bits(r.f_error), f32_bits(c.f_error));
    EXPECT_EQ(bits(r.delta), f32_bits(c.delta));
    EXPECT_EQ(bits(r.vl), f32_bits(c.vl));
  }
}

TEST(RaBitQQuantize, ZeroResidualAndSingleDimension) {
  for (unsigned tb = 1; tb <= 8; ++tb) {
    const std::vector<float> zero(9, 0.0f);
    const QuantizedVector r = quantize_rotated(zero, tb);
    EXPECT_EQ(r.codes, std::vector<uint16_t>(9, static_cast<uint16_t>(1u << (tb - 1))));
    EXPECT_EQ(bits(r.f_add), 0u);
    EXPECT_EQ(bits(r.residual_norm), 0u);
    EXPECT_EQ(bits(r.f_rescale), bits(-0.0f));
    EXPECT_EQ(bits(r.f_error), 0u);
    EXPECT_EQ(bits(r.delta), 0u);
    EXPECT_EQ(bits(r.vl), bits(-0.0f));
    // -0.0 counts as non-negative.
    EXPECT_EQ(quantize_rotated(std::vector<float>{-0.0f}, tb).codes[0] >> (tb - 1), 1);
    EXPECT_EQ(bits(quantize_rotated(std::vector<float>{-2.5f}, tb).f_error), 0u);
  }
}

TEST(RaBitQQuantize, PackedFormsAgreeWithCombinedCodes) {
  uint64_t state = 5;
  for (uint64_t d : {1ULL, 7ULL, 10ULL, 33ULL}) {
    std::vector<float> s(d);
    for (auto& v : s) v = next_gaussian(state);
    for (unsigned tb = 1; tb <= 8; ++tb) {
      const unsigned b = tb - 1;
      const QuantizedVector r = quantize_rotated(s, tb);
      ASSERT_EQ(r.binary_codes.size(), (d + 7) / 8);
      ASSERT_EQ(r.extended_codes.size(), (d * b + 7) / 8);
      ASSERT_EQ(r.codes.size(), d);
      for (uint64_t i = 0; i < d; ++i) {
        EXPECT_EQ(r.codes[i] >> b, (r.binary_codes[i / 8] >> (i % 8)) & 1);
        uint32_t ext = 0;
        for (unsigned t = 0; t < b; ++t) {
          const uint64_t p = i * b + t;
          ext |= ((r.extended_codes[p / 8] >> (p % 8)) & 1u) << t;
        }
        EXPECT_EQ(r.codes[i] & ((1u << b) - 1), ext) << d << " " << tb << " " << i;
      }
      // Padding bits are clear.
      if (d % 8) {
        EXPECT_EQ(r.binary_codes.back() >> (d % 8), 0);
      }
      if ((d * b) % 8) {
        EXPECT_EQ(r.extended_codes.back() >> ((d * b) % 8), 0);
      }
    }
  }
}

TEST(RaBitQQuantizer, ConfigValidation) {
  struct Case {
    uint64_t dimension, total_bits;
    const char* message;
  };
  const Case cases[] = {
      {0, 4, "invalid config: dimension -- must be > 0"},
      {0, 0, "invalid config: dimension -- must be > 0"},
      {8, 0, "invalid config: total_bits -- must be 1-8"},
      {8, 9, "invalid config: total_bits -- must be 1-8"},
      {uint64_t{1} << 24, 9, "invalid config: total_bits -- must be 1-8"},
      {8, 1, "no error"},
      {8, 8, "no error"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(error_text([&] { RaBitQQuantizer(c.dimension, 1, c.total_bits); }), c.message);
  }
  EXPECT_THROW(RaBitQQuantizer(uint64_t{1} << 24, 1, 4), std::bad_alloc);
}

TEST(RaBitQQuantizer, FitAndSetCentroid) {
  RaBitQQuantizer q(2, 0, 4);
  EXPECT_FALSE(q.has_centroid());
  const float rows[] = {1, 2, 3, 4, 5};
  q.fit(std::span(rows, 4), 2);
  ASSERT_EQ(q.centroid().size(), 2u);
  EXPECT_EQ(q.centroid()[0], 2.0f);
  EXPECT_EQ(q.centroid()[1], 3.0f);

  // Failures leave the centroid as it was.
  EXPECT_EQ(error_text([&] { q.fit(rows, 2); }), "dimension mismatch: expected 4, got 5");
  EXPECT_EQ(error_text([&] { q.fit(rows, uint64_t{1} << 63); }),
            "invalid config: num_vectors -- num_vectors * dimension overflows");
  EXPECT_EQ(error_text([&] { q.set_centroid(std::span(rows, 3)); }),
            "dimension mismatch: expected 2, got 3");
  EXPECT_EQ(error_text([&] { q.fit({}, 0); }), "invalid config: num_vectors -- must be > 0");
  EXPECT_EQ(q.centroid()[0], 2.0f);
  EXPECT_EQ(q.centroid()[1], 3.0f);

  q.set_centroid(std::span(rows + 2, 2));
  EXPECT_EQ(q.centroid()[1], 4.0f);
}

TEST(RaBitQQuantizer, EndToEndDimension3Seed0) {
  const RaBitQQuantizer q(3, 0, 4);
  const float x[] = {1.0f, 2.0f, 3.0f};
  float s[3];
  q.rotation().rotate(x, s);
  const double want_s[] = {1.9449496269226074, 2.653160333633423, -1.7826697826385498};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(bits(s[i]), f32_bits(want_s[i]));

  const QuantizedVector r = q.quantize(x);
  EXPECT_EQ(r.codes, (std::vector<uint16_t>{15, 15, 1}));
  EXPECT_EQ(r.binary_codes, std::vector<uint8_t>{0x03});
  EXPECT_EQ(r.extended_codes, (std::vector<uint8_t>{0x7F, 0x00}));  // 7, 7, 1 at 3 bits each
  EXPECT_EQ(bits(r.f_add), f32_bits(14.000000953674316));
  EXPECT_EQ(bits(r.residual_norm), f32_bits(3.7416574954986572));
  EXPECT_EQ(bits(r.f_rescale), f32_bits(-0.607728898525238));
  EXPECT_EQ(bits(r.f_error), f32_bits(1.4435659646987915));
  EXPECT_EQ(bits(r.delta), f32_bits(0.29772651195526123));
  EXPECT_EQ(bits(r.vl), f32_bits(-2.2329487800598145));

  struct Case {
    std::vector<float> query;
    double l2;
  };
  const Case cases[] = {{{0.5f, -1.0f, 2.0f}, 11.086531639099121},
                        {{1.0f, 2.0f, 3.0f}, 0.0},
                        {{0.0f, 0.0f, 0.0f}, 14.000000953674316}};
  for (const auto& c : cases) {
    const float l2 = q.approximate_l2_sqr(c.query, r);
    EXPECT_EQ(bits(l2), f32_bits(c.l2));
    EXPECT_EQ(bits(q.approximate_distance(c.query, r)), bits(std::sqrt(l2)));
  }
  EXPECT_EQ(bits(q.approximate_distance(cases[0].query, r)), f32_bits(3.3296444416046143));
}

TEST(RaBitQQuantizer, EstimateEdgeCasesAndErrors) {
  RaBitQQuantizer q(8, 3, 3);
  const float c[] = {1, -1, 2, 0, 0.5f, 3, -2, 1};
  q.set_centroid(c);
  const float x[] = {0.3f, 1, 2, -1, 4, 0, 1, 1};
  const QuantizedVector rx = q.quantize(x);
  // Query at the centroid: ip is zero, result f_add. Record of the centroid: qn.
  EXPECT_EQ(bits(q.approximate_l2_sqr(c, rx)), bits(rx.f_add));
  float qn = -0.0f;
  for (int i = 0; i < 8; ++i) qn = qn + (x[i] - c[i]) * (x[i] - c[i]);
  EXPECT_EQ(bits(q.approximate_l2_sqr(x, q.quantize(c))), bits(qn));

  EXPECT_EQ(error_text([&] { q.quantize(std::span(x, 7)); }),
            "dimension mismatch: expected 8, got 7");
  EXPECT_EQ(error_text([&] { q.approximate_l2_sqr(std::vector<float>(9), rx); }),
            "dimension mismatch: expected 8, got 9");
  const RaBitQQuantizer other(4, 3, 3);
  const QuantizedVector small = other.quantize(std::span(x, 4));
  EXPECT_EQ(error_text([&] { q.approximate_l2_sqr(x, small); }),
            "dimension mismatch: expected 8, got 4");

  QuantizedVector truncated = rx;
  truncated.codes.resize(5);
  try {
    q.approximate_l2_sqr(x, truncated);
    ADD_FAILURE() << "no internal failure";
  } catch (const InternalFailure& e) {
    EXPECT_EQ(e.message(), "index out of bounds: the len is 5 but the index is 5");
  }
}

TEST(RaBitQQuantizer, EstimateErrorShrinksWithBits) {
  constexpr uint64_t d = 128, n = 300, nq = 10;
  uint64_t state = 2024;
  std::vector<float> data(n * d), queries(nq * d);
  for (auto& v : data) v = next_gaussian(state);
  for (auto& v : queries) v = next_gaussian(state);

  double previous = 1e9;
  for (uint64_t tb = 1; tb <= 8; ++tb) {
    RaBitQQuantizer q(d, 17, tb);
    q.fit(data, n);
    double rel = 0.0;
    for (uint64_t i = 0; i < n; ++i) {
      const std::span<const float> x(&data[i * d], d);
      const QuantizedVector r = q.quantize(x);
      for (uint64_t j = 0; j < nq; ++j) {
        const std::span<const float> y(&queries[j * d], d);
        double truth = 0.0;
        for (uint64_t k = 0; k < d; ++k) truth += double(x[k] - y[k]) * double(x[k] - y[k]);
        rel += std::fabs(q.approximate_l2_sqr(y, r) - truth) / truth;
      }
    }
    rel /= double(n * nq);
    RecordProperty("rel_error_bits_" + std::to_string(tb), std::to_string(rel));
    EXPECT_LT(rel, previous) << "total_bits " << tb;
    previous = rel;
  }
  EXPECT_LT(previous, 0.002);
}

TEST(RaBitQQuantizer, ReusedQueryGivesTheBitsOfAFreshOne) {
  const std::vector<float> a = {0.5f, -1.0f, 2.0f, 0.25f};
  const std::vector<float> b = {0.5f, -1.0f, 2.0f, -0.0f};
  const std::vector<float> centroid = {1.0f, 0.0f, -1.0f, 0.5f};
  RaBitQQuantizer q(4, 7, 3);
  const QuantizedVector rec = q.quantize(std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f});
  // Expected values from quantizers that see a single query each, computed before
  // the sequence below so that they leave no entry it could hit.
  const auto fresh = [&](const std::vector<float>& x, bool centred) {
    RaBitQQuantizer f(4, 7, 3);
    if (centred) f.set_centroid(centroid);
    return bits(f.approximate_l2_sqr(x, rec));
  };
  const uint32_t plain_a = fresh(a, false), plain_b = fresh(b, false), centred_a = fresh(a, true);
  ASSERT_NE(plain_a, centred_a);
  ASSERT_NE(plain_a, plain_b);

  RaBitQQuantizer twin(4, 7, 3);  // the same rotation under another cache key
  twin.set_centroid(centroid);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(bits(q.approximate_l2_sqr(a, rec)), plain_a);
    EXPECT_EQ(bits(q.approximate_l2_sqr(a, rec)), plain_a);
    EXPECT_EQ(bits(twin.approximate_l2_sqr(a, rec)), centred_a);
    EXPECT_EQ(bits(q.approximate_l2_sqr(a, rec)), plain_a);
    EXPECT_EQ(bits(q.approximate_l2_sqr(b, rec)), plain_b);  // same values but -0.0
  }
  // A change of centroid must not reuse the residual rotated under the old one.
  EXPECT_EQ(bits(q.approximate_l2_sqr(a, rec)), plain_a);
  q.set_centroid(centroid);
  EXPECT_EQ(bits(q.approximate_l2_sqr(a, rec)), centred_a);
  q.fit(std::vector<float>{0.0f, 0.0f, 0.0f, 0.0f}, 1);  // a zero centroid leaves a as it is
  EXPECT_EQ(bits(q.approximate_l2_sqr(a, rec)), plain_a);
}

}  // namespace
}  // namespace mivo
