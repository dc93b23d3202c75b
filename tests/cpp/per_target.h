// One test case per compiled SIMD target, so that a failing target never hides
// another and a run can pick targets by name. A suite is written as
//
//   class SimdHamming : public PerTarget {};
//   TEST_P(SimdHamming, MatchesScalar) { ... }  // dispatch is pinned to GetParam()
//   MIVO_EVERY_TARGET(SimdHamming);
//
// and its cases are named EveryTarget/SimdHamming.MatchesScalar/AVX2 and so on, one
// per target compiled into the binary (the same list on every machine). A target this
// CPU cannot run is skipped, and the skip says why. Before the body runs, both kernel
// files are checked to dispatch to the pinned target at its vector size.
#pragma once

#include <gtest/gtest.h>

#include <hwy/targets.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "only_target.h"
#include "target_check.h"

namespace mivo {

// Every target compiled into this binary, best first (Highway numbers better targets
// with lower bits).
inline std::vector<int64_t> compiled_targets() {
  std::vector<int64_t> out;
  for (int64_t rest = HWY_TARGETS; rest != 0; rest &= rest - 1) out.push_back(rest & -rest);
  return out;
}

class PerTarget : public testing::TestWithParam<int64_t> {
 protected:
  void SetUp() override {
    if ((hwy::SupportedTargets() & GetParam()) == 0) {
      GTEST_SKIP() << "this CPU cannot run " << hwy::TargetName(GetParam());
    }
    only_.emplace(GetParam());
    expect_dispatched(GetParam());
  }

 private:
  std::optional<OnlyTarget> only_;
};

inline std::string target_case_name(const testing::TestParamInfo<int64_t>& info) {
  return hwy::TargetName(info.param);
}

}  // namespace mivo

#define MIVO_EVERY_TARGET(suite)                                                              \
  INSTANTIATE_TEST_SUITE_P(EveryTarget, suite, testing::ValuesIn(::mivo::compiled_targets()), \
                           ::mivo::target_case_name)
