// Test support shared by the unit tests and the fuzz harnesses: pins the run-time
// dispatch to one SIMD target, so every compiled target can be compared with the
// scalar path in one process.
#pragma once

#include <hwy/targets.h>

#include <cstdint>

namespace mivo {

// Restricts dispatch to `target` for the lifetime of the object.
class OnlyTarget {
 public:
  explicit OnlyTarget(int64_t target) { hwy::SetSupportedTargetsForTest(target); }
  ~OnlyTarget() { hwy::SetSupportedTargetsForTest(0); }
  OnlyTarget(const OnlyTarget&) = delete;
  OnlyTarget& operator=(const OnlyTarget&) = delete;
};

}  // namespace mivo
