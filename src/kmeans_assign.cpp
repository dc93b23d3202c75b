// The assignment step of k-means (see kmeans_assign.h).
//
// Exactness of the pruned pass: a group is skipped only when its lower bound proves
// that the computation would give every centroid in it (other than the point's own)
// a distance strictly above the point's distance to its own centroid, or above a bound
// on that distance. Such centroids can neither win nor tie, so the least distance over
// the point's own centroid and the groups computed, ties to the lower id, is the least
// over all centroids.
#include "kmeans_assign.h"

#include <algorithm>
#include <cstring>

#include "error.h"
#include "kmeans_simd.h"
#include "sums.h"

namespace mivo::kmeans_detail {

namespace {

using kmeans_simd::kBlockLanes;

constexpr uint32_t kNone = ~uint32_t{0};

// A NaN distance ranks as +inf.
float rank_of(float v) { return v == v ? v : kInf; }

// The least distance seen so far and its centroid, ties to the lower id.
struct Best {
  float rank = kInf;
  uint32_t id = kNone;

  void consider(float rank_value, uint32_t j) {
    if (rank_value < rank || (rank_value == rank && j < id)) {
      rank = rank_value;
      id = j;
    }
  }
};

// The least and second least rank within one group, and the lowest id of the least.
struct GroupMins {
  float first = kInf;
  uint32_t first_id = kNone;
  float second = kInf;
};

GroupMins mins_of(const float* values, const CentroidTable& c, uint64_t g) {
  GroupMins m;
  for (uint64_t l = 0; l < c.lanes(g); ++l) {
    const float r = rank_of(values[l]);
    const uint32_t j = c.id(g, l);
    if (r < m.first || (r == m.first && j < m.first_id)) {
      m.second = m.first;
      m.first = r;
      m.first_id = j;
    } else if (r < m.second) {
      m.second = r;
    }
  }
  return m;
}

// The bound of a computed group for a point now assigned to `a`: its least distance
// other than a's own.
float group_lower(const GroupMins& m, uint32_t a, const Margins& margins) {
  return margins.lower(m.first_id == a ? m.second : m.first);
}

}  // namespace

CentroidTable::CentroidTable(uint64_t k, uint64_t d)
    : k_(k), d_(d), groups_((k + kBlockLanes - 1) / kBlockLanes) {
  require_allocatable(k, d * sizeof(float));
  require_allocatable(groups_ * kBlockLanes, d * sizeof(float));
  std::vector<uint32_t> identity(k);
  for (uint64_t j = 0; j < k; ++j) identity[j] = static_cast<uint32_t>(j);
  set_order(std::move(identity));
  rows_.resize(k * d);
  blocks_.assign(groups_ * kBlockLanes * d, 0.0f);
}

void CentroidTable::set_order(std::vector<uint32_t> order) {
  order_ = std::move(order);
  group_of_.resize(k_);
  for (uint64_t p = 0; p < k_; ++p) group_of_[order_[p]] = static_cast<uint32_t>(p / kBlockLanes);
}

void CentroidTable::load(const float* rows) {
  std::copy(rows, rows + k_ * d_, rows_.begin());
  for (uint64_t p = 0; p < k_; ++p) {
    float* block = blocks_.data() + (p / kBlockLanes) * kBlockLanes * d_;
    const float* from = rows + uint64_t{order_[p]} * d_;
    for (uint64_t t = 0; t < d_; ++t) block[t * kBlockLanes + p % kBlockLanes] = from[t];
  }
}

const float* CentroidTable::block(uint64_t g) const {
  return blocks_.data() + g * kBlockLanes * d_;
}

uint64_t CentroidTable::lanes(uint64_t g) const {
  return std::min(kBlockLanes, k_ - g * kBlockLanes);
}

void group_distances(const float* x, const CentroidTable& c, uint64_t g, Kernels kernels,
                     float* out) {
  if (kernels == Kernels::kBest) {
    kmeans_simd::block_distances(x, c.block(g), c.dimension(), out);
    return;
  }
  const std::span<const float> point(x, c.dimension());
  for (uint64_t l = 0; l < c.lanes(g); ++l) {
    out[l] = squared_distance(point, {c.row(c.id(g, l)), c.dimension()}, -0.0f);
  }
}

void group_distances2(const float* x0, const float* x1, const CentroidTable& c, uint64_t g,
                      Kernels kernels, float* out0, float* out1) {
  if (kernels == Kernels::kBest) {
    kmeans_simd::block_distances2(x0, x1, c.block(g), c.dimension(), out0, out1);
    return;
  }
  group_distances(x0, c, g, kernels, out0);
  group_distances(x1, c, g, kernels, out1);
}

PointBounds::PointBounds(uint64_t n, uint64_t group_count)
    : assigned(n, kNone), upper(n, kInf), groups(group_count) {
  require_allocatable(n, group_count * sizeof(float));
  lower.assign(n * group_count, 0.0f);
}

void PointBounds::forget(uint64_t i) {
  upper[i] = kInf;
  std::fill_n(lower.data() + i * groups, groups, 0.0f);
}

namespace {

// Points of one batch: each group's block is read once for all the batch's points
// that need it (two at a time), so it is served from the cache rather than memory.
constexpr uint64_t kBatchPoints = 64;

// Widens point i's bounds by the drift of the last update.
void widen(uint64_t i, const Drift& drift, PointBounds& bounds) {
  const uint32_t a = bounds.assigned[i];
  bounds.upper[i] = round_up(static_cast<double>(bounds.upper[i]) + drift.centroid[a]);
  float* lower = bounds.lower.data() + i * bounds.groups;
  for (uint64_t g = 0; g < bounds.groups; ++g) {
    lower[g] = round_down(static_cast<double>(lower[g]) - drift.group[g]);
  }
}

// need[g] = whether group g may hold a centroid whose computed distance is not above
// `bound`; true if any group may. A group's bound first takes what the gaps give for a
// point within `upper` of its centroid, when that is more.
bool groups_needed(float* lower, const float* gaps, float upper, double bound,
                   const Margins& margins, uint64_t groups, char* need) {
  bool any = false;
  for (uint64_t g = 0; g < groups; ++g) {
    const float via_gap = round_down(static_cast<double>(gaps[g]) - upper);
    if (via_gap > lower[g]) lower[g] = via_gap;
    need[g] = !margins.exceeds(lower[g], bound);
    any = any || need[g];
  }
  return any;
}

// One batch of points [begin, begin + count) and what the pass knows of each.
class Batch {
 public:
  Batch(const float* rows, const CentroidTable& c, Kernels kernels, const Margins& margins)
      : rows_(rows),
        c_(c),
        kernels_(kernels),
        margins_(margins),
        need_(kBatchPoints * c.groups()),
        mins_(kBatchPoints * c.groups()) {}

