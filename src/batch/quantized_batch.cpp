// The class QuantizedBatch: RaBitQ records as columns, made from records or from arrays,
// and the per-record sums that integer scans of it keep.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "../error.h"
#include "../lib/args.h"
#include "../lib/convert.h"
#include "../lib/objects.h"
#include "../lib/results.h"
#include "../packed_rows.h"
#include "batches.h"
#include "messages.h"
#include "objects.h"

namespace mivo::py::batch {

namespace {

using RecordObject = Wrapped<mivo::QuantizedVector>;

const QuantizedBatchData& batch_of(PyObject* self) { return data_of<QuantizedBatchData>(self); }

// ---- columns and records ----------------------------------------------------------

using Rows = RecordSequence<QuantizedBatchData, record_at, &ModuleState::quantized_vector>;

PyObject* QuantizedBatch_binary_codes(PyObject* self, void*) {
  return guarded([&] {
    const QuantizedBatchData& b = batch_of(self);
    return column_view(self, b.binary_codes, b.count, binary_code_bytes(b.dimension), 2,
                       numpy::kUInt8);
  });
}

PyObject* QuantizedBatch_extended_codes(PyObject* self, void*) {
  return guarded([&] {
    const QuantizedBatchData& b = batch_of(self);
    return column_view(self, b.extended_codes, b.count, extended_code_bytes(b.dimension, b.ex_bits),
                       2, numpy::kUInt8);
  });
}

PyObject* QuantizedBatch_factors(PyObject* self, void*) {
  return guarded([&] {
    const QuantizedBatchData& b = batch_of(self);
    return column_view(self, b.factors, b.count, kFactorCount, 2, numpy::kFloat32);
  });
}

PyObject* QuantizedBatch_dimension(PyObject* self, void*) {
  return guarded([&] { return int_result(batch_of(self).dimension); });
}

PyObject* QuantizedBatch_ex_bits(PyObject* self, void*) {
  return guarded([&] { return int_result(batch_of(self).ex_bits); });
}

PyObject* QuantizedBatch_repr(PyObject* self) {
  return guarded([&] {
    const QuantizedBatchData& b = batch_of(self);
    return str_result("QuantizedBatch(len=" + std::to_string(b.count) + ", dimension=" +
                      std::to_string(b.dimension) + ", ex_bits=" + std::to_string(b.ex_bits) + ")");
  });
}

// ---- from_records ------------------------------------------------------------------

MIVO_SIGNATURE(kFromRecords, "QuantizedBatch.from_records()", 1, "records");
PyObject* QuantizedBatch_from_records(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kFromRecords, args, nargs, kwnames);
    const ModuleState& state = state_of_type(reinterpret_cast<PyTypeObject*>(cls));
    const auto records =
        take_records<RecordObject>(a[0], state.quantized_vector, kQuantizedVectorName);
    const mivo::QuantizedVector& first = *records[0]->value;
    for (size_t i = 1; i < records.size(); ++i) {
      const mivo::QuantizedVector& r = *records[i]->value;
      if (r.dimension != first.dimension) {
        throw_error(PyExc_ValueError,
                    record_shape_differs(i, "dimension", r.dimension, first.dimension));
      }
      if (r.ex_bits != first.ex_bits) {
        throw_error(PyExc_ValueError, record_shape_differs(i, "ex_bits", r.ex_bits, first.ex_bits));
      }
    }
    auto data = allocate_quantized(first.dimension, first.ex_bits, records.size());
    const MutableRecordColumns out = writable(*data);
    for (size_t i = 0; i < records.size(); ++i) store_record(*records[i]->value, out, i);
    return new_quantized_batch(state, std::move(data));
  });
}

// ---- from_arrays -------------------------------------------------------------------

// Refuses a packed column with bits set past each row's codes.
void require_clean_padding(const Column& column, uint64_t rows, uint64_t width, uint64_t used_bits,
                           const char* name) {
  if (auto row = first_row_with_padding_bits(column.as<const uint8_t>(), rows, width, used_bits)) {
    throw_error(PyExc_ValueError, column_padding(name, *row, used_bits));
  }
}

