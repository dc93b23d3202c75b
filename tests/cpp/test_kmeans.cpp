// k-means: the kernels against the scalar reference on every target, the pruned
// assignment against the full one on hostile data, threads, and stops.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kmeans.h"
#include "kmeans_simd.h"
#include "per_target.h"
#include "rotation.h"
#include "sums.h"

namespace mivo {
namespace {

using kmeans_simd::kBlockLanes;

std::vector<uint32_t> bits_of(const std::vector<float>& v) {
  std::vector<uint32_t> out;
  for (float x : v) out.push_back(std::bit_cast<uint32_t>(x));
  return out;
}

// n Gaussian rows of d around `clusters` Gaussian centres, times `scale`; with
// `repeat`, every row is one of the first `repeat` rows again.
std::vector<float> clustered(uint64_t n, uint64_t d, uint64_t clusters, float scale,
                             uint64_t repeat = 0, uint64_t seed = 1) {
  uint64_t state = seed;
  std::vector<float> centres(clusters * d), rows(n * d);
  for (float& c : centres) c = next_gaussian(state) * 4.0f;
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t from = repeat != 0 && i >= repeat ? i % repeat : i;
    for (uint64_t j = 0; j < d; ++j) {
      rows[i * d + j] = from != i
                            ? rows[from * d + j]
                            : (centres[(i % clusters) * d + j] + next_gaussian(state)) * scale;
    }
  }
  return rows;
}

class KmeansKernels : public PerTarget {};
MIVO_EVERY_TARGET(KmeansKernels);

TEST_P(KmeansKernels, MatchScalarReference) {
  const float specials[] = {0x1p-149f, -0x1p-140f, 3e19f,
                            -3e19f,    -0.0f,      std::numeric_limits<float>::infinity()};
  for (const uint64_t d : {0, 1, 7, 31, 100, 257}) {
    uint64_t state = d + 5;
    std::vector<float> x0(d), x1(d), block(d * kBlockLanes), rows(kBlockLanes * d);
    for (float& v : x0) v = next_gaussian(state);
    for (float& v : x1) v = next_gaussian(state) * 1e-20f;
    for (uint64_t b = 0; b < kBlockLanes; ++b) {
      for (uint64_t k = 0; k < d; ++k) {
        const float v = (b + k) % 11 == 0 ? specials[(b + k) % 6] : next_gaussian(state);
        rows[b * d + k] = block[k * kBlockLanes + b] = v;
      }
    }
    std::vector<float> one(kBlockLanes), out0(kBlockLanes), out1(kBlockLanes);
    kmeans_simd::block_distances(x0.data(), block.data(), d, one.data());
    kmeans_simd::block_distances2(x0.data(), x1.data(), block.data(), d, out0.data(), out1.data());
    for (uint64_t b = 0; b < kBlockLanes; ++b) {
      const std::span<const float> c(rows.data() + b * d, d);
      const float want0 = squared_distance(x0, c, -0.0f);
      const float want1 = squared_distance(x1, c, -0.0f);
      EXPECT_EQ(std::bit_cast<uint32_t>(one[b]), std::bit_cast<uint32_t>(want0)) << d << " " << b;
      EXPECT_EQ(std::bit_cast<uint32_t>(out0[b]), std::bit_cast<uint32_t>(want0)) << d << " " << b;
      EXPECT_EQ(std::bit_cast<uint32_t>(out1[b]), std::bit_cast<uint32_t>(want1)) << d << " " << b;
    }
    std::vector<float> sum_v = x1, sum_s = x1;
    kmeans_simd::add_row(sum_v.data(), rows.data(), d);
    add_row(sum_s.data(), rows.data(), d, SumOrder::kRowFirst);
    EXPECT_EQ(bits_of(sum_v), bits_of(sum_s)) << d;
  }
}

struct Hostile {
  const char* name;
  std::vector<float> rows;
  uint64_t d, nlist;
};

// Duplicates (which also seed identical centroids, so clusters empty out), exact ties
// (integer points halfway between integer centroids), clusters of one point, scales
// whose squares overflow or vanish below the subnormals, and plain clusters.
std::vector<Hostile> hostile_sets() {
  std::vector<Hostile> sets;
  sets.push_back({"duplicates", clustered(600, 9, 5, 1.0f, 7), 9, 40});
  std::vector<float> grid(500 * 3);
  for (uint64_t i = 0; i < grid.size(); ++i) grid[i] = static_cast<float>((i * 7919) % 5);
  sets.push_back({"ties", grid, 3, 33});
  sets.push_back({"singletons", clustered(70, 16, 70, 1.0f), 16, 64});
  sets.push_back({"huge", clustered(700, 24, 9, 1e18f), 24, 37});
  sets.push_back({"tiny", clustered(700, 24, 9, 1e-22f), 24, 37});
  sets.push_back({"plain", clustered(3000, 40, 50, 1.0f), 40, 100});
  return sets;
}

TEST(Kmeans, PrunedEqualsFullOnHostileData) {
  for (const Hostile& h : hostile_sets()) {
    const uint64_t n = h.rows.size() / h.d;
    KmeansConfig config;
    config.nlist = h.nlist;
    config.seed = 3;
    config.iterations = 30;
    Pacer pacer;
    KmeansReport pruned, full;
    const std::vector<float> a = kmeans(h.rows.data(), n, h.d, config, pacer, &pruned);
    config.prune = false;
    const std::vector<float> b = kmeans(h.rows.data(), n, h.d, config, pacer, &full);
    EXPECT_EQ(bits_of(a), bits_of(b)) << h.name;
    EXPECT_EQ(pruned.assignment, full.assignment) << h.name;
    EXPECT_EQ(pruned.computed.size(), full.computed.size()) << h.name;
    if (std::string(h.name) == "plain") {
      EXPECT_LT(pruned.computed.back() * 4, full.computed.back()) << "pruning skips little";
    }
  }
}

TEST(Kmeans, SameBitsForEveryThreadCountAndKernel) {
  const std::vector<float> rows = clustered(2000, 33, 20, 1.0f);
  KmeansConfig config;
  config.nlist = 70;  // three groups, the last one partial
  config.seed = 9;
  config.sample = 20;  // 1,400 of the 2,000 rows train
  Pacer pacer;
  config.kernels = Kernels::kScalar;
  const std::vector<float> want = kmeans(rows.data(), 2000, 33, config, pacer);
  config.kernels = Kernels::kBest;
  for (const unsigned threads : {1u, 2u, 3u}) {
    config.threads = threads;
    EXPECT_EQ(bits_of(kmeans(rows.data(), 2000, 33, config, pacer)), bits_of(want)) << threads;
    std::vector<int64_t> nearest(2000);
    assign_nearest(want.data(), 70, rows.data(), 2000, 33, threads, nearest.data(), pacer);
    for (uint64_t i = 0; i < 2000; i += 97) {
      int64_t best = 0;
      float least = std::numeric_limits<float>::infinity();
      for (uint64_t j = 0; j < 70; ++j) {
        const float v =
            squared_distance({rows.data() + i * 33, 33}, {want.data() + j * 33, 33}, -0.0f);
        if (v < least) least = v, best = static_cast<int64_t>(j);
      }
      EXPECT_EQ(nearest[i], best) << i;
    }
  }
}

TEST(Kmeans, StopsWhenTheCheckSaysSo) {
  const std::vector<float> rows = clustered(3000, 20, 10, 1.0f);
  KmeansConfig config;
  config.nlist = 50;
  for (const unsigned threads : {1u, 3u}) {
    config.threads = threads;
    Pacer pacer([](void*) { return false; }, nullptr, std::chrono::nanoseconds(0));
    EXPECT_THROW(kmeans(rows.data(), 3000, 20, config, pacer), Stopped) << threads;
  }
}

TEST(Kmeans, TrainingRowsAreASeededChoice) {
  KmeansConfig config;
  config.nlist = 10;
  config.sample = 3;
  config.seed = 4;
  const std::vector<uint64_t> rows = training_rows(100, config);
  ASSERT_EQ(rows.size(), 30u);
  for (size_t i = 1; i < rows.size(); ++i) EXPECT_LT(rows[i - 1], rows[i]);
  config.seed = 5;
  EXPECT_NE(training_rows(100, config), rows);
  config.sample = 10;
  EXPECT_EQ(training_rows(100, config).size(), 100u);
}

}  // namespace
}  // namespace mivo