  PassCounts run(uint64_t begin, uint64_t count, const Drift* drift, PointBounds* bounds,
                 uint32_t* out);

 private:
  const float* row(uint64_t p) const { return rows_ + (begin_ + p) * c_.dimension(); }
  char* need(uint64_t p) { return need_.data() + p * c_.groups(); }
  GroupMins* mins(uint64_t p) { return mins_.data() + p * c_.groups(); }
  uint64_t screen(uint64_t p, const Drift& drift, PointBounds& bounds);
  uint64_t scan_groups();
  void finish(uint64_t p, PointBounds& bounds);

  const float* rows_;
  const CentroidTable& c_;
  Kernels kernels_;
  const Margins& margins_;
  std::vector<char> need_;
  std::vector<GroupMins> mins_;
  uint64_t begin_ = 0, count_ = 0;
  Best best_[kBatchPoints];
  float own_[kBatchPoints];
  uint32_t was_[kBatchPoints];
};

// Which groups point p must compute, by its widened bounds and, when they do not
// settle it, its exact distance to its own centroid. Returns the distances computed.
uint64_t Batch::screen(uint64_t p, const Drift& drift, PointBounds& bounds) {
  const uint64_t i = begin_ + p;
  widen(i, drift, bounds);
  const uint32_t a = bounds.assigned[i];
  float* lower = bounds.lower.data() + i * c_.groups();
  const float* gaps = drift.gaps.data() + a * c_.groups();
  best_[p] = Best{};
  best_[p].consider(kInf, a);  // stands for "unchanged" until a distance is known
  const double loose = margins_.computed_at_most(bounds.upper[i]);
  if (!groups_needed(lower, gaps, bounds.upper[i], loose, margins_, c_.groups(), need(p))) {
    return 0;
  }
  own_[p] = squared_distance({row(p), c_.dimension()}, {c_.row(a), c_.dimension()}, -0.0f);
  best_[p] = Best{};
  best_[p].consider(rank_of(own_[p]), a);
  bounds.upper[i] = margins_.upper(own_[p]);
  groups_needed(lower, gaps, bounds.upper[i], rank_of(own_[p]), margins_, c_.groups(), need(p));
  return 1;
}

// Every needed (point, group) pair, group by group, two points per kernel call.
uint64_t Batch::scan_groups() {
  float values[2][kBlockLanes];
  uint64_t computed = 0;
  uint64_t waiting[kBatchPoints];
  for (uint64_t g = 0; g < c_.groups(); ++g) {
    uint64_t m = 0;
    for (uint64_t p = 0; p < count_; ++p) {
      if (need(p)[g]) waiting[m++] = p;
    }
    for (uint64_t t = 0; t < m; t += 2) {
      const uint64_t p0 = waiting[t];
      if (t + 1 < m) {
        group_distances2(row(p0), row(waiting[t + 1]), c_, g, kernels_, values[0], values[1]);
      } else {
        group_distances(row(p0), c_, g, kernels_, values[0]);
      }
      for (uint64_t u = 0; u < 2 && t + u < m; ++u) {
        const uint64_t p = waiting[t + u];
        mins(p)[g] = mins_of(values[u], c_, g);
        best_[p].consider(mins(p)[g].first, mins(p)[g].first_id);
      }
    }
    computed += m * c_.lanes(g);
  }
  return computed;
}

// The bounds of point p once its groups are scanned.
void Batch::finish(uint64_t p, PointBounds& bounds) {
  const uint64_t i = begin_ + p;
  const uint32_t a = was_[p];
  const uint32_t now = best_[p].id;
  bool any = false;
  float* lower = bounds.lower.data() + i * c_.groups();
  for (uint64_t g = 0; g < c_.groups(); ++g) {
    if (!need(p)[g]) continue;
    lower[g] = group_lower(mins(p)[g], now, margins_);
    any = true;
  }
  if (!any) return;  // settled by the bounds, or by its own distance alone
  bounds.upper[i] = margins_.upper(best_[p].rank);
  // A point that left a skipped group: that group's bound now covers its old centroid.
  if (a == kNone || now == a) return;
  const uint64_t own_group = c_.group_of(a);
  if (!need(p)[own_group]) lower[own_group] = std::min(lower[own_group], margins_.lower(own_[p]));
}

PassCounts Batch::run(uint64_t begin, uint64_t count, const Drift* drift, PointBounds* bounds,
                      uint32_t* out) {
  begin_ = begin;
  count_ = count;
  PassCounts counts;
  for (uint64_t p = 0; p < count; ++p) {
    was_[p] = out[begin + p];
    if (drift != nullptr) {
      counts.computed += screen(p, *drift, *bounds);
    } else {
      best_[p] = Best{};
      std::fill_n(need(p), c_.groups(), char{1});
    }
  }
  counts.computed += scan_groups();
  for (uint64_t p = 0; p < count; ++p) {
    if (bounds != nullptr) finish(p, *bounds);
    counts.changed += best_[p].id != was_[p];
    out[begin + p] = best_[p].id;
  }
  return counts;
}

PassCounts run_batches(const float* rows, uint64_t begin, uint64_t end, const CentroidTable& c,
                       Kernels kernels, const Margins& margins, const Drift* drift,
                       PointBounds* bounds, uint32_t* out, PartStep& step) {
  Batch batch(rows, c, kernels, margins);
  PassCounts counts;
  for (uint64_t i = begin; i < end; i += kBatchPoints) {
    const PassCounts one = batch.run(i, std::min(kBatchPoints, end - i), drift, bounds, out);
    counts.computed += one.computed;
    counts.changed += one.changed;
    step();
  }
  return counts;
}

}  // namespace

void centroid_gaps(const CentroidTable& c, uint64_t first, uint64_t last, Kernels kernels,
                   const Margins& margins, float* gaps, PartStep& step) {
  float values[kBlockLanes];
  for (uint64_t a = first; a < last; ++a) {
    for (uint64_t g = 0; g < c.groups(); ++g) {
      group_distances(c.row(a), c, g, kernels, values);
      const GroupMins m = mins_of(values, c, g);
      gaps[a * c.groups() + g] = group_lower(m, static_cast<uint32_t>(a), margins);
    }
    step();
  }
}

PassCounts assign_full(const float* rows, uint64_t begin, uint64_t end, const CentroidTable& c,
                       Kernels kernels, const Margins& margins, PointBounds* bounds, uint32_t* out,
                       PartStep& step) {
  return run_batches(rows, begin, end, c, kernels, margins, nullptr, bounds, out, step);
}

PassCounts assign_pruned(const float* rows, uint64_t begin, uint64_t end, const CentroidTable& c,
                         Kernels kernels, const Margins& margins, const Drift& drift,
                         PointBounds& bounds, PartStep& step) {
  return run_batches(rows, begin, end, c, kernels, margins, &drift, &bounds, bounds.assigned.data(),
                     step);
}

}  // namespace mivo::kmeans_detail
