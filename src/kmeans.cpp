// k-means and nearest-centroid assignment (see kmeans.h): the seeded choices, the
// rounds and the centroid update; the assignment itself is in kmeans_assign.cpp.
//
// Rule for a centroid left without members: the clusters are visited in id order, and
// each empty one takes the training row whose distance to its own centroid is largest
// (ties to the lower row, a NaN distance largest of all) among the rows whose cluster
// has two members or more; that row moves to the empty cluster, whose centroid becomes
// the row itself. The distances are those of the centroids the rows were assigned to.
#include "kmeans.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "error.h"
#include "kmeans_assign.h"
#include "kmeans_groups.h"
#include "kmeans_simd.h"
#include "parallel.h"
#include "rotation.h"
#include "sums.h"

namespace mivo {

using kmeans_detail::CentroidTable;
using kmeans_detail::Drift;
using kmeans_detail::Margins;
using kmeans_detail::PassCounts;
using kmeans_detail::PointBounds;

namespace {

// The streams of the two seeded choices, so that they never share draws.
constexpr uint64_t kSampleStream = 0x6b6d65616e732d73;  // "kmeans-s"
constexpr uint64_t kInitStream = 0x6b6d65616e732d69;    // "kmeans-i"

// The first `count` entries of a seeded permutation of [0, n): a partial Fisher-Yates
// shuffle whose draw t is hash_u64 chained from the seed, mapped onto [t, n) by a
// 128-bit product (no rejection, so the number of draws is fixed).
std::vector<uint64_t> seeded_choice(uint64_t n, uint64_t count, uint64_t seed, uint64_t stream) {
  require_allocatable(n, sizeof(uint64_t));
  std::vector<uint64_t> order(n);
  std::iota(order.begin(), order.end(), uint64_t{0});
  uint64_t state = hash_u64(seed ^ stream);
  for (uint64_t t = 0; t < count; ++t) {
    state = hash_u64(state);
    const uint64_t span = n - t;
    const uint64_t pick =
        t + static_cast<uint64_t>((static_cast<unsigned __int128>(state) * span) >> 64);
    std::swap(order[t], order[pick]);
  }
  order.resize(count);
  return order;
}

// Rows of the training set as one row-major block (the input itself when it is whole).
struct TrainingSet {
  std::vector<float> copy;
  const float* rows;
  uint64_t n;
};

TrainingSet training_set(const float* rows, uint64_t n, uint64_t d, const KmeansConfig& config) {
  const std::vector<uint64_t> chosen = training_rows(n, config);
  if (chosen.size() == n) return {{}, rows, n};
  TrainingSet t{{}, nullptr, chosen.size()};
  require_allocatable(chosen.size(), d * sizeof(float));
  t.copy.resize(chosen.size() * d);
  for (uint64_t i = 0; i < chosen.size(); ++i) {
    std::copy_n(rows + chosen[i] * d, d, t.copy.data() + i * d);
  }
  t.rows = t.copy.data();
  return t;
}

// One run of k-means over a training set: the rounds and everything they keep.
class Rounds {
 public:
  Rounds(const TrainingSet& t, uint64_t d, const KmeansConfig& config, Pacer& pacer)
      : rows_(t.rows),
        n_(t.n),
        d_(d),
        k_(config.nlist),
        config_(config),
        pacer_(pacer),
        margins_(d),
        table_(config.nlist, d),
        bounds_(t.n, table_.groups()) {}

  std::vector<float> run(KmeansReport* report);

 private:
  const float* row(uint64_t i) const { return rows_ + i * d_; }
  unsigned parts() const { return std::max(1u, config_.threads); }
  void initial_centroids();
  PassCounts assign(bool full);
  std::vector<uint64_t> member_counts() const;
  void repair_empty(std::vector<uint64_t>& counts);
  std::vector<float> own_distances();
  void update(const std::vector<uint64_t>& counts);
  void add_member(float* sum, uint64_t i) const;

