// The SIMD targets the tests cover. Every compiled target that runs on this CPU must
// dispatch to itself at its own vector size. A leg that promises more names it in the
// environment, and the run must match exactly: MIVO_EXPECT_TARGETS (the target
// names, space-separated) and MIVO_EXPECT_SVE_BITS (the SVE vector length).
#include <gtest/gtest.h>

#include <hwy/targets.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "only_target.h"
#include "target_check.h"

namespace mivo {
namespace {

TEST(SimdTargets, EachDispatchesToItselfAtItsVectorSize) {
  std::vector<std::string> ran;
  for (const int64_t target : hwy::SupportedAndGeneratedTargets()) {
    OnlyTarget only(target);
    expect_dispatched(target);
    ran.emplace_back(hwy::TargetName(target));
  }
  ASSERT_FALSE(ran.empty());
  if (const char* names = std::getenv("MIVO_EXPECT_TARGETS")) {
    std::vector<std::string> want;
    std::istringstream in(names);
    for (std::string name; in >> name;) want.push_back(name);
    std::sort(want.begin(), want.end());
    std::sort(ran.begin(), ran.end());
    EXPECT_EQ(ran, want);
  }
  if (const char* bits = std::getenv("MIVO_EXPECT_SVE_BITS")) {
    EXPECT_EQ(std::to_string(8 * sve_vector_bytes()), bits);
  }
}

}  // namespace
}  // namespace mivo
