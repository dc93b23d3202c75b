// Error bounds, top-k selection and re-ranking over columnar batches (see search.h).
#include "search.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "error.h"
#include "sums.h"

namespace mivo {

// ---------------------------------------------------------------------------------------
// Error bounds

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

void check_dimensions(const RaBitQQuantizer& q, uint64_t query_size, const RecordColumns& batch) {
  const uint64_t d = q.dimension();
  if (query_size != d) throw QuantizerError::dimension_mismatch(d, query_size);
  if (batch.dimension != d) throw QuantizerError::dimension_mismatch(d, batch.dimension);
}

}  // namespace

float query_residual_norm(const RaBitQQuantizer& q, std::span<const float> query) {
  const uint64_t d = q.dimension();
  if (query.size() != d) throw QuantizerError::dimension_mismatch(d, query.size());
  std::vector<float> r(d);
  q.residual(query, r);
  return std::sqrt(squared_norm(r, -0.0f));
}

Interval error_interval(float estimate, const float* factors, float query_norm,
                        uint64_t dimension) {
  const float f_error = factors[kFError];
  const bool bounded = (f_error > 0.0f || (f_error == 0.0f && dimension < 2)) &&
                       std::isfinite(f_error) && std::isfinite(factors[kFAdd]) &&
                       std::isfinite(factors[kFRescale]);
  const float h = f_error * query_norm;
  if (!bounded || !std::isfinite(h)) return {-kInf, kInf};
  return {estimate - h, estimate + h};
}

void bounds_batch(const RaBitQQuantizer& q, std::span<const float> query,
                  const RecordColumns& batch, std::span<float> lower, std::span<float> upper,
                  Pacer& pacer) {
  check_dimensions(q, query.size(), batch);
  const float norm = query_residual_norm(q, query);
  const uint64_t block = records_per_block(batch.dimension);
  for (uint64_t begin = 0; begin < batch.count; begin += block) {
    const uint64_t count = std::min(block, batch.count - begin);
    // The estimates go to `lower` first, then each becomes its interval in place.
    approximate_l2_sqr_batch(q, query, slice_rows(batch, begin, count),
                             lower.subspan(begin, count));
    for (uint64_t i = begin; i < begin + count; ++i) {
      const Interval b =
          error_interval(lower[i], batch.factors + i * kFactorCount, norm, batch.dimension);
      lower[i] = b.lower;
      upper[i] = b.upper;
    }
    pacer.step();
  }
}

// ---------------------------------------------------------------------------------------
// Selection

bool ranks_before(const Ranked& a, const Ranked& b) {
  const bool a_nan = std::isnan(a.value);
  const bool b_nan = std::isnan(b.value);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.value != b.value) return a.value < b.value;
  return a.id < b.id;
}

void TopK::reset(uint64_t k) {
  k_ = k;
  heap_.clear();
  heap_.reserve(k);
}

void TopK::offer(float value, int64_t id) {
  const Ranked entry{value, id};
  if (heap_.size() < k_) {
    heap_.push_back(entry);
    std::push_heap(heap_.begin(), heap_.end(), ranks_before);
    return;
  }
  if (k_ == 0 || !ranks_before(entry, heap_.front())) return;
  std::pop_heap(heap_.begin(), heap_.end(), ranks_before);
  heap_.back() = entry;
  std::push_heap(heap_.begin(), heap_.end(), ranks_before);
}

std::span<const Ranked> TopK::take_sorted() {
  std::sort_heap(heap_.begin(), heap_.end(), ranks_before);
  const std::span<const Ranked> sorted(heap_);
  k_ = 0;  // offers are ignored until the next reset; the entries stay readable
  return sorted;
}

// ---------------------------------------------------------------------------------------
// Search

namespace {

// About 2^26 multiply-adds per block: each block of estimates may prepare its query
// again, so a block must outweigh that (at most d^2 multiply-adds) in all but very large
// dimensions, and still end well within a pacing interval.
constexpr uint64_t kBlockWork = uint64_t{1} << 26;

void write_row(std::span<const Ranked> sorted, float* distances, int64_t* ids) {
  for (uint64_t j = 0; j < sorted.size(); ++j) {
    distances[j] = sorted[j].value;
    ids[j] = sorted[j].id;
  }
}

}  // namespace

