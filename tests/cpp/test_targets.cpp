// The SIMD targets the tests cover. The set compiled in is pinned per architecture and
// Highway version, so a build change that drops a target fails here instead of
// quietly testing less. Every compiled target that runs on this CPU must dispatch to
// itself at its own vector size, and without pinning the kernels must run the best of
// them. A leg that promises more names it in the environment, and the run must match
// exactly: MIVO_EXPECT_TARGETS (the target names, space-separated) and
// MIVO_EXPECT_SVE_BITS (the SVE vector length).
#include <gtest/gtest.h>

#include <hwy/targets.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "per_target.h"
#include "rotation_simd.h"
#include "simd_ops.h"

namespace mivo {
namespace {

std::string names_of(const std::vector<int64_t>& targets) {
  std::string out;
  for (const int64_t target : targets)
    out += (out.empty() ? "" : " ") + std::string(hwy::TargetName(target));
  return out;
}

std::vector<int64_t> runnable_targets() {
  std::vector<int64_t> out;
  for (const int64_t target : compiled_targets()) {
    if (hwy::SupportedTargets() & target) out.push_back(target);
  }
  return out;
}

// The targets Highway compiles by default (plus AVX3_DL, which the build asks for), best
// first, for the version and architectures the legs build with.
const char* pinned_compiled_targets() {
#if HWY_MAJOR == 1 && HWY_MINOR == 3 && HWY_ARCH_X86_64
  return "AVX10_2 AVX3_SPR AVX3_ZEN4 AVX3_DL AVX3 AVX2 SSE4 SSSE3 SSE2";
#elif HWY_MAJOR == 1 && HWY_MINOR == 3 && HWY_ARCH_ARM_A64
  return "SVE2_128 SVE_256 SVE2 SVE NEON_BF16 NEON NEON_WITHOUT_AES";
#else
  return nullptr;
#endif
}

// On x86, the best of the targets up to AVX3_DL whose features the CPU reports, asked
// of the compiler's runtime rather than of Highway, so a detection or build fault that
// leaves a capable CPU on a lesser target shows. Each entry lists what Highway requires
// of its target (besides the entries below it) that the CPU could lack.
int64_t x86_floor_target() {
#if HWY_ARCH_X86_64
  __builtin_cpu_init();
  const auto has = [](std::initializer_list<bool> features) {
    return std::all_of(features.begin(), features.end(), [](bool f) { return f; });
  };
  const bool sse4 =
      has({__builtin_cpu_supports("ssse3") != 0, __builtin_cpu_supports("sse4.2") != 0,
           __builtin_cpu_supports("pclmul") != 0, __builtin_cpu_supports("aes") != 0});
  const bool avx2 =
      sse4 && has({__builtin_cpu_supports("avx2") != 0, __builtin_cpu_supports("bmi") != 0,
                   __builtin_cpu_supports("bmi2") != 0, __builtin_cpu_supports("fma") != 0});
  const bool avx3 =
      avx2 &&
      has({__builtin_cpu_supports("avx512f") != 0, __builtin_cpu_supports("avx512vl") != 0,
           __builtin_cpu_supports("avx512dq") != 0, __builtin_cpu_supports("avx512bw") != 0});
  const bool avx3_dl =
      avx3 &&
      has({__builtin_cpu_supports("avx512vnni") != 0, __builtin_cpu_supports("vpclmulqdq") != 0,
           __builtin_cpu_supports("avx512vbmi") != 0, __builtin_cpu_supports("avx512vbmi2") != 0,
           __builtin_cpu_supports("avx512vpopcntdq") != 0,
           __builtin_cpu_supports("avx512bitalg") != 0, __builtin_cpu_supports("gfni") != 0});
  if (avx3_dl) return HWY_AVX3_DL;
  if (avx3) return HWY_AVX3;
  if (avx2) return HWY_AVX2;
  if (sse4) return HWY_SSE4;
  if (__builtin_cpu_supports("ssse3")) return HWY_SSSE3;
  return HWY_SSE2;
#else
  return 0;
#endif
}

TEST(SimdTargets, CompiledSetIsPinned) {
  const std::string compiled = names_of(compiled_targets());
  std::cout << "compiled SIMD targets: " << compiled << '\n';
  const char* pinned = pinned_compiled_targets();
  if (pinned == nullptr) {
    GTEST_SKIP() << "no pinned target set for Highway " << HWY_MAJOR << '.' << HWY_MINOR
                 << " on this architecture";
  }
  EXPECT_EQ(compiled, pinned);
}

TEST(SimdTargets, KernelsRunTheBestTargetOfThisCpu) {
  const std::vector<int64_t> runnable = runnable_targets();
  ASSERT_FALSE(runnable.empty());
  std::cout << "runnable here: " << names_of(runnable) << "; chosen: " << simd_target_name()
            << '\n';
  EXPECT_STREQ(simd_target_name(), hwy::TargetName(runnable.front()));
  EXPECT_STREQ(rotation_simd::target_name(), hwy::TargetName(runnable.front()));
  if (const int64_t floor = x86_floor_target()) {
    std::cout << "the CPU reports the features of " << hwy::TargetName(floor) << '\n';
    EXPECT_LE(runnable.front(), floor);  // better targets have lower bits
  }
}

TEST(SimdTargets, RunMatchesTheLegsPromise) {
  if (!std::getenv("MIVO_EXPECT_TARGETS") && !std::getenv("MIVO_EXPECT_SVE_BITS")) {
    GTEST_SKIP() << "this run promises nothing (MIVO_EXPECT_TARGETS, MIVO_EXPECT_SVE_BITS)";
  }
  if (const char* names = std::getenv("MIVO_EXPECT_TARGETS")) {
    std::vector<std::string> want, ran;
    std::istringstream in(names);
    for (std::string name; in >> name;) want.push_back(name);
    for (const int64_t target : runnable_targets()) ran.emplace_back(hwy::TargetName(target));
    std::sort(want.begin(), want.end());
    std::sort(ran.begin(), ran.end());
    EXPECT_EQ(ran, want);
  }
  if (const char* bits = std::getenv("MIVO_EXPECT_SVE_BITS")) {
    EXPECT_EQ(std::to_string(8 * sve_vector_bytes()), bits);
  }
}

// PerTarget checks the dispatch before every per-target body; this case has no other
// check, so its failure names that fault alone.
class SimdTarget : public PerTarget {};
MIVO_EVERY_TARGET(SimdTarget);

TEST_P(SimdTarget, DispatchesToItselfAtItsVectorSize) { expect_dispatched(GetParam()); }

}  // namespace
}  // namespace mivo
