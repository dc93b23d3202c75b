// The extended-code search: codes within b bits, combined codes ordered like the
// values they code, exact power-of-two scaling changing nothing, the documented
// outcomes for non-finite and near-zero residuals, repeatability, and the range of
// the scale factor.
#include <cmath>
#include <limits>

#include "fuzz_common.h"
#include "rabitq.h"

using namespace mivo;

namespace {

// All values zero or with magnitudes in [lo, hi].
bool within(std::span<const float> s, float lo, float hi) {
  for (const float x : s) {
    const float a = std::fabs(x);
    if (a != 0.0f && !(a >= lo && a <= hi)) return false;
  }
  return true;
}

void check_codes(std::span<const float> s, unsigned b) {
  const std::vector<uint16_t> k = quantize_extended(s, b);
  const uint32_t mask = (1u << b) - 1;
  MIVO_CHECK(k.size() == s.size());
  for (const uint16_t c : k) MIVO_CHECK(c <= mask);
  MIVO_CHECK(k == quantize_extended(s, b));

  // With the sign bit on top, codes never decrease as the value grows; equal values
  // (+0.0 and -0.0 included) share a code.
  auto combined = [&](size_t i) { return ((s[i] >= 0.0f ? 1u : 0u) << b) + k[i]; };
  for (size_t i = 0; i < s.size(); ++i) {
    for (size_t j = 0; j < s.size(); ++j) {
      if (s[i] < s[j]) MIVO_CHECK(combined(i) <= combined(j));
      if (s[i] == s[j]) MIVO_CHECK(combined(i) == combined(j));
    }
  }

  // A residual without a finite length codes every magnitude as 0, so only the
  // complement of negative values is left; a residual of length well below 2^-23 is
  // all zeros.
  double sum = 0.0;
  bool finite = true;
  for (const float x : s) {
    sum += static_cast<double>(x) * x;
    finite = finite && std::isfinite(x);
  }
  if (!finite) {
    for (size_t i = 0; i < s.size(); ++i) MIVO_CHECK(k[i] == (s[i] < 0.0f ? mask : 0u));
  }
  if (std::sqrt(sum) < 0x1p-24) {
    for (const uint16_t c : k) MIVO_CHECK(c == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const unsigned b = static_cast<unsigned>(in.range(1, 7));
  const size_t d = in.range(1, 48);
  const std::vector<float> s = in.values(d);
  check_codes(s, b);

  // Scaling by a power of two is exact while nothing leaves the normal range, and the
  // codes depend only on the magnitudes relative to the length.
  const int e = static_cast<int>(in.range(0, 16)) - 8;
  if (within(s, 0x1p-20f, 0x1p40f)) {
    std::vector<float> scaled(s);
    for (float& x : scaled) x = std::ldexp(x, e);
    if (within(scaled, 0x1p-20f, 0x1p40f)) {
      MIVO_CHECK(quantize_extended(scaled, b) == quantize_extended(s, b));
    }
  }

  // The scale factor for arbitrary non-negative magnitudes (NaN and infinity included):
  // positive and finite, and within [T * t_end, t_end) for t_end = (2^b + 9) / max.
  std::vector<float> o = in.values(in.range(0, 48));
  // Signed values are outside the contract, but must still give a usable factor
  // (their starting codes can be hugely negative).
  const double signed_t = best_rescale_factor(o, b);
  MIVO_CHECK(std::isfinite(signed_t) && signed_t > 0.0);
  for (float& x : o) x = std::fabs(x);
  const double t = best_rescale_factor(o, b);
  MIVO_CHECK(std::isfinite(t) && t > 0.0);
  MIVO_CHECK(std::bit_cast<uint64_t>(t) == std::bit_cast<uint64_t>(best_rescale_factor(o, b)));
  float max_o = 0.0f;
  for (const float x : o) max_o = x > max_o ? x : max_o;
  if (max_o > 0x1p-52f && std::isfinite(max_o)) {
    const double t_end = static_cast<double>((1u << b) + 9) / static_cast<double>(max_o);
    MIVO_CHECK(t < t_end);
    MIVO_CHECK(t >= 0.15 * t_end * (1.0 - 0x1p-30));
  } else if (!(max_o > 0x1p-52f)) {
    MIVO_CHECK(t == 1.0);
  }
  return 0;
}