void require_width(const char* name, uint64_t got, uint64_t want, const std::string& because) {
  if (got != want) throw_error(PyExc_ValueError, column_width(name, got, want, because));
}

void require_rows(const char* name, uint64_t got, const char* first_name, uint64_t want) {
  if (got != want) throw_error(PyExc_ValueError, column_rows(name, got, first_name, want));
}

MIVO_SIGNATURE(kFromArrays, "QuantizedBatch.from_arrays()", 5, "dimension", "ex_bits",
               "binary_codes", "extended_codes", "factors");
PyObject* QuantizedBatch_from_arrays(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kFromArrays, args, nargs, kwnames);
    const ModuleState& state = state_of_type(reinterpret_cast<PyTypeObject*>(cls));
    const uint64_t dimension = to_unsigned_size(a[0], "dimension");
    const uint64_t ex_bits = to_unsigned_size(a[1], "ex_bits");
    if (dimension == 0) throw QuantizerError::invalid_config("dimension", kMustBePositive);
    // Rows of a larger dimension could never be held in memory, and the bit counts of
    // their codes would not fit in 64 bits: only an empty batch could claim one.
    if (dimension > kMaxBatchDimension) {
      throw QuantizerError::invalid_config("dimension", kMustBeAtMost2To56);
    }
    if (ex_bits > 7) throw QuantizerError::invalid_config("ex_bits", kMustBeZeroToSeven);
    auto data = std::make_unique<QuantizedBatchData>();
    data->dimension = dimension;
    data->ex_bits = static_cast<unsigned>(ex_bits);
    uint64_t rows = 0, width = 0, other_rows = 0;
    data->binary_codes = take_column(a[2], "binary_codes", Element::kUInt8, 2, &rows, &width);
    const uint64_t binary_width = binary_code_bytes(dimension);
    require_width("binary_codes", width, binary_width, "dimension " + std::to_string(dimension));
    data->extended_codes =
        take_column(a[3], "extended_codes", Element::kUInt8, 2, &other_rows, &width);
    const uint64_t extended_width = extended_code_bytes(dimension, data->ex_bits);
    require_rows("extended_codes", other_rows, "binary_codes", rows);
    require_width(
        "extended_codes", width, extended_width,
        "dimension " + std::to_string(dimension) + " with ex_bits " + std::to_string(ex_bits));
    data->factors = take_column(a[4], "factors", Element::kFloat32, 2, &other_rows, &width);
    require_rows("factors", other_rows, "binary_codes", rows);
    require_width("factors", width, kFactorCount, "a record");
    data->count = rows;
    require_clean_padding(data->binary_codes, rows, binary_width, dimension, "binary_codes");
    require_clean_padding(data->extended_codes, rows, extended_width, dimension * ex_bits,
                          "extended_codes");
    return new_quantized_batch(state, std::move(data));
  });
}

// ---- the class ---------------------------------------------------------------------

PyGetSetDef getset[] = {
    {"binary_codes", QuantizedBatch_binary_codes, nullptr,
     "Packed sign bits, one row per record: uint8 array (len, ceil(dimension / 8)), read-only.",
     nullptr},
    {"extended_codes", QuantizedBatch_extended_codes, nullptr,
     "Packed extended codes, one row per record: uint8 array (len, ceil(dimension * ex_bits / "
     "8)), read-only.",
     nullptr},
    {"factors", QuantizedBatch_factors, nullptr,
     "Factors, one row per record: float32 array (len, 6) in the order delta, vl, f_add, "
     "f_rescale, f_error, residual_norm, read-only.",
     nullptr},
    {"dimension", QuantizedBatch_dimension, nullptr, "Vector dimension.", nullptr},
    {"ex_bits", QuantizedBatch_ex_bits, nullptr, "Number of extended bits (total_bits - 1).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"from_records", as_cfunction<QuantizedBatch_from_records>(), kFastCall | METH_CLASS,
     "from_records($cls, records)\n--\n\nA batch holding copies of a non-empty sequence of "
     "QuantizedVector records of one dimension and ex_bits."},
    {"from_arrays", as_cfunction<QuantizedBatch_from_arrays>(), kFastCall | METH_CLASS,
     "from_arrays($cls, dimension, ex_bits, binary_codes, extended_codes, factors)\n--\n\n"
     "A batch over C-contiguous arrays, used in place (memory maps included): uint8 "
     "(n, ceil(dimension / 8)), uint8 (n, ceil(dimension * ex_bits / 8)), float32 (n, 6).\n\n"
     "The batch holds a buffer export of each array while it lives. Padding bits must be "
     "zero."},
    {nullptr, nullptr, 0, nullptr},
};

