// Test support: which target the dispatched kernels actually ran, and at which vector
// size, checked against what the pinned target must give.
#pragma once

#include <gtest/gtest.h>

#include <hwy/targets.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__aarch64__) && defined(__linux__)
#include <sys/prctl.h>
#endif

#include "bit_codes_simd.h"
#include "int_scan_simd.h"
#include "kmeans_simd.h"
#include "rabitq_batch_simd.h"
#include "rabitq_table_simd.h"
#include "rotation_simd.h"

namespace mivo {

// The CPU's SVE vector length in bytes as the kernel reports it, or 0 without SVE.
inline size_t sve_vector_bytes() {
#if defined(__aarch64__) && defined(__linux__) && defined(PR_SVE_GET_VL)
  const int vl = prctl(PR_SVE_GET_VL);
  return vl < 0 ? 0 : static_cast<size_t>(vl & PR_SVE_VL_LEN_MASK);
#else
  return 0;
#endif
}

// The vector size a target runs at: fixed by the target, except for the scalable
// SVE targets (the CPU's); 0 for a target this table does not know.
inline size_t target_vector_bytes(int64_t target) {
  switch (target) {
    case HWY_SVE:
    case HWY_SVE2: return sve_vector_bytes();
    case HWY_AVX2:
    case HWY_SVE_256: return 32;
    case HWY_AVX3:
    case HWY_AVX3_DL:
#ifdef HWY_AVX3_ZEN4
    case HWY_AVX3_ZEN4:
#endif
#ifdef HWY_AVX3_SPR
    case HWY_AVX3_SPR:
#endif
#ifdef HWY_AVX10_2
    case HWY_AVX10_2:
#endif
      return 64;
    case HWY_SSE2:
    case HWY_SSSE3:
    case HWY_SSE4:
    case HWY_NEON_WITHOUT_AES:
    case HWY_NEON:
    case HWY_NEON_BF16:
    case HWY_SVE2_128:
    case HWY_EMU128: return 16;
    default: return 0;
  }
}

// With dispatch pinned to `target`, every kernel file must run that target at its
// vector size (the rotation uses at most 64 bytes of it).
inline void expect_dispatched(int64_t target) {
  const size_t bytes = target_vector_bytes(target);
  EXPECT_NE(bytes, 0u) << "no known vector size for " << hwy::TargetName(target);
  EXPECT_STREQ(bit_codes_simd::target_name(), hwy::TargetName(target));
  EXPECT_EQ(bit_codes_simd::vector_bytes(), bytes) << hwy::TargetName(target);
  EXPECT_STREQ(rotation_simd::target_name(), hwy::TargetName(target));
  EXPECT_EQ(rotation_simd::vector_bytes(), std::min<size_t>(bytes, 64)) << hwy::TargetName(target);
  EXPECT_STREQ(rabitq_batch_simd::target_name(), hwy::TargetName(target));
  EXPECT_EQ(rabitq_batch_simd::vector_bytes(), std::min<size_t>(bytes, 64))
      << hwy::TargetName(target);
  EXPECT_STREQ(rabitq_table_simd::target_name(), hwy::TargetName(target));
  EXPECT_STREQ(int_scan_simd::target_name(), hwy::TargetName(target));
  EXPECT_STREQ(kmeans_simd::target_name(), hwy::TargetName(target));
  EXPECT_EQ(int_scan_simd::vector_bytes(), std::min<size_t>(bytes, 64)) << hwy::TargetName(target);
}

}  // namespace mivo
