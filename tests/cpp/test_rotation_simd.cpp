// The vector kernels of the rotation against the scalar loops, bit for bit, on every
// SIMD target that is compiled in and runs on this CPU (one test case per target, see
// per_target.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "per_target.h"
#include "rotation.h"

namespace mivo {
namespace {

bool same_bits(const float* a, const float* b, uint64_t n) {
  return std::memcmp(a, b, n * sizeof(float)) == 0;
}

// Sizes around the lane counts (4, 8, 16), the generation blocks (16, 32, 64) and
// the 64-row panels, plus a few drawn from the stream below `max`. Past a few panels a
// size adds no new boundary, only time (generation is cubic in d, and each target's
// case generates its own matrices): the drawn sizes stay below 300, and under
// emulation (the arm64 leg sets MIVO_EMULATED) the larger fixed ones are left out too.
std::vector<uint64_t> sizes(uint64_t max, std::vector<uint64_t> fixed, int drawn) {
  uint64_t state = max;
  for (int i = 0; i < drawn; ++i) fixed.push_back(1 + hash_u64(state++) % max);
  if (std::getenv("MIVO_EMULATED") != nullptr) {
    std::erase_if(fixed, [](uint64_t d) { return d > 300; });
  }
  return fixed;
}

class RotationSimd : public PerTarget {};
MIVO_EVERY_TARGET(RotationSimd);

TEST_P(RotationSimd, RotateEqualsScalar) {
  // The sums of 1000 to 2049 terms are the long ones.
  const auto ds = sizes(300, {1,  2,  3,  4,  5,   7,   8,   9,   15,   16,   17,  31,
                              33, 63, 64, 65, 127, 129, 191, 200, 1000, 1536, 2049},
                        8);
  const float scales[] = {1.0f, 3e-38f, 1e18f};  // plain, subnormal products, large sums
  for (uint64_t d : ds) {
    const Rotation r = Rotation::generate(d, d);
    uint64_t state = d * 7;
    std::vector<float> x(d), want(d), got(d);
    for (int trial = 0; trial < 4; ++trial) {
      for (auto& v : x) v = trial == 0 ? -0.0f : next_gaussian(state) * scales[trial - 1];
      r.rotate(x.data(), want.data(), Kernels::kScalar);
      std::fill(got.begin(), got.end(), 1.0f);
      r.rotate(x.data(), got.data());
      ASSERT_TRUE(same_bits(got.data(), want.data(), d)) << "d=" << d << " trial=" << trial;
      // Nine multiples through rotate_rows: two blocks of four and one vector alone.
      std::vector<float> xs(9 * d), ys(9 * d, 1.0f), want_v(d);
      for (int v = 0; v < 9; ++v) {
        for (uint64_t k = 0; k < d; ++k) xs[v * d + k] = x[k] * static_cast<float>(v + 1);
      }
      r.rotate_rows(xs.data(), 9, ys.data());
      for (int v = 0; v < 9; ++v) {
        r.rotate(&xs[v * d], want_v.data(), Kernels::kScalar);
        ASSERT_TRUE(same_bits(&ys[v * d], want_v.data(), d)) << "d=" << d << " rotate_rows " << v;
      }
    }
  }
}

TEST_P(RotationSimd, GenerateEqualsScalar) {
  const auto ds = sizes(300, {1,  2,  3,  4,  5,   7,   8,   9,   15,  16,  17,  31, 32,
                              33, 63, 64, 65, 100, 127, 128, 129, 193, 257, 300, 517},
                        6);
  for (uint64_t d : ds) {
    const uint64_t seed = d * 0x9e3779b97f4a7c15ULL;
    const Rotation want = Rotation::generate(d, seed, Kernels::kScalar);
    const Rotation got = Rotation::generate(d, seed);
    ASSERT_EQ(got.panels().size(), want.panels().size());
    ASSERT_TRUE(same_bits(got.panels().data(), want.panels().data(), want.panels().size()))
        << "d=" << d;
  }
}

}  // namespace
}  // namespace mivo