const char kDoc[] =
    "RaBitQ records of one dimension and ex_bits, held as columns.\n\n"
    "batch[i] is a QuantizedVector equal in every property to the record "
    "the row was made from.";

}  // namespace

PyType_Spec g_quantized_batch_spec = {
    kQuantizedBatchSpecName, sizeof(BatchObject<QuantizedBatchData>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    batch_slots<QuantizedBatchData, Rows, QuantizedBatch_repr, getset, methods, kDoc>};

std::unique_ptr<QuantizedBatchData> allocate_quantized(uint64_t dimension, unsigned ex_bits,
                                                       uint64_t count) {
  auto data = std::make_unique<QuantizedBatchData>();
  data->dimension = dimension;
  data->ex_bits = ex_bits;
  data->count = count;
  data->binary_codes = Column::allocate(count, binary_code_bytes(dimension));
  data->extended_codes = Column::allocate(count, extended_code_bytes(dimension, ex_bits));
  data->factors = Column::allocate(count, kFactorCount * sizeof(float));
  return data;
}

MutableRecordColumns writable(const QuantizedBatchData& data) {
  return {data.dimension,
          data.ex_bits,
          data.count,
          data.binary_codes.as<uint8_t>(),
          data.extended_codes.as<uint8_t>(),
          data.factors.as<float>()};
}

PyObject* new_quantized_batch(const ModuleState& state, std::unique_ptr<QuantizedBatchData> data) {
  return batch_new(state.quantized_batch, std::move(data));
}

const ScanRecords& kept_scan_records(const QuantizedBatchData& batch, Pacer& pacer) {
  if (const ScanRecords* kept = batch.kept_for_scan.load(std::memory_order_acquire)) return *kept;
  // Computed in blocks of records, with a pacer step after each, so that the first
  // integer scan of a large batch stays interruptible like the scan itself. Nothing
  // is held while computing: a call stopped here leaves the batch as it was.
  auto made = std::make_unique<ScanRecords>(allocate_scan_records(batch.dimension, batch.count));
  const RecordColumns all = batch.columns();
  // A record costs a few times the reading of its codes here, far more than in the scan,
  // so the blocks are smaller than the scan's: about 2^18 / d records (at most 4,096).
  const uint64_t block =
      std::clamp<uint64_t>((uint64_t{1} << 18) / std::max<uint64_t>(batch.dimension, 1), 1, 4096);
  for (uint64_t begin = 0; begin < batch.count; begin += block) {
    fill_scan_records(slice_rows(all, begin, std::min(block, batch.count - begin)), begin, *made);
    pacer.step();
  }
  const ScanRecords* expected = nullptr;
  if (batch.kept_for_scan.compare_exchange_strong(expected, made.get(),
                                                  std::memory_order_acq_rel)) {
    return *made.release();
  }
  return *expected;  // another call published the same sums first; ours are dropped
}

const QuantizedBatchData& quantized_batch_arg(const ModuleState& state, PyObject* o,
                                              const char* name) {
  if (Py_TYPE(o) != state.quantized_batch) {
    try {
      throw_not_instance(o, kQuantizedBatchName);
    } catch (const PythonError&) {
      name_type_error(name);
      throw;
    }
  }
  return batch_of(o);
}

void check_batch_fits(const mivo::RaBitQQuantizer& q, const QuantizedBatchData& batch) {
  if (batch.ex_bits + 1 != q.total_bits()) {
    throw_error(PyExc_ValueError, ex_bits_mismatch(batch.ex_bits, q.total_bits()));
  }
  if (batch.dimension != q.dimension()) {
    throw QuantizerError::dimension_mismatch(q.dimension(), batch.dimension);
  }
}

}  // namespace mivo::py::batch
