// Tests of the error bounds, the top-k selection, re-ranking and pacing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "search.h"
#include "sums.h"

namespace mivo {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The k first ids of values by a full stable sort: NaN last, ties in id order.
std::vector<int64_t> brute_top_k(const std::vector<float>& values, uint64_t k) {
  std::vector<int64_t> ids(values.size());
  std::iota(ids.begin(), ids.end(), 0);
  std::stable_sort(ids.begin(), ids.end(), [&](int64_t a, int64_t b) {
    const float x = values[a], y = values[b];
    if (std::isnan(x) || std::isnan(y)) return !std::isnan(x) && std::isnan(y);
    return x < y;
  });
  ids.resize(std::min<uint64_t>(k, ids.size()));
  return ids;
}

std::vector<int64_t> ids_of(std::span<const Ranked> sorted) {
  std::vector<int64_t> ids;
  for (const Ranked& r : sorted) ids.push_back(r.id);
  return ids;
}

TEST(TopK, MatchesAFullStableSortWithTiesNaNAndSignedZeros) {
  // Few distinct values, so ties are everywhere; offered in id order and reversed.
  const float pool[] = {1.0f, 0.0f, -0.0f, kNaN, 2.5f, -kInf, kInf, 1.0f};
  std::mt19937_64 rng(7);
  for (uint64_t n : {0, 1, 2, 5, 17, 200}) {
    std::vector<float> v(n);
    for (float& x : v) x = pool[rng() % std::size(pool)];
    for (uint64_t k : {uint64_t{1}, n / 2, n, n + 3}) {
      if (k == 0) continue;
      for (bool reversed : {false, true}) {
        TopK top;
        top.reset(result_columns(k, n));
        for (uint64_t j = 0; j < n; ++j) {
          const uint64_t i = reversed ? n - 1 - j : j;
          top.offer(v[i], static_cast<int64_t>(i));
        }
        EXPECT_EQ(ids_of(top.take_sorted()), brute_top_k(v, k))
            << "n=" << n << " k=" << k << " reversed=" << reversed;
      }
    }
  }
}

TEST(ErrorInterval, WidthOrInfinityByRecord) {
  struct Case {
    float f_error, f_add, norm;
    uint64_t d;
    float lower, upper;
  };
  const Case cases[] = {
      {0.5f, 1.0f, 2.0f, 8, 9.0f, 11.0f},   // estimate 10 -/+ 0.5 * 2
      {0.0f, 1.0f, 2.0f, 1, 10.0f, 10.0f},  // one dimension: exact, width 0
      {0.0f, 1.0f, 2.0f, 8, -kInf, kInf},   // no valid ratio: unbounded
      {-0.0f, 1.0f, 2.0f, 8, -kInf, kInf},
      {-1.0f, 1.0f, 2.0f, 8, -kInf, kInf},  // only stored factors can be negative
      {kNaN, 1.0f, 2.0f, 8, -kInf, kInf},
      {kInf, 1.0f, 2.0f, 8, -kInf, kInf},
      {0.5f, kNaN, 2.0f, 8, -kInf, kInf},    // the estimate was clamped from NaN
      {0.5f, 1.0f, kNaN, 8, -kInf, kInf},    // a query of NaNs
      {3e38f, 1.0f, 10.0f, 8, -kInf, kInf},  // the width overflows
  };
  for (const Case& c : cases) {
    const float factors[kFactorCount] = {0.1f, 0.2f, c.f_add, -1.0f, c.f_error, 1.0f};
    const Interval got = error_interval(10.0f, factors, c.norm, c.d);
    EXPECT_EQ(got.lower, c.lower) << "f_error=" << c.f_error << " d=" << c.d;
    EXPECT_EQ(got.upper, c.upper) << "f_error=" << c.f_error << " d=" << c.d;
  }
}

// n random vectors and a query; estimates are the exact distances moved by noise of at
// most `spread` times each record's half-width, so with spread <= 1 the bounds hold.
struct Synthetic {
  uint64_t n, d;
  std::vector<float> vectors, query, exact, estimates, factors;
  float norm = 2.0f;

