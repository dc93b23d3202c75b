// The batch classes QuantizedBatch and TernaryBatch: their native values, and how the
// module's functions make and read them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "../int_scan.h"
#include "../lib/python.h"
#include "../rabitq_batch.h"
#include "../search.h"
#include "../ternary_batch.h"
#include "columns.h"
#include "state.h"

namespace mivo::py::batch {

// The largest dimension a batch may have: 2^56, so that 8 bits per dimension still fit
// a 64-bit bit count.
inline constexpr uint64_t kMaxBatchDimension = uint64_t{1} << 56;

// n RaBitQ records of one dimension and ex_bits, as three row-major columns.
struct QuantizedBatchData {
  uint64_t dimension = 0;
  unsigned ex_bits = 0;
  uint64_t count = 0;
  Column binary_codes;    // count x binary_code_bytes(dimension), uint8
  Column extended_codes;  // count x extended_code_bytes(dimension, ex_bits), uint8
  Column factors;         // count x kFactorCount, float32
  // What the integer scan keeps about the records (80 + dimension / 8 bytes a
  // record): null until the first integer call on the batch computes it, then kept,
  // since the batch's codes do not change (writing into the arrays of a from_arrays
  // batch is the caller's affair). Published once by an atomic exchange (see
  // kept_scan_records).
  mutable std::atomic<const ScanRecords*> kept_for_scan{nullptr};

  QuantizedBatchData() = default;
  QuantizedBatchData(const QuantizedBatchData&) = delete;
  QuantizedBatchData& operator=(const QuantizedBatchData&) = delete;
  ~QuantizedBatchData() { delete kept_for_scan.load(); }

  RecordColumns columns() const {
    return {dimension,
            ex_bits,
            count,
            binary_codes.as<const uint8_t>(),
            extended_codes.as<const uint8_t>(),
            factors.as<const float>()};
  }
  int traverse(visitproc visit, void* arg) const {
    if (int r = binary_codes.traverse(visit, arg)) return r;
    if (int r = extended_codes.traverse(visit, arg)) return r;
    return factors.traverse(visit, arg);
  }
};

// Columns of `count` records of the given shape in memory the batch owns.
std::unique_ptr<QuantizedBatchData> allocate_quantized(uint64_t dimension, unsigned ex_bits,
                                                       uint64_t count);
// The writable view of columns made by allocate_quantized.
MutableRecordColumns writable(const QuantizedBatchData& data);

// What the integer scan keeps about every record of the batch (sums, bound terms and
// interleaved sign bits), computed on the first call and kept by the batch. Call with
// the interpreter lock released: the first call makes one pass over the codes, paced
// by `pacer`. Threads that race on the first call each compute the same records and the
// first to finish publishes them; none waits for another, so a signal handler run by
// the pacer may itself search the batch.
const ScanRecords& kept_scan_records(const QuantizedBatchData& batch, Pacer& pacer);

// Refuses a batch that did not come from a quantizer like q (the same dimension and
// bits): ValueError for the bits, DimensionMismatch for the dimension.
void check_batch_fits(const mivo::RaBitQQuantizer& q, const QuantizedBatchData& batch);

// n ternary records of one dimension, as a code matrix and three per-record columns.
struct TernaryBatchData {
  uint64_t dimension = 0;
  uint64_t count = 0;
  Column codes;          // count x ternary_code_bytes(dimension), uint8
  Column num_positive;   // count, uint64
  Column num_negative;   // count, uint64
  Column original_norm;  // count, float32

  TernaryColumns columns() const {
    return {dimension,
            count,
            codes.as<const uint8_t>(),
            num_positive.as<const uint64_t>(),
            num_negative.as<const uint64_t>(),
            original_norm.as<const float>()};
  }
  int traverse(visitproc visit, void* arg) const {
    if (int r = codes.traverse(visit, arg)) return r;
    if (int r = num_positive.traverse(visit, arg)) return r;
    if (int r = num_negative.traverse(visit, arg)) return r;
    return original_norm.traverse(visit, arg);
  }
};

std::unique_ptr<TernaryBatchData> allocate_ternary(uint64_t dimension, uint64_t count);
MutableTernaryColumns writable(const TernaryBatchData& data);

// The type specifications, from which each module object makes its own classes.
extern PyType_Spec g_quantized_batch_spec;
extern PyType_Spec g_ternary_batch_spec;

// New instances that take over `data`.
PyObject* new_quantized_batch(const ModuleState& state, std::unique_ptr<QuantizedBatchData> data);
PyObject* new_ternary_batch(const ModuleState& state, std::unique_ptr<TernaryBatchData> data);

// The batch that `o` is (exactly the class), else the named class-argument TypeError.
// Batches never change after they are made, so no access is taken; the caller's
// reference keeps the batch alive.
const QuantizedBatchData& quantized_batch_arg(const ModuleState& state, PyObject* o,
                                              const char* name);
const TernaryBatchData& ternary_batch_arg(const ModuleState& state, PyObject* o, const char* name);

}  // namespace mivo::py::batch
