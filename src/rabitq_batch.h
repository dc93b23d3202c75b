// Batches of RaBitQ records held as columns (one row per record), and the batch calls
// whose every element has the bits of the per-record call.
#pragma once

#include <cstdint>
#include <span>

#include "pacing.h"
#include "rabitq.h"

namespace mivo {

// Bytes of one record's packed sign bits: ceil(dimension / 8).
uint64_t binary_code_bytes(uint64_t dimension);

// Bytes of one record's extended-code stream: ceil(dimension * ex_bits / 8).
uint64_t extended_code_bytes(uint64_t dimension, unsigned ex_bits);

// A read-only view of `count` records of one dimension and ex_bits, row-major.
struct RecordColumns {
  uint64_t dimension = 0;
  unsigned ex_bits = 0;  // 0..7
  uint64_t count = 0;
  const uint8_t* binary_codes = nullptr;    // count x binary_code_bytes(dimension)
  const uint8_t* extended_codes = nullptr;  // count x extended_code_bytes(dimension, ex_bits)
  const float* factors = nullptr;           // count x kFactorCount
};

// The same shapes, writable: what quantize_batch and store_record fill.
struct MutableRecordColumns {
  uint64_t dimension = 0;
  unsigned ex_bits = 0;
  uint64_t count = 0;
  uint8_t* binary_codes = nullptr;
  uint8_t* extended_codes = nullptr;
  float* factors = nullptr;

  RecordColumns view() const {
    return {dimension, ex_bits, count, binary_codes, extended_codes, factors};
  }
};

// The combined codes of record i, (sign bit << ex_bits) + extended code, into
// codes[0 .. dimension): what record_at rebuilds and the scalar estimate reads.
void decode_codes(const RecordColumns& batch, uint64_t i, uint16_t* codes);

// Records [begin, begin + count) of batch as columns of their own (begin + count <=
// batch.count): how long calls walk a batch block by block.
RecordColumns slice_rows(const RecordColumns& batch, uint64_t begin, uint64_t count);

// Record i (< batch.count) as the per-record type, equal in every field to the record
// the columns were made from (the combined codes are rebuilt from the two streams).
QuantizedVector record_at(const RecordColumns& batch, uint64_t i);

// Writes record r (of the columns' dimension and ex_bits) into row i of out.
void store_record(const QuantizedVector& r, const MutableRecordColumns& out, uint64_t i);

// Row i of out = q.quantize(row i of vectors), for out.count rows of q.dimension()
// floats; out.dimension and out.ex_bits must be q's. With a pacer, a step follows every
// block of vectors (Stopped leaves out incomplete).
void quantize_batch(const RaBitQQuantizer& q, const float* vectors, const MutableRecordColumns& out,
                    Pacer* pacer = nullptr);

// out[i] = q.approximate_l2_sqr(query, record i) for every record (out.size() ==
// batch.count). DimensionMismatch as the per-record call for the query or the batch.
// `kernels` picks the vector kernels (across records, one record per lane) or the
// per-record scalar loop; both give the same bits.
void approximate_l2_sqr_batch(const RaBitQQuantizer& q, std::span<const float> query,
                              const RecordColumns& batch, std::span<float> out,
                              Kernels kernels = Kernels::kBest);

// out[i] = q.approximate_distance(query, record i).
void approximate_distance_batch(const RaBitQQuantizer& q, std::span<const float> query,
                                const RecordColumns& batch, std::span<float> out,
                                Kernels kernels = Kernels::kBest);

}  // namespace mivo
