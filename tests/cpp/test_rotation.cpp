// Tests of the seeded generator and the rotation matrix.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "rotation.h"

namespace mivo {
namespace {

uint32_t bits(float v) { return std::bit_cast<uint32_t>(v); }

// Bit pattern of the f32 that a decimal (the f64 of that f32) denotes.
uint32_t f32_bits(double v) { return std::bit_cast<uint32_t>(static_cast<float>(v)); }

TEST(RotationStream, Seed12345FirstHashesAndDeviates) {
  const uint64_t h1 = hash_u64(12345);
  const uint64_t h2 = hash_u64(h1);
  EXPECT_EQ(static_cast<double>(h1) * 0x1p-64, 0.6025144779987676);
  EXPECT_EQ(static_cast<double>(h2) * 0x1p-64, 0.5312182700773902);

  uint64_t state = 12345;
  const double expected[] = {-0.9873188138008118, -0.0650450587272644, 1.526314616203308,
                             0.9665582776069641};
  for (double e : expected) EXPECT_EQ(bits(next_gaussian(state)), f32_bits(e)) << e;
}

TEST(RotationStream, Seed0DeviatesAndStateChain) {
  uint64_t state = 0;
  const double expected[] = {0.50112384557724, 1.178904414176941, -0.11891839653253555,
                             0.5452960729598999};
  for (double e : expected) {
    const uint64_t before = state;
    EXPECT_EQ(bits(next_gaussian(state)), f32_bits(e)) << e;
    EXPECT_EQ(state, hash_u64(hash_u64(before)));  // state is the second hash
  }
}

TEST(RotationGenerate, Dimension2Seed0BitForBit) {
  const Rotation r = Rotation::generate(2, 0);
  const double expected[2][2] = {{0.39119982719421387, 0.9203057885169983},
                                 {-0.9203057885169983, 0.3911997079849243}};
  for (uint64_t i = 0; i < 2; ++i) {
    for (uint64_t k = 0; k < 2; ++k) EXPECT_EQ(bits(r.at(i, k)), f32_bits(expected[i][k]));
  }
}

TEST(RotationGenerate, Dimension1IsSignOfFirstDraw) {
  for (uint64_t seed : {0ULL, 1ULL, 7ULL, 12345ULL, 99ULL, ~0ULL}) {
    uint64_t state = seed;
    const float first = next_gaussian(state);
    const Rotation r = Rotation::generate(1, seed);
    EXPECT_EQ(bits(r.at(0, 0)), bits(first < 0 ? -1.0f : 1.0f)) << seed;
  }
}

// Modified Gram-Schmidt one row at a time, exactly as the stream defines it; the
// blocked generator must agree with it bit for bit.
std::vector<float> naive_rotation(uint64_t d, uint64_t seed) {
  std::vector<float> out(d * d);
  uint64_t state = seed;
  std::vector<float> v(d);
  for (uint64_t i = 0; i < d; ++i) {
    for (auto& x : v) x = next_gaussian(state);
    for (uint64_t j = 0; j < i; ++j) {
      const float* q = &out[j * d];
      float dot = -0.0f;
      for (uint64_t k = 0; k < d; ++k) dot = dot + v[k] * q[k];
      for (uint64_t k = 0; k < d; ++k) v[k] = v[k] - q[k] * dot;
    }
    float sq = -0.0f;
    for (float x : v) sq = sq + x * x;
    const float norm = std::sqrt(sq);
    for (uint64_t k = 0; k < d; ++k) {
      out[i * d + k] = norm > 1.0e-10f ? v[k] / norm : (k == i ? 1.0f : 0.0f);
    }
  }
  return out;
}

TEST(RotationGenerate, BlockedEqualsRowByRowBitForBit) {
  for (uint64_t d : {1ULL, 5ULL, 31ULL, 32ULL, 33ULL, 64ULL, 65ULL, 97ULL, 150ULL}) {
    const std::vector<float> got = Rotation::generate(d, d + 1000).row_major();
    const std::vector<float> want = naive_rotation(d, d + 1000);
    ASSERT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * sizeof(float))) << d;
  }
}

TEST(RotationGenerate, SameSeedSameMatrixDifferentSeedDifferent) {
  const auto a = Rotation::generate(70, 5).row_major();
  const auto b = Rotation::generate(70, 5).row_major();
  const auto c = Rotation::generate(70, 6).row_major();
  EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float)));
  EXPECT_NE(a, c);
}

TEST(RotationGenerate, RowsAreOrthonormal) {
  for (uint64_t d : {1ULL, 3ULL, 17ULL, 64ULL, 65ULL, 130ULL}) {
    for (uint64_t seed : {0ULL, ~0ULL}) {
      const Rotation r = Rotation::generate(d, seed);
      for (uint64_t i = 0; i < d; ++i) {
        for (uint64_t j = i; j < d; ++j) {
          double dot = 0.0;
          for (uint64_t k = 0; k < d; ++k) dot += double(r.at(i, k)) * double(r.at(j, k));
          // Normalisation comes last, so lengths are tight; one f32 Gram-Schmidt
          // pass leaves up to ~1e-4 of overlap when a late row's residual is short.
          EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, i == j ? 1e-5 : 1e-3) << "d=" << d << " i=" << i << " j=" << j;
        }
      }
    }
  }
}

TEST(RotationApply, PanelRotateMatchesReferenceBitForBit) {
  uint64_t state = 42;
  for (uint64_t d : {1ULL, 2ULL, 31ULL, 63ULL, 64ULL, 65ULL, 127ULL, 128ULL, 129ULL, 200ULL,
                     300ULL}) {
    const Rotation r = Rotation::generate(d, d * 31 + 1);
    const std::vector<float> rm = r.row_major();
    // Padding rows of the last panel must be zero.
    const auto panels = r.panels();
    ASSERT_EQ(panels.size() % (Rotation::kPanelRows * d), 0u);
    for (uint64_t i = d; i < panels.size() / d; ++i) {
      for (uint64_t k = 0; k < d; ++k) {
        const uint64_t p = i / 64, j = i % 64;
        ASSERT_EQ(bits(panels[p * 64 * d + k * 64 + j]), 0u);
      }
    }
    for (int trial = 0; trial < 3; ++trial) {
      std::vector<float> x(d, 0.0f), y(d), ref(d);
      if (trial > 0) {
        for (auto& v : x) v = next_gaussian(state) * 3.0f;
      }
      r.rotate(x.data(), y.data());
      rotate_reference(rm, d, x.data(), ref.data());
      for (uint64_t i = 0; i < d; ++i) {
        ASSERT_EQ(bits(y[i]), bits(ref[i])) << d << " " << i;
        if (trial == 0) {
          ASSERT_EQ(bits(y[i]), 0u);  // zero in, +0.0 out
        }
      }
    }
  }
}

TEST(RotationGenerate, UnallocatableSizesThrowBadAlloc) {
  // 2^24: 2^50 bytes cannot be reserved; 2^31: the byte count overflows 64 bits;
  // 2^58 and 2^62: the floats of one 64-row panel alone overflow (they wrapped to 0).
  for (uint64_t d : {uint64_t{1} << 24, uint64_t{1} << 31, uint64_t{1} << 40, uint64_t{1} << 58,
                     uint64_t{1} << 62, ~uint64_t{0}}) {
    EXPECT_THROW(Rotation::generate(d, 0), std::bad_alloc) << d;
  }
}

}  // namespace
}  // namespace mivo