  Synthetic(uint64_t n_, uint64_t d_, float f_error, float spread, uint64_t seed)
      : n(n_), d(d_), vectors(n_ * d_), query(d_), factors(n_ * kFactorCount, 1.0f) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (float& x : vectors) x = u(rng);
    for (float& x : query) x = u(rng);
    for (uint64_t i = 0; i < n; ++i) {
      const float e = squared_distance(std::span(vectors).subspan(i * d, d), query, -0.0f);
      exact.push_back(e);
      factors[i * kFactorCount + kFError] = f_error;
      estimates.push_back(e + spread * u(rng) * f_error * norm);
    }
  }

  RecordSource source() const {
    RecordSource r;
    r.count = n;
    r.dimension = d;
    r.factors = factors.data();
    r.vectors = vectors.data();
    r.estimates = [this](uint64_t begin, std::span<float> out) {
      std::copy_n(estimates.begin() + begin, out.size(), out.begin());
    };
    return r;
  }
};

TEST(Search, ReRankingGivesTheExactTopKWheneverTheBoundsHold) {
  struct Case {
    uint64_t n, k;
    float f_error, spread;
    bool all_candidates;
  };
  const Case cases[] = {
      {300, 10, 1e30f, 1.0f, true},  // every record a candidate
      {300, 10, 0.5f, 1.0f, false},  // bounds hold, some records excluded
      {300, 10, 0.05f, 1.0f, false}, {40, 40, 0.5f, 1.0f, false},  // k = n
      {40, 50, 0.5f, 1.0f, false},                                 // k > n
  };
  for (const Case& c : cases) {
    const Synthetic s(c.n, 16, c.f_error, c.spread, c.n + c.k);
    const uint64_t columns = result_columns(c.k, c.n);
    std::vector<float> dist(columns);
    std::vector<int64_t> ids(columns);
    uint64_t candidates = 0;
    SearchScratch scratch;
    Pacer pacer;
    search_one(s.source(), s.query, s.norm, c.k, dist.data(), ids.data(), &candidates, scratch,
               pacer);
    const std::vector<int64_t> want = brute_top_k(s.exact, c.k);
    EXPECT_EQ(ids, want) << "n=" << c.n << " k=" << c.k << " f_error=" << c.f_error;
    for (uint64_t j = 0; j < columns; ++j) EXPECT_EQ(dist[j], s.exact[want[j]]);
    if (c.all_candidates) {
      EXPECT_EQ(candidates, c.n);
    }
    if (c.f_error < 0.1f) {
      EXPECT_LT(candidates, c.n / 2);
    }
    EXPECT_GE(candidates, columns);
  }
}

TEST(Pacer, ChecksBetweenChunksAndStopsWhenTold) {
  const Synthetic s(5000, 8, 1e30f, 1.0f, 5);  // every record a candidate: many steps
  struct Count {
    int calls = 0;
    int stop_at = 0;
  };
  for (int stop_at : {0, 3}) {
    Count count{0, stop_at};
    const auto check = [](void* c) {
      Count& n = *static_cast<Count*>(c);
      return ++n.calls != n.stop_at;
    };
    Pacer pacer(check, &count, std::chrono::nanoseconds(0));
    std::vector<float> dist(10);
    std::vector<int64_t> ids(10);
    uint64_t candidates = 0;
    SearchScratch scratch;
    bool stopped = false;
    try {
      search_one(s.source(), s.query, s.norm, 10, dist.data(), ids.data(), &candidates, scratch,
                 pacer);
    } catch (const Stopped&) {
      stopped = true;
    }
    EXPECT_EQ(stopped, stop_at != 0);
    EXPECT_TRUE(stop_at != 0 ? count.calls == stop_at : count.calls > 1000);
  }
}

}  // namespace
}  // namespace mivo
