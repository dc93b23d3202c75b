// The bucket-sorted scale search against the plain priority-queue search it replaced:
// codes, scale and every quantization factor must agree bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <queue>
#include <utility>
#include <vector>

#include "bit_codes.h"
#include "rabitq.h"
#include "rotation.h"

namespace mivo {
namespace {

// ---- The priority-queue implementation, kept verbatim as the reference. ----

constexpr float kRefF32Eps = 0x1p-23f;
constexpr double kRefF64Eps = 0x1p-52;
constexpr double kRefTightStart[9] = {0.0, 0.15, 0.20, 0.52, 0.59, 0.71, 0.75, 0.77, 0.81};

int32_t reference_trunc_sat(double y) {
  if (std::isnan(y)) return 0;
  if (y >= 2147483648.0) return INT32_MAX;
  if (y <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(y);
}

double reference_best_rescale_factor(std::span<const float> o, unsigned b) {
  const int32_t mask = (int32_t{1} << b) - 1;
  const uint64_t d = o.size();
  float max_o = 0.0f;
  for (const float v : o) {
    if (v > max_o) max_o = v;
  }
  if (max_o <= kRefF64Eps) return 1.0;
  const double t_end = static_cast<double>(mask + 10) / static_cast<double>(max_o);
  const double t_start = kRefTightStart[b < 8 ? b : 8] * t_end;
  std::vector<int32_t> k(d);
  double den = static_cast<double>(d) * 0.25;
  double num = 0.0;
  for (uint64_t i = 0; i < d; ++i) {
    k[i] = reference_trunc_sat(t_start * static_cast<double>(o[i]) + 1e-5);
    den = den + static_cast<double>(int64_t{k[i]} * (int64_t{k[i]} + 1));
    num = num + (static_cast<double>(k[i]) + 0.5) * static_cast<double>(o[i]);
  }
  using Entry = std::pair<double, uint64_t>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue;
  for (uint64_t i = 0; i < d; ++i) {
    if (o[i] > 0.0f) queue.emplace(static_cast<double>(k[i] + 1) / static_cast<double>(o[i]), i);
  }
  double best_t = t_start;
  double best = 0.0;
  while (!queue.empty()) {
    const auto [key, i] = queue.top();
    queue.pop();
    if (key >= t_end) continue;
    const double oi = static_cast<double>(o[i]);
    k[i] = k[i] + 1;
    if (k[i] < mask && o[i] > 0.0f) {
      const double next = static_cast<double>(k[i] + 1) / oi;
      if (next < t_end) queue.emplace(next, i);
    }
    den = den + (static_cast<double>(k[i]) + static_cast<double>(k[i]));
    num = num + oi;
    const double ip = num / std::sqrt(den);
    if (ip > best) {
      best = ip;
      best_t = key;
    }
  }
  if (best_t > 0.0) return best_t;
  return std::max(t_start, kRefF64Eps);
}

std::vector<uint16_t> reference_quantize_extended(std::span<const float> s, unsigned b) {
  const int32_t mask = (int32_t{1} << b) - 1;
  const uint64_t d = s.size();
  std::vector<uint16_t> k(d, 0);
  std::vector<float> o(d);
  float sq = -0.0f;
  for (uint64_t i = 0; i < d; ++i) {
    o[i] = std::fabs(s[i]);
    sq = sq + o[i] * o[i];
  }
  const float norm = std::sqrt(sq);
  if (norm <= kRefF32Eps) return k;
  for (uint64_t i = 0; i < d; ++i) o[i] = o[i] / norm;
  const double t = reference_best_rescale_factor(o, b);
  for (uint64_t i = 0; i < d; ++i) {
    int32_t c = reference_trunc_sat(t * static_cast<double>(o[i]) + 1e-5);
    if (c >= mask) c = mask;
    if (s[i] < 0.0f) c = mask - c;
    k[i] = static_cast<uint16_t>(c);
  }
  return k;
}

QuantizedVector reference_quantize_rotated(std::span<const float> s, unsigned total_bits) {
  const uint64_t d = s.size();
  const unsigned b = total_bits - 1;
  std::vector<uint8_t> bits(d);
  for (uint64_t i = 0; i < d; ++i) bits[i] = s[i] >= 0.0f ? 1 : 0;
  std::vector<uint16_t> ext = b >= 1 ? reference_quantize_extended(s, b) : std::vector<uint16_t>(d, 0);
  QuantizedVector r;
  r.dimension = d;
  r.ex_bits = static_cast<uint8_t>(b);
  r.codes.resize(d);
  for (uint64_t i = 0; i < d; ++i) r.codes[i] = static_cast<uint16_t>((bits[i] << b) + ext[i]);
  const float m = std::ldexp(1.0f, static_cast<int>(b)) + -0.5f;
  float sum_s = -0.0f;
  float sum_u = -0.0f;
  float sum_v = -0.0f;
  for (uint64_t i = 0; i < d; ++i) {
    const float u = static_cast<float>(r.codes[i]) - m;
    sum_s = sum_s + s[i] * s[i];
    sum_u = sum_u + u * u;
    sum_v = sum_v + s[i] * u;
  }
  const float w = (std::fabs(sum_v) > kRefF32Eps || std::isnan(sum_v))
                      ? sum_v
                      : std::numeric_limits<float>::infinity();
  r.f_add = sum_s;
  r.residual_norm = std::sqrt(sum_s);
  r.f_rescale = (-2.0f * sum_s) / w;
  r.f_error = 0.0f;
  if (d >= 2) {
    const float us = sum_u * sum_s;
    const float ww = w * w;
    const float rho = (us / ww) - 1.0f;
    if (rho > 0.0f && std::isfinite(rho)) {
      float g = rho / static_cast<float>(d - 1);
      g = std::max(g, 0.0f);
      const float q = std::sqrt(g);
      const float p = 1.9f * std::sqrt(sum_s);
      r.f_error = (q * p) + (q * p);
    }
  }
  const float nu = std::sqrt(sum_u);
  const float ns = std::sqrt(sum_s);
  float den = nu * ns;
  if (!(den > kRefF32Eps)) den = kRefF32Eps;
  float cosv = sum_v / den;
  if (-1.0f > cosv) cosv = -1.0f;
  if (1.0f < cosv) cosv = 1.0f;
  r.delta = (nu > kRefF32Eps || std::isnan(nu)) ? (ns / nu) * cosv : 0.0f;
  r.vl = r.delta * (-m);
  r.binary_codes.resize(packed_size(d));
  pack_bits(bits, r.binary_codes);
  if (b >= 1) {
    r.extended_codes.assign(packed_size(d * b), 0);
    const uint32_t mask = (uint32_t{1} << b) - 1;
    for (uint64_t i = 0; i < d; ++i) {
      const uint64_t pos = i * b;
      const uint32_t v = (ext[i] & mask) << (pos % 8);
      r.extended_codes[pos / 8] |= static_cast<uint8_t>(v);
      if (v > 0xff) r.extended_codes[pos / 8 + 1] |= static_cast<uint8_t>(v >> 8);
    }
  }
  return r;
}

// ---- Inputs. ----

uint64_t next_u64(uint64_t& state) { return state = hash_u64(state + 0x9e3779b97f4a7c15ULL); }
double unit(uint64_t& state) { return static_cast<double>(next_u64(state) >> 11) * 0x1p-53; }

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr int kKinds = 12;

// Vector number `kind` of a family meant to hit ties, degenerate norms and
// non-finite values as well as ordinary data.
std::vector<float> make_input(int kind, uint64_t d, uint64_t& st) {
  std::vector<float> s(d);
  const float levels[] = {0.0f, -0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 2.0f, 0.25f, -3.0f};
  for (uint64_t i = 0; i < d; ++i) {
    const float g = next_gaussian(st);
    const float u = static_cast<float>(2.0 * unit(st) - 1.0);
    switch (kind) {
      case 0: s[i] = g; break;
      case 1: s[i] = u; break;
      case 2: s[i] = levels[next_u64(st) % 9]; break;                    // heavy ties
      case 3: s[i] = (next_u64(st) & 1) ? 0.7f : -0.7f; break;           // one magnitude
      case 4: s[i] = (next_u64(st) % 3 == 0) ? g : ((i & 1) ? 0.0f : -0.0f); break;
      case 5: s[i] = g * 1e-20f; break;                                  // below 2^-23 in norm
      case 6: s[i] = g * 1e-18f; break;                                  // squares underflow
      case 7: s[i] = g * 3e18f; break;                                   // squares overflow
      case 8: s[i] = g * (i % 17 == 0 ? 1e4f : 1e-3f); break;            // spikes over dust
      case 9: s[i] = static_cast<float>(static_cast<int>(8 * u)); break; // small integers
      case 10: s[i] = std::ldexp(g, static_cast<int>(next_u64(st) % 60) - 30); break;
      default: s[i] = g; break;
    }
  }
  if (kind == 11 && d > 0) s[next_u64(st) % d] = (next_u64(st) & 1) ? kNaN : -kInf;
  return s;
}

void expect_same_record(const QuantizedVector& got, const QuantizedVector& want) {
  EXPECT_EQ(got.codes, want.codes);
  EXPECT_EQ(got.binary_codes, want.binary_codes);
  EXPECT_EQ(got.extended_codes, want.extended_codes);
  EXPECT_EQ(got.dimension, want.dimension);
  EXPECT_EQ(got.ex_bits, want.ex_bits);
  const float QuantizedVector::* fields[] = {&QuantizedVector::delta,   &QuantizedVector::vl,
                                            &QuantizedVector::f_add,   &QuantizedVector::f_rescale,
                                            &QuantizedVector::f_error, &QuantizedVector::residual_norm};
  for (auto f : fields) EXPECT_EQ(std::bit_cast<uint32_t>(got.*f), std::bit_cast<uint32_t>(want.*f));
}

std::vector<uint64_t> dimensions() {
  std::vector<uint64_t> ds = {1, 2, 3, 4, 5, 7, 8, 9, 16, 31, 33, 64, 100, 127, 128, 129, 255, 256,
                              257, 500, 768, 1024, 1100};
  uint64_t st = 5;
  for (int j = 0; j < 8; ++j) ds.push_back(1 + next_u64(st) % 1100);
  return ds;
}

// ---- Comparisons. ----

TEST(ExtendedSearch, CodesAndScaleMatchTheQueueSearch) {
  uint64_t st = 2024;
  for (const uint64_t d : dimensions()) {
    for (int kind = 0; kind < kKinds; ++kind) {
      const std::vector<float> s = make_input(kind, d, st);
      // Normalised magnitudes as the quantizer forms them, raw ones and some negated.
      std::vector<float> o(d);
      float sq = -0.0f;
      for (uint64_t i = 0; i < d; ++i) sq = sq + std::fabs(s[i]) * std::fabs(s[i]);
      for (uint64_t i = 0; i < d; ++i) o[i] = std::fabs(s[i]) / std::sqrt(sq);
      std::vector<float> raw(s);
      for (auto& v : raw) v = std::fabs(v);
      std::vector<float> negated(o);  // negative entries never step
      for (uint64_t i = 0; i < d; i += 3) negated[i] = -negated[i];
      for (unsigned b = 1; b <= 7; ++b) {
        SCOPED_TRACE(::testing::Message() << "d=" << d << " kind=" << kind << " b=" << b);
        EXPECT_EQ(quantize_extended(s, b), reference_quantize_extended(s, b));
        for (const auto& in : {o, raw, negated}) {
          EXPECT_EQ(std::bit_cast<uint64_t>(best_rescale_factor(in, b)),
                    std::bit_cast<uint64_t>(reference_best_rescale_factor(in, b)));
        }
      }
    }
  }
}

TEST(ExtendedSearch, RecordsMatchBitForBit) {
  uint64_t st = 99;
  for (const uint64_t d : dimensions()) {
    for (int kind = 0; kind < kKinds; ++kind) {
      const std::vector<float> s = make_input(kind, d, st);
      for (unsigned total_bits = 1; total_bits <= 8; ++total_bits) {
        SCOPED_TRACE(::testing::Message() << "d=" << d << " kind=" << kind << " bits=" << total_bits);
        expect_same_record(quantize_rotated(s, total_bits), reference_quantize_rotated(s, total_bits));
      }
    }
  }
}

// Magnitudes crowded into a sliver of scales fill single buckets; equal magnitudes
// tie on every scale and must pop in dimension order.
TEST(ExtendedSearch, CrowdedAndTiedScales) {
  uint64_t st = 7;
  for (const uint64_t d : {40u, 300u, 1100u}) {
    std::vector<float> s(d);
    for (auto& v : s) v = 1.0f + static_cast<float>(unit(st)) * 1e-4f;
    for (uint64_t i = 0; i < d; i += 3) s[i] = s[0];
    s[d / 2] = 5.0f;
    for (unsigned b = 1; b <= 7; ++b) {
      EXPECT_EQ(quantize_extended(s, b), reference_quantize_extended(s, b)) << d << " " << b;
      EXPECT_EQ(std::bit_cast<uint64_t>(best_rescale_factor(s, b)),
                std::bit_cast<uint64_t>(reference_best_rescale_factor(s, b)));
    }
  }
}

// Magnitudes that are small multiples of one value tie on many scales between
// different dimensions (code 2 of x at the scale of code 4 of 2x, ...). The order of
// such ties decides the rounding of the running sums; inputs like these have shown
// a different scale when ties are visited in the wrong order.
TEST(ExtendedSearch, MultiplesOfOneMagnitude) {
  uint64_t st = 31;
  for (int trial = 0; trial < 3000; ++trial) {
    const uint64_t d = 2 + next_u64(st) % 200;
    const unsigned b = 1 + static_cast<unsigned>(next_u64(st) % 7);
    const float x = static_cast<float>(0.01 + 0.99 * unit(st));
    std::vector<float> o(d);
    for (auto& v : o) {
      const bool loose = next_u64(st) % 3 == 0;
      v = loose ? static_cast<float>(0.01 + 0.99 * unit(st)) : x * static_cast<float>(1 + next_u64(st) % 6);
    }
    ASSERT_EQ(std::bit_cast<uint64_t>(best_rescale_factor(o, b)),
              std::bit_cast<uint64_t>(reference_best_rescale_factor(o, b)))
        << "trial " << trial;
  }
}

TEST(ExtendedSearch, EdgeMagnitudes) {
  const std::vector<float> cases[] = {
      {kInf, 1.0f}, {1.0f, kNaN, 2.0f}, {-0.0f, 0.0f, 1e-45f, 1.0f}, {3e38f, 1.0f, 1e-30f},
      {1e-45f, 2e-45f}, {-1.0f, 0.5f, 0.25f}, {1e30f, 1e30f, 5e29f},
  };
  for (unsigned b = 1; b <= 7; ++b) {
    // A first step exactly at t_end = (2^b + 9) / max is dropped, not taken.
    const float top = static_cast<float>((1 << b) + 9);
    const std::vector<float> o = {top, 1.0f, 1.0f, 0.5f};
    EXPECT_EQ(std::bit_cast<uint64_t>(best_rescale_factor(o, b)),
              std::bit_cast<uint64_t>(reference_best_rescale_factor(o, b)));
    EXPECT_EQ(quantize_extended(o, b), reference_quantize_extended(o, b));
  }
  for (const auto& o : cases) {
    for (unsigned b = 1; b <= 7; ++b) {
      EXPECT_EQ(std::bit_cast<uint64_t>(best_rescale_factor(o, b)),
                std::bit_cast<uint64_t>(reference_best_rescale_factor(o, b)));
      EXPECT_EQ(quantize_extended(o, b), reference_quantize_extended(o, b));
    }
  }
}

}  // namespace
}  // namespace mivo
