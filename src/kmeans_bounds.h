// The bounds of the pruned k-means assignment: what a computed squared distance says
// about the exact distance, and back, with margins for every f32 rounding.
//
// A computed distance (squared_distance: d differences, d squares and d additions,
// each rounded to f32, all terms non-negative) lies within a factor (1 +- (d+3)u) of
// the exact squared distance D, u = 2^-24, give or take an absolute (d+4) * 2^-149 that
// rounding in the subnormal range can lose or gain. So from a computed value the
// exact distance sqrt(D) is bounded both ways, the triangle inequality moves those
// bounds by how far the centroids moved, and a bound turns back into a bound on what
// the computation would give. The arithmetic here is in double, with a relative slack
// far above its own rounding, and results are stored in f32 rounded outwards.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

namespace mivo::kmeans_detail {

inline constexpr float kInf = std::numeric_limits<float>::infinity();

// The largest f32 not above x, and the smallest not below.
inline float round_down(double x) {
  const float f = static_cast<float>(x);
  return static_cast<double>(f) > x ? std::nextafter(f, -kInf) : f;
}
inline float round_up(double x) {
  const float f = static_cast<float>(x);
  return static_cast<double>(f) < x ? std::nextafter(f, kInf) : f;
}

class Margins {
 public:
  explicit Margins(uint64_t d) {
    const double terms = static_cast<double>(d) + 4.0;
    // (1 + u)^n - 1 <= 2nu while nu <= 1/2; past a quarter nothing is bounded, and the
    // bounds fall back to 0 and +inf, so every distance is computed.
    eps_ = terms * 0x1p-24 <= 0.25 ? terms * 0x1p-23 + kSlack
                                   : std::numeric_limits<double>::infinity();
    eta_ = terms * 0x1p-148;
  }

  // A lower bound on the exact distance (not squared) of a pair whose computed squared
  // distance is v. A NaN says nothing (0); +inf says at least the largest f32.
  float lower(float v) const {
    if (!(v >= 0.0f)) return 0.0f;
    const double t = (std::min<double>(v, FLT_MAX) - eta_) / (1.0 + eps_);
    return t > 0.0 ? round_down(std::sqrt(t) * (1.0 - kSlack)) : 0.0f;
  }

  // An upper bound on the exact distance of a pair whose computed squared distance is v
  // (+inf for +inf and NaN).
  float upper(float v) const {
    if (!(v < kInf) || !(eps_ < 1.0)) return kInf;
    const double t = (std::max<double>(v, 0.0) + eta_) / (1.0 - eps_);
    return round_up(std::sqrt(t) * (1.0 + kSlack));
  }

  // The largest value the computation can give for a pair whose exact distance is at
  // most `upper_bound`.
  double computed_at_most(float upper_bound) const {
    const double b = upper_bound;
    return b * b * (1.0 + eps_) * (1.0 + kSlack) + 2.0 * eta_;
  }

  // True when the computation gives more than `bound` for every pair whose exact
  // distance is at least `lower_bound`; false whenever either is NaN. A bound that the
  // drift took below zero bounds nothing (its square would).
  bool exceeds(float lower_bound, double bound) const {
    if (!(lower_bound > 0.0f)) return false;
    const double l = lower_bound;
    return l * l * (1.0 - eps_) * (1.0 - kSlack) - 2.0 * eta_ > bound;
  }

 private:
  // Far above the relative rounding of the few double operations of each bound.
  static constexpr double kSlack = 1e-12;
  double eps_;
  double eta_;
};

}  // namespace mivo::kmeans_detail