uint64_t result_columns(uint64_t k, uint64_t n) { return std::min(k, n); }

uint64_t records_per_block(uint64_t dimension) {
  return std::max<uint64_t>(kBlockWork / std::max<uint64_t>(dimension, 1), 1);
}

void search_one(const RecordSource& records, std::span<const float> query, float query_norm,
                uint64_t k, float* distances, int64_t* ids, uint64_t* candidates,
                SearchScratch& scratch, Pacer& pacer) {
  const uint64_t n = records.count;
  const uint64_t columns = result_columns(k, n);
  const uint64_t block = records_per_block(records.dimension);
  const bool rerank = records.vectors != nullptr;
  // Re-ranking visits every record twice, so it keeps all n lower bounds; a plain
  // search needs one block of estimates at a time.
  scratch.values.resize(rerank ? n : std::min(block, n));
  float* const values = scratch.values.data();
  scratch.result.reset(columns);
  scratch.upper.reset(columns);

  for (uint64_t begin = 0; begin < n; begin += block) {
    const uint64_t count = std::min(block, n - begin);
    float* const est = rerank ? values + begin : values;
    records.estimates(begin, std::span<float>(est, count));
    for (uint64_t j = 0; j < count; ++j) {
      const int64_t id = static_cast<int64_t>(begin + j);
      if (!rerank) {
        scratch.result.offer(est[j], id);
        continue;
      }
      const Interval b = error_interval(est[j], records.factors + (begin + j) * kFactorCount,
                                        query_norm, records.dimension);
      scratch.upper.offer(b.upper, id);
      est[j] = b.lower;
    }
    pacer.step();
  }

  if (rerank && columns > 0) {
    // The k-th smallest upper bound: if every true distance lies in its interval, k
    // records are at most this far, so each of the exact top-k is too, and its lower
    // bound is at most this value.
    const float limit = scratch.upper.worst().value;
    const uint64_t d = records.dimension;
    uint64_t count = 0;
    for (uint64_t i = 0; i < n; ++i) {
      if (!(values[i] <= limit)) continue;
      const std::span<const float> v(records.vectors + i * d, d);
      scratch.result.offer(squared_distance(v, query, -0.0f), static_cast<int64_t>(i));
      ++count;
      pacer.step();
    }
    if (candidates != nullptr) *candidates = count;
  } else if (rerank && candidates != nullptr) {
    *candidates = 0;
  }
  write_row(scratch.result.take_sorted(), distances, ids);
}

void search_batch(const RaBitQQuantizer& q, std::span<const float> queries, uint64_t m,
                  const RecordColumns& batch, uint64_t k, const float* vectors,
                  const SearchOutput& out, Pacer& pacer) {
  const uint64_t d = q.dimension();
  uint64_t expected = 0;
  if (__builtin_mul_overflow(m, d, &expected) || queries.size() != expected) {
    throw QuantizerError::dimension_mismatch(expected, queries.size());
  }
  if (batch.dimension != d) throw QuantizerError::dimension_mismatch(d, batch.dimension);

  const uint64_t columns = result_columns(k, batch.count);
  SearchScratch scratch;
  for (uint64_t row = 0; row < m; ++row) {
    const std::span<const float> query = queries.subspan(row * d, d);
    RecordSource records;
    records.count = batch.count;
    records.dimension = d;
    records.factors = batch.factors;
    records.vectors = vectors;
    records.estimates = [&](uint64_t begin, std::span<float> est) {
      approximate_l2_sqr_batch(q, query, slice_rows(batch, begin, est.size()), est);
    };
    const float norm = vectors != nullptr ? query_residual_norm(q, query) : 0.0f;
    search_one(records, query, norm, k, out.distances + row * columns, out.ids + row * columns,
               out.candidates != nullptr ? out.candidates + row : nullptr, scratch, pacer);
  }
}

}  // namespace mivo
