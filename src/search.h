// Error bounds of RaBitQ estimates, top-k selection over a batch and re-ranking of the
// candidates that the bounds leave with exact distances; long calls are paced so that
// their caller can stop them between chunks of work.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <span>
#include <vector>

#include "pacing.h"
#include "rabitq.h"
#include "rabitq_batch.h"

namespace mivo {

// ---------------------------------------------------------------------------------------
// Error bounds

// An interval believed to hold the true squared distance. The bound is probabilistic:
// f_error carries a factor of 1.9, about two standard deviations of the estimate's
// error, so the true distance lies outside now and then.
struct Interval {
  float lower;
  float upper;
};

// ||q_r||: the f32 square root of the query residual's squared norm, the sum (from -0.0,
// in index order) that the estimate adds to every record's f_add. DimensionMismatch as
// the estimate for a query of another length.
float query_residual_norm(const RaBitQQuantizer& q, std::span<const float> query);

// [estimate - h, estimate + h] with h = f_error * query_norm, for a record of `dimension`
// with the factor row `factors` (kFactorCount floats). The interval is (-inf, +inf) when
// the record's f_error cannot bound anything: f_error 0 in two or more dimensions (the
// quantizer gives 0 there only when its ratio is not positive and finite, or the
// residual vanished), f_error negative or not finite, f_add or f_rescale not finite (the
// estimate is then clamped to 0 whatever the distance), or h not finite. In one
// dimension f_error is 0 because the estimate is exact, so the interval has width 0.
Interval error_interval(float estimate, const float* factors, float query_norm, uint64_t dimension);

// lower[i], upper[i] = the interval of record i around q.approximate_l2_sqr(query,
// record i). Errors as approximate_l2_sqr_batch; stops as the pacer says.
void bounds_batch(const RaBitQQuantizer& q, std::span<const float> query,
                  const RecordColumns& batch, std::span<float> lower, std::span<float> upper,
                  Pacer& pacer);

// ---------------------------------------------------------------------------------------
// Selection

// One ranked entry: a value and the id of the record it belongs to.
struct Ranked {
  float value;
  int64_t id;
};

// The order of a search's results: smaller values first, NaN after every number, equal
// values (-0.0 equals +0.0) and NaNs by the lower id. A total order on distinct ids.
bool ranks_before(const Ranked& a, const Ranked& b);

// The k first entries, in ranks_before order, of a stream of entries with distinct ids,
// held in a bounded heap: each offer costs one comparison unless it displaces the
// worst entry held, so n offers never sort all n.
class TopK {
 public:
  // Empties the selection and sets its size.
  void reset(uint64_t k);
  void offer(float value, int64_t id);
  uint64_t size() const { return heap_.size(); }
  // The last entry held in rank order (size() > 0).
  const Ranked& worst() const { return heap_.front(); }
  // The entries held, in rank order; the selection is then empty until reset.
  std::span<const Ranked> take_sorted();

 private:
  uint64_t k_ = 0;
  std::vector<Ranked> heap_;  // a max-heap under ranks_before: worst() on top
};

// ---------------------------------------------------------------------------------------
// Search

// The number of result columns: min(k, n).
uint64_t result_columns(uint64_t k, uint64_t n);

// Where a search writes: rows of result_columns(k, n) entries per query.
struct SearchOutput {
  float* distances = nullptr;      // queries x columns
  int64_t* ids = nullptr;          // queries x columns
  uint64_t* candidates = nullptr;  // one count per query; null without re-ranking
};

// What the search of one query reads about n records: their estimates for that query,
// block by block, their factor rows and, for re-ranking, their original vectors.
struct RecordSource {
  uint64_t count = 0;
  uint64_t dimension = 0;
  // out[j] = estimate of record begin + j for the query searched.
  std::function<void(uint64_t begin, std::span<float> out)> estimates;
  const float* factors = nullptr;  // count x kFactorCount
  const float* vectors = nullptr;  // count x dimension; null: no re-ranking
};

// Scratch space of a search, reused from query to query.
struct SearchScratch {
  std::vector<float> values;
  TopK upper;
  TopK result;
};

// Records per block of estimates: about 2^26 multiply-adds of work (several
// milliseconds), at least one record.
uint64_t records_per_block(uint64_t dimension);

// One query: without vectors, the k first (estimate, id) in rank order. With vectors,
// every record whose lower bound is at most the k-th smallest upper bound is a
// candidate; its exact squared distance to the query (squared_distance from -0.0) is
// computed, and the k first (distance, id) among the candidates are the result, which is
// the exact top-k whenever every true distance lies in its interval. Writes
// result_columns(k, count) entries and, with vectors, the number of candidates.
void search_one(const RecordSource& records, std::span<const float> query, float query_norm,
                uint64_t k, float* distances, int64_t* ids, uint64_t* candidates,
                SearchScratch& scratch, Pacer& pacer);

// search_one for each of the m queries (row-major m x q.dimension()) against the batch,
// re-ranking with `vectors` (batch.count x q.dimension(), row-major) when not null.
// DimensionMismatch as the estimate for queries or batch of another dimension.
void search_batch(const RaBitQQuantizer& q, std::span<const float> queries, uint64_t m,
                  const RecordColumns& batch, uint64_t k, const float* vectors,
                  const SearchOutput& out, Pacer& pacer);

}  // namespace mivo
