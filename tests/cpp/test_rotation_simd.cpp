// The vector kernels of the rotation against the scalar loops, bit for bit, on every
// SIMD target that is compiled in and runs on this CPU.
#include <gtest/gtest.h>

#include <hwy/targets.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "only_target.h"
#include "rotation.h"
#include "target_check.h"

namespace mivo {
namespace {

bool same_bits(const float* a, const float* b, uint64_t n) {
  return std::memcmp(a, b, n * sizeof(float)) == 0;
}

// Sizes around the lane counts (4, 8, 16), the generation blocks (16, 32, 64) and
// the 64-row panels, plus a few drawn from the stream. Under emulation (the arm64
// leg sets MIVO_EMULATED) sizes above 300 are left out: past a few panels they add no
// new boundary, only minutes.
std::vector<uint64_t> sizes(uint64_t max, std::vector<uint64_t> fixed, int drawn) {
  uint64_t state = max;
  for (int i = 0; i < drawn; ++i) fixed.push_back(1 + hash_u64(state++) % max);
  if (std::getenv("MIVO_EMULATED") != nullptr) {
    std::erase_if(fixed, [](uint64_t d) { return d > 300; });
  }
  return fixed;
}

TEST(RotationSimd, RotateEqualsScalarOnEveryTarget) {
  const auto ds = sizes(2049, {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 63, 64, 65, 127, 129,
                               191, 200, 1000, 1536, 2049},
                        8);
  ASSERT_FALSE(hwy::SupportedAndGeneratedTargets().empty());
  const float scales[] = {1.0f, 3e-38f, 1e18f};  // plain, subnormal products, large sums
  for (uint64_t d : ds) {
    const Rotation r = Rotation::generate(d, d);
    uint64_t state = d * 7;
    std::vector<float> x(d), want(d), got(d);
    for (int trial = 0; trial < 4; ++trial) {
      for (auto& v : x) v = trial == 0 ? -0.0f : next_gaussian(state) * scales[trial - 1];
      r.rotate(x.data(), want.data(), Kernels::kScalar);
      for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
        OnlyTarget only(target);
        expect_dispatched(target);
        std::fill(got.begin(), got.end(), 1.0f);
        r.rotate(x.data(), got.data());
        ASSERT_TRUE(same_bits(got.data(), want.data(), d))
            << hwy::TargetName(target) << " d=" << d << " trial=" << trial;
        // Five copies through rotate_rows: one block of four and one vector alone.
        std::vector<float> xs(5 * d), ys(5 * d, 1.0f);
        for (int v = 0; v < 5; ++v) std::copy(x.begin(), x.end(), xs.begin() + v * d);
        r.rotate_rows(xs.data(), 5, ys.data());
        for (int v = 0; v < 5; ++v) {
          ASSERT_TRUE(same_bits(&ys[v * d], want.data(), d))
              << hwy::TargetName(target) << " d=" << d << " rotate_rows vector " << v;
        }
      }
    }
  }
}

TEST(RotationSimd, GenerateEqualsScalarOnEveryTarget) {
  const auto ds = sizes(300, {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100,
                              127, 128, 129, 193, 257, 300, 517},
                        6);
  for (uint64_t d : ds) {
    const uint64_t seed = d * 0x9e3779b97f4a7c15ULL;
    const Rotation want = Rotation::generate(d, seed, Kernels::kScalar);
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
      OnlyTarget only(target);
      expect_dispatched(target);
      const Rotation got = Rotation::generate(d, seed);
      ASSERT_EQ(got.panels().size(), want.panels().size());
      ASSERT_TRUE(same_bits(got.panels().data(), want.panels().data(), want.panels().size()))
          << hwy::TargetName(target) << " d=" << d;
    }
  }
}

}  // namespace
}  // namespace mivo
