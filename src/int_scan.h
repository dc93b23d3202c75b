// The integer scan of RaBitQ batches: the rotated query quantized to small unsigned
// levels, each record's products with them computed exactly in integers, and the
// estimate formed from those integers by a few f32 steps in a fixed order, so that it
// has the same bits on every target and machine. Multi-bit searches score the sign bits
// first and read the extended codes only of records that any extended codes of their
// kept sum could still bring into the top k.
//
// Notation per record (d dimensions, B = ex_bits + 1 bits): combined codes c_i =
// (b_i << ex_bits) + e_i with sign bit b_i and extended code e_i; centred codes u_i =
// c_i - (2^B - 1) / 2. Query levels q_i in 0 .. 2^query_bits - 1 stand for the rotated
// query residual y_i ~ lo + step * q_i.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kernel_choice.h"
#include "rabitq.h"
#include "rabitq_batch.h"
#include "search.h"

namespace mivo {

// The accepted range of query_bits; the default of the Python layer lies within it.
inline constexpr unsigned kMinQueryBits = 1;
inline constexpr unsigned kMaxQueryBits = 8;

// A query prepared for the integer scan.
struct IntQuery {
  uint64_t dimension = 0;
  unsigned query_bits = 0;
  // False when the rotated query, its minimum, maximum or step is not finite: such a
  // query cannot be quantized, and the integer calls answer it with the float scan
  // (estimates and bounds with the bits of scan="float").
  bool finite = false;
  float lo = 0.0f;            // the smallest rotated component: level 0
  float step = 0.0f;          // (max - min) / (2^query_bits - 1), 0 when all are equal
  float squared_norm = 0.0f;  // of the query residual: the estimate's query term
  float norm = 0.0f;          // sqrt(squared_norm): the scale of every record's bound
  int64_t level_sum = 0;      // sum of the levels
  // smallest[j] = the sum of the j smallest levels, j = 0 .. d (smallest[d] = level_sum):
  // what bounds a record's extended product from its codes' sum.
  std::vector<int64_t> smallest;
  // The same as int32 for the vector kernels' gathers, shifted by one and padded:
  // gathered[j + 1] = smallest[j], gathered[0] = 0 and gathered[d + 2] = level_sum, so
  // that an index one past either end stays inside. Empty where d exceeds
  // kMaxGatheredDimension.
  std::vector<int32_t> gathered;
  std::vector<float> rotated;  // the rotated query residual, d values
  // The levels q_i as 16-bit integers, zero from d up to whole kernel blocks.
  std::vector<uint16_t> levels;
  // The lookup tables of the vector sign-bit kernel: per group g of 4 dimensions
  // (scan_groups of them), 16 bytes, entry n = the sum of the levels of the dimensions
  // 4g + k whose bit k is set in n. Levels of up to 6 bits give entries up to 4 x 63 =
  // 252, one table per group; levels of 7 and 8 bits are split into nibbles: the tables
  // of the low nibbles, then those of the high nibbles (entries up to 60 each).
  std::vector<uint8_t> tables;
};

// The largest dimension whose reach sums and full T2 fit int32 (|T2| <= 255 * 255 d <
// 2^31), which the vector kernels' least estimates need.
inline constexpr uint64_t kMaxGatheredDimension = uint64_t{1} << 15;

// True when the levels of query_bits bits are split into two nibble tables.
inline bool split_tables(unsigned query_bits) { return query_bits > 6; }

// Quantizes one query (exactly q.dimension() values) for the integer scan: y = the
// rotated residual (as the float estimate rotates it), lo = min y, step = (max y -
// lo) / f32(2^query_bits - 1), q_i = clamp(round-half-even((y_i - lo) / step), 0,
// 2^query_bits - 1), all per element in f32, no sums. DimensionMismatch for another
// length; InvalidConfig ("query_bits", "must be 1-8") for query_bits outside 1..8.
IntQuery quantize_query(const RaBitQQuantizer& q, std::span<const float> query,
                        unsigned query_bits);

// What no query changes about one record: the integers of its codes (m2 = 2^B - 1), and
// the f32 terms of its bounds formed from them and its factors (f_add = S, f_rescale =
// g), each by a fixed sequence of f32 operations, so that they have the same bits
// wherever they are computed. A search then spends a few products and sums per record
// on a bound instead of divisions and square roots.
struct CodeSums {
  int64_t pc = 0;  // sum b_i: the number of sign bits set
  int64_t c = 0;   // sum c_i
  int64_t a2 = 0;  // sum |2 c_i - m2| = 2 sum |u_i|
  // The extended codes' sum K = sum e_i as top * (2^ex_bits - 1) + rest (0 and 0 for one
  // bit): K fills `top` codes at their largest value and leaves `rest` for one more.
  int64_t top = 0;
  float t1 = 0.0f;     // f32(2 c - d m2): the full estimate's lo coefficient
  float quant = 0.0f;  // |g| * f32(a2): the full quantization term per step
  int32_t rest = 0;
  bool bounded = false;  // the factors bound the record (as error_interval)
};

// out[i] = the sums of record i, for every record of batch (out.size() == batch.count).
// Bits of a row past the dimension are ignored. A batch computes them once and keeps
// them (in ScanRecords): they cost one pass over the codes and its factors.
void code_sums(const RecordColumns& batch, std::span<CodeSums> out);

// Records per block of the interleaved sign bits: the vector kernel scores 32 records
// at once, 16 per byte shuffle (low nibbles) and 16 more (high nibbles).
inline constexpr uint64_t kScanBlockRecords = 32;

// Groups of 4 dimensions that a record's interleaved sign bits and a query's lookup
// tables hold: ceil(d / 4), rounded up to whole 4 groups (one 64-byte vector of tables).
inline uint64_t scan_groups(uint64_t dimension) { return (dimension + 15) / 16 * 4; }

// What an integer scan keeps about a batch, so that its first stage (the sign bits and
// the half-width of every record's interval) reads only what it needs, laid out for
// vectors:
//  - sums: each record's CodeSums, the reference the scalar path and the second stage
//    read;
//  - the query-free terms of the half-widths as columns, one value per record, so that
//    a vector lane per record loads them directly (copies of the CodeSums fields and the
//    factors they name). Rows past count fill the last block and bound nothing;
//  - the sign bits interleaved in blocks of kScanBlockRecords records: per block and
//    per group g of 4 dimensions, 16 bytes, byte t holding the 4 sign bits of
//    dimensions 4g .. 4g + 3 of record t in its low nibble and those of record t + 16 in
//    its high nibble (bit k: dimension 4g + k; zero past the dimension and past count).
// A record takes 80 bytes and its sign bits (dimension rounded up to 16 bits).
struct ScanRecords {
  uint64_t dimension = 0;
  uint64_t count = 0;
  std::vector<CodeSums> sums;
  std::vector<float> f_add;      // factor f_add
  std::vector<float> f_rescale;  // factor f_rescale
  // factor f_error where the record is bounded (CodeSums::bounded), NaN where not.
  std::vector<float> f_error;
  std::vector<float> t1;     // CodeSums::t1
  std::vector<float> quant;  // CodeSums::quant
  // f32(CodeSums::a2): exact in the dimensions the vector kernels take (a2 <= 255 d <
  // 2^24), where f32(a2) x f32(2^query_bits - 1) then rounds the exact product once.
  std::vector<float> a2;
  std::vector<int32_t> top;            // CodeSums::top (exact: at most d)
  std::vector<int32_t> rest;           // CodeSums::rest
  std::vector<uint8_t> blocked_signs;  // blocks x scan_groups(dimension) x 16 bytes

