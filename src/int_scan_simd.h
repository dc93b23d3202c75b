// Vector kernels of the integer scan (int_scan_simd.cpp), dispatched at run time to the
// best SIMD target of the running CPU. They compute integer sums, which are exact in
// any order, so every target gives the scalar loops' integers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "int_scan.h"
#include "rabitq_batch.h"

namespace mivo::int_scan_simd {

// The length of a query's 16-bit levels: d rounded up to whole 32 (64 bytes), plus 32.
inline uint64_t padded_levels(uint64_t dimension) { return (dimension + 31) / 32 * 32 + 32; }

// The largest dimension the vector first stage takes: 2^16. Its P1 is at most 255 d and
// its 2 P1 - L at least -255 d, both within int32 lanes (up to 2^22 would do), and an
// int32 -> f32 conversion rounds such a value as the reference's int64 -> f32; a record's
// a2 (at most 255 d) stays below 2^24, exact in f32 (see ScanRecords::a2).
inline constexpr uint64_t kMaxVectorDimension = uint64_t{1} << 16;

// mivo::one_bit_stage's vector kernels, for records begin .. begin + count of the
// batch records were kept for (begin a multiple of kScanBlockRecords, the dimension at
// most kMaxVectorDimension): P1 by byte-shuffle lookups in the query's tables over the
// interleaved sign bits, and the values with one record per f32 lane (the least values
// for records of ex_bits extended bits, d at most kMaxGatheredDimension).
void one_bit_stage(const IntQuery& query, const ScanRecords& records, uint64_t begin,
                   uint64_t count, int64_t* p1, StageValue what, unsigned ex_bits, float* values,
                   float* widths);

// e[j] = sum over i < d of extended code i of record rows[j] times level i, for the
// `count` records listed (each < batch.count); batch.ex_bits >= 1.
void extended_products(const IntQuery& query, const RecordColumns& batch, const uint64_t* rows,
                       uint64_t count, int64_t* e);

// Bit t (t < 32) set where values[t] is not above bar (NaN included): which records of
// a block of the first stage's values a search must visit.
uint64_t within_bar(const float* values, float bar);

// False where the module was built against a Highway too old for these kernels: the
// integer scan then runs its scalar kernels (the same integers).
bool vectors_available();

// The Highway target these kernels dispatch to on this CPU, and the size in bytes of
// the vectors they run on (at most 64).
const char* target_name();
size_t vector_bytes();

}  // namespace mivo::int_scan_simd