  const float* rows_;
  uint64_t n_, d_, k_;
  const KmeansConfig& config_;
  Pacer& pacer_;
  Margins margins_;
  CentroidTable table_;
  std::vector<float> centroids_;
  PointBounds bounds_;
  Drift drift_;
};

std::vector<float> Rounds::run(KmeansReport* report) {
  initial_centroids();
  for (uint64_t round = 0; round < config_.iterations; ++round) {
    const PassCounts counts = assign(round == 0 || !config_.prune);
    if (report != nullptr) report->computed.push_back(counts.computed);
    // Unchanged assignments give the centroids they gave before.
    if (round > 0 && counts.changed == 0) break;
    std::vector<uint64_t> members = member_counts();
    repair_empty(members);
    update(members);
  }
  if (report != nullptr) {
    report->training_rows = n_;
    report->assignment = bounds_.assigned;
  }
  return std::move(centroids_);
}

void Rounds::initial_centroids() {
  const std::vector<uint64_t> chosen = seeded_choice(n_, k_, config_.seed, kInitStream);
  centroids_.resize(k_ * d_);
  for (uint64_t j = 0; j < k_; ++j) std::copy_n(row(chosen[j]), d_, centroids_.data() + j * d_);
  if (config_.prune) table_.set_order(kmeans_detail::coherent_order(centroids_.data(), k_, d_));
  table_.load(centroids_.data());
}

PassCounts Rounds::assign(bool full) {
  std::vector<PassCounts> counts(parts());
  run_parts(parts(), pacer_, [&](unsigned part, PartStep& step) {
    const auto [begin, end] = part_range(n_, parts(), part);
    counts[part] = full ? kmeans_detail::assign_full(rows_, begin, end, table_, config_.kernels,
                                                     margins_, config_.prune ? &bounds_ : nullptr,
                                                     bounds_.assigned.data(), step)
                        : kmeans_detail::assign_pruned(rows_, begin, end, table_, config_.kernels,
                                                       margins_, drift_, bounds_, step);
  });
  PassCounts total;
  for (const PassCounts& c : counts) {
    total.computed += c.computed;
    total.changed += c.changed;
  }
  return total;
}

std::vector<uint64_t> Rounds::member_counts() const {
  std::vector<uint64_t> counts(k_, 0);
  for (uint32_t a : bounds_.assigned) ++counts[a];
  return counts;
}

std::vector<float> Rounds::own_distances() {
  std::vector<float> out(n_);
  run_parts(parts(), pacer_, [&](unsigned part, PartStep& step) {
    const auto [begin, end] = part_range(n_, parts(), part);
    for (uint64_t i = begin; i < end; ++i) {
      out[i] = squared_distance({row(i), d_}, {table_.row(bounds_.assigned[i]), d_}, -0.0f);
      if (i % 256 == 0) step();
    }
  });
  return out;
}

void Rounds::repair_empty(std::vector<uint64_t>& counts) {
  if (std::find(counts.begin(), counts.end(), 0) == counts.end()) return;
  const std::vector<float> distance = own_distances();
  std::vector<uint64_t> order(n_);
  std::iota(order.begin(), order.end(), uint64_t{0});
  const auto rank = [&](uint64_t i) {
    return std::isnan(distance[i]) ? kmeans_detail::kInf : distance[i];
  };
  std::sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) {
    return rank(a) > rank(b) || (rank(a) == rank(b) && a < b);
  });
  // Clusters only shrink here (a filled one stops at one member), so a row passed over
  // stays unfit and one pass over the order serves every empty cluster.
  uint64_t next = 0;
  for (uint64_t j = 0; j < k_; ++j) {
    if (counts[j] != 0) continue;
    while (counts[bounds_.assigned[order[next]]] < 2) ++next;
    const uint64_t i = order[next++];
    --counts[bounds_.assigned[i]];
    bounds_.assigned[i] = static_cast<uint32_t>(j);
    counts[j] = 1;
    bounds_.forget(i);
  }
}

