// The rotation at small dimensions: generation and application on a SIMD target
// (picked by the input) bit-identical to the scalar loops and to the row-by-row
// product, panel layout and padding, unit rows, and zero mapped to +0.0.
#include <cmath>

#include "fuzz_common.h"
#include "rotation.h"

using namespace mivo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint64_t d = in.range(1, 16);
  const uint64_t seed = in.u64();
  const int64_t target = fuzz::targets()[in.byte() % fuzz::targets().size()];

  // Generation: one target per input keeps each run cheap; the inputs cover them all.
  const Rotation want = Rotation::generate(d, seed, Kernels::kScalar);
  {
    OnlyTarget only(target);
    const Rotation got = Rotation::generate(d, seed);
    MIVO_CHECK(got.dimension() == d);
    MIVO_CHECK(fuzz::same_bits(got.panels(), want.panels()));
  }

  // One 64-row panel, column k at 64k; the rows past d are +0.0.
  const std::span<const float> panels = want.panels();
  MIVO_CHECK(panels.size() == Rotation::kPanelRows * d);
  const std::vector<float> rows = want.row_major();
  for (uint64_t k = 0; k < d; ++k) {
    for (uint64_t j = 0; j < Rotation::kPanelRows; ++j) {
      const float v = panels[k * Rotation::kPanelRows + j];
      if (j < d) {
        MIVO_CHECK(fuzz::same_bits(v, rows[j * d + k]));
        MIVO_CHECK(fuzz::same_bits(v, want.at(j, k)));
      } else {
        MIVO_CHECK(fuzz::same_bits(v, 0.0f));
      }
    }
  }
  // Unit rows up to rounding; for d = 1 exactly +-1. (Orthogonality is not checked:
  // modified Gram-Schmidt in f32 loses it in proportion to the condition number of
  // the drawn matrix, which is unbounded.)
  for (uint64_t i = 0; i < d; ++i) {
    double norm = 0.0;
    for (uint64_t k = 0; k < d; ++k) norm += static_cast<double>(rows[i * d + k]) * rows[i * d + k];
    MIVO_CHECK(std::fabs(norm - 1.0) < 1e-5);
  }
  if (d == 1) MIVO_CHECK(std::fabs(rows[0]) == 1.0f);

  // Application to a vector of arbitrary floats.
  const std::vector<float> x = in.values(d);
  std::vector<float> y(d), y_target(d, 1.0f), y_reference(d);
  want.rotate(x.data(), y.data(), Kernels::kScalar);
  {
    OnlyTarget only(target);
    want.rotate(x.data(), y_target.data());
  }
  rotate_reference(rows, d, x.data(), y_reference.data());
  MIVO_CHECK(fuzz::same_bits(y, y_target));
  MIVO_CHECK(fuzz::same_bits(y, y_reference));

  bool zero = true;
  for (const float v : x) zero = zero && v == 0.0f;
  if (zero) {
    for (const float v : y) MIVO_CHECK(fuzz::same_bits(v, 0.0f));
  }
  return 0;
}