  // The bytes of one block of interleaved sign bits.
  uint64_t block_bytes() const { return scan_groups(dimension) * 16; }
};

// Empty ScanRecords for `count` records of the dimension, every column allocated (and
// zero): std::bad_alloc when they do not fit in memory.
ScanRecords allocate_scan_records(uint64_t dimension, uint64_t count);

// Fills the records begin .. begin + part.count of `out` from `part`, those rows of the
// batch (so that a long build can be paced between parts). Rows filled twice get the
// same values; out must come from allocate_scan_records for the whole batch.
void fill_scan_records(const RecordColumns& part, uint64_t begin, ScanRecords& out);

// allocate_scan_records and fill_scan_records for the whole batch at once.
ScanRecords scan_records(const RecordColumns& batch);

// Estimates of every record of batch for one query, and the interval of each:
// estimates[i] the integer estimate (full B-bit codes); [lower[i], upper[i]] the record's
// own error interval around it (error_interval), widened by the query's quantization
// error and a margin for the f32 steps. A query that is not finite gets the float
// estimates and float intervals instead. kept = scan_records(batch). Every span holds
// batch.count values. DimensionMismatch and InvalidConfig as quantize_query and the
// float estimate; stops as the pacer says. `kernels` picks the vector or the scalar
// integer kernels: the same integers, the same bits.
void integer_estimates(const RaBitQQuantizer& q, std::span<const float> query, unsigned query_bits,
                       const RecordColumns& batch, const ScanRecords& kept,
                       std::span<float> estimates, std::span<float> lower, std::span<float> upper,
                       Pacer& pacer, Kernels kernels = Kernels::kBest);

// What the first stage gives each record beside its P1 (see one_bit_stage).
enum class StageValue {
  kNone,
  // The full estimate of a one-bit record (ex_bits 0), which P1 alone gives.
  kEstimate,
  // The least full estimate of a wider record over every extended code of its kept sum
  // (-inf where unbounded): the estimate at one end of E's reach (see int_scan.cpp).
  kLeastEstimate,
  // That less the half-width of its full interval: the least its lower bound can be.
  kLeastLower,
};

// The first stage of the scan over the records begin .. begin + count of batch (begin a
// multiple of kScanBlockRecords, kept = scan_records(batch)): p1[j] = the products of
// record begin + j's sign bits with the levels, unless `what` is kNone values[j] =
// what it names for that record, and when widths is not null widths[j] = the half-width
// of its full interval (+inf: unbounded), which no extended code changes. `kernels`
// picks the vector kernels (the interleaved sign bits, one record per lane for the
// values) or the scalar reference: the same integers, the same bits.
void one_bit_stage(const IntQuery& iq, const RecordColumns& batch, const ScanRecords& kept,
                   uint64_t begin, uint64_t count, int64_t* p1, StageValue what, float* values,
                   float* widths, Kernels kernels = Kernels::kBest);

// The margins of the bounds, derived in int_scan.cpp: the factor on the quantization
// term and the share of the bounded terms left for the f32 roundings.
inline constexpr float kQuantizationSlack = 1.0f + 0x1p-10f;
inline constexpr float kRoundingMargin = 0x1p-20f;

// What a pruning search did, summed over its queries.
struct IntSearchStats {
  uint64_t records = 0;        // records considered (queries x batch.count)
  uint64_t scored = 0;         // records whose extended codes were read (fully scored)
  uint64_t float_queries = 0;  // queries answered by the float scan (not finite)
};

// search_batch on integer estimates, for m queries (row-major m x q.dimension()),
// re-ranking with `vectors` when not null, results into out as search_batch writes them.
// Every record's sign bits are scored first. Records of two or more bits then have their
// extended codes read only where the codes could still matter: from P1 and the kept sum
// K of its extended codes, the least full estimate a record can have is that at one end
// of the reach of E = sum e_i q_i (K put on the smallest or on the largest levels):
//  - with re-ranking, a record is skipped when that least estimate less its interval's
//    half-width exceeds the k-th smallest full upper bound among the records scored so
//    far; the candidates are the scored records whose full lower bound is at most the
//    final k-th smallest upper bound, and the result is their exact top k;
//  - without, a record is skipped when its least estimate exceeds the k-th smallest full
//    estimate so far (ties to the lower id); the result is the top k of the scored
//    records' estimates.
// Both skip only records that scoring every record would not have ranked (or made a
// candidate): the result is that of integer_estimates' estimates and intervals, always.
// A query that is not finite is searched with the float scan. kept = scan_records(batch).
// stats (when not null) is incremented. Errors as search_batch and quantize_query.
void integer_search_batch(const RaBitQQuantizer& q, std::span<const float> queries, uint64_t m,
                          const RecordColumns& batch, const ScanRecords& kept, unsigned query_bits,
                          uint64_t k, const float* vectors, const SearchOutput& out, Pacer& pacer,
                          Kernels kernels = Kernels::kBest, IntSearchStats* stats = nullptr);

}  // namespace mivo