void Rounds::add_member(float* sum, uint64_t i) const {
  if (config_.kernels == Kernels::kBest) {
    kmeans_simd::add_row(sum, row(i), d_);
  } else {
    add_row(sum, row(i), d_, SumOrder::kRowFirst);
  }
}

void Rounds::update(const std::vector<uint64_t>& counts) {
  std::vector<float> next(k_ * d_, 0.0f);
  run_parts(parts(), pacer_, [&](unsigned part, PartStep& step) {
    const auto [first, last] = part_range(k_, parts(), part);
    for (uint64_t i = 0; i < n_; ++i) {
      const uint32_t a = bounds_.assigned[i];
      if (a >= first && a < last) add_member(next.data() + a * d_, i);
      if (i % 1024 == 0) step();
    }
    for (uint64_t j = first; j < last; ++j) divide_by_count(next.data() + j * d_, d_, counts[j]);
  });
  drift_.centroid.assign(k_, 0.0f);
  drift_.group.assign(table_.groups(), 0.0f);
  for (uint64_t j = 0; j < k_; ++j) {
    const float moved = squared_distance({next.data() + j * d_, d_}, {table_.row(j), d_}, -0.0f);
    drift_.centroid[j] = margins_.upper(moved);
    float& group = drift_.group[table_.group_of(j)];
    group = std::max(group, drift_.centroid[j]);
  }
  centroids_ = std::move(next);
  table_.load(centroids_.data());
  if (!config_.prune) return;
  drift_.gaps.resize(k_ * table_.groups());
  run_parts(parts(), pacer_, [&](unsigned part, PartStep& step) {
    const auto [first, last] = part_range(k_, parts(), part);
    kmeans_detail::centroid_gaps(table_, first, last, config_.kernels, margins_, drift_.gaps.data(),
                                 step);
  });
}

}  // namespace

std::vector<uint64_t> training_rows(uint64_t n, const KmeansConfig& config) {
  uint64_t most = 0;
  if (__builtin_mul_overflow(config.sample, config.nlist, &most) || most >= n) {
    std::vector<uint64_t> all(n);
    std::iota(all.begin(), all.end(), uint64_t{0});
    return all;
  }
  std::vector<uint64_t> chosen = seeded_choice(n, most, config.seed, kSampleStream);
  std::sort(chosen.begin(), chosen.end());
  return chosen;
}

uint64_t first_non_finite_row(const float* rows, uint64_t n, uint64_t d) {
  for (uint64_t i = 0; i < n; ++i) {
    for (uint64_t j = 0; j < d; ++j) {
      if (!std::isfinite(rows[i * d + j])) return i;
    }
  }
  return n;
}

std::vector<float> kmeans(const float* rows, uint64_t n, uint64_t d, const KmeansConfig& config,
                          Pacer& pacer, KmeansReport* report) {
  if (config.nlist < 1 || config.nlist > n || config.sample < 1 || config.nlist >= 0xffffffff) {
    MIVO_FAIL("kmeans: nlist or sample out of range");
  }
  const TrainingSet training = training_set(rows, n, d, config);
  Rounds rounds(training, d, config, pacer);
  return rounds.run(report);
}

void assign_nearest(const float* centroids, uint64_t k, const float* rows, uint64_t n, uint64_t d,
                    unsigned threads, int64_t* out, Pacer& pacer, Kernels kernels) {
  if (k < 1 || k >= 0xffffffff) MIVO_FAIL("assign_nearest: k out of range");
  CentroidTable table(k, d);
  table.load(centroids);
  const Margins margins(d);
  std::vector<uint32_t> nearest(n, ~uint32_t{0});
  const unsigned parts = std::max(1u, threads);
  run_parts(parts, pacer, [&](unsigned part, PartStep& step) {
    const auto [begin, end] = part_range(n, parts, part);
    kmeans_detail::assign_full(rows, begin, end, table, kernels, margins, nullptr, nearest.data(),
                               step);
  });
  std::copy(nearest.begin(), nearest.end(), out);
}

}  // namespace mivo
