// The class TernaryBatch: ternary records as columns, made from records or from arrays.
#include <memory>
#include <string>
#include <vector>

#include "../error.h"
#include "../lib/args.h"
#include "../lib/convert.h"
#include "../lib/objects.h"
#include "../lib/results.h"
#include "batches.h"
#include "messages.h"
#include "objects.h"

namespace mivo::py::batch {

namespace {

using RecordObject = Wrapped<mivo::TernaryVector>;

const TernaryBatchData& batch_of(PyObject* self) { return data_of<TernaryBatchData>(self); }

// ---- columns and records ----------------------------------------------------------

using Rows = RecordSequence<TernaryBatchData, ternary_record_at, &ModuleState::ternary_vector>;

PyObject* TernaryBatch_codes(PyObject* self, void*) {
  return guarded([&] {
    const TernaryBatchData& b = batch_of(self);
    return column_view(self, b.codes, b.count, ternary_code_bytes(b.dimension), 2, numpy::kUInt8);
  });
}

PyObject* TernaryBatch_num_positive(PyObject* self, void*) {
  return guarded([&] {
    const TernaryBatchData& b = batch_of(self);
    return column_view(self, b.num_positive, b.count, 1, 1, numpy::kUInt64);
  });
}

PyObject* TernaryBatch_num_negative(PyObject* self, void*) {
  return guarded([&] {
    const TernaryBatchData& b = batch_of(self);
    return column_view(self, b.num_negative, b.count, 1, 1, numpy::kUInt64);
  });
}

PyObject* TernaryBatch_original_norm(PyObject* self, void*) {
  return guarded([&] {
    const TernaryBatchData& b = batch_of(self);
    return column_view(self, b.original_norm, b.count, 1, 1, numpy::kFloat32);
  });
}

PyObject* TernaryBatch_dimension(PyObject* self, void*) {
  return guarded([&] { return int_result(batch_of(self).dimension); });
}

PyObject* TernaryBatch_repr(PyObject* self) {
  return guarded([&] {
    const TernaryBatchData& b = batch_of(self);
    return str_result("TernaryBatch(len=" + std::to_string(b.count) +
                      ", dimension=" + std::to_string(b.dimension) + ")");
  });
}

// ---- from_records ------------------------------------------------------------------

MIVO_SIGNATURE(kFromRecords, "TernaryBatch.from_records()", 1, "records");
PyObject* TernaryBatch_from_records(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kFromRecords, args, nargs, kwnames);
    const ModuleState& state = state_of_type(reinterpret_cast<PyTypeObject*>(cls));
    const auto records = take_records<RecordObject>(a[0], state.ternary_vector, kTernaryVectorName);
    const uint64_t dimension = records[0]->value->dimension;
    for (size_t i = 1; i < records.size(); ++i) {
      const uint64_t d = records[i]->value->dimension;
      if (d != dimension) {
        throw_error(PyExc_ValueError, record_shape_differs(i, "dimension", d, dimension));
      }
    }
    auto data = allocate_ternary(dimension, records.size());
    const MutableTernaryColumns out = writable(*data);
    for (size_t i = 0; i < records.size(); ++i) store_ternary_record(*records[i]->value, out, i);
    return new_ternary_batch(state, std::move(data));
  });
}

// ---- from_arrays -------------------------------------------------------------------

void require_rows(const char* name, uint64_t got, uint64_t want) {
  if (got != want) throw_error(PyExc_ValueError, column_rows(name, got, "codes", want));
}

// Refuses codes that no quantizer writes and counts that disagree with the codes: the
// measures read the counts as the vectors' squared norms.
void validate(const TernaryBatchData& data) {
  const TernaryColumnCheck check = check_ternary_columns(data.columns());
  switch (check.fault) {
    case TernaryFault::kNone: return;
    case TernaryFault::kPaddingBits:
      throw_error(PyExc_ValueError, column_padding("codes", check.row, 2 * data.dimension));
    case TernaryFault::kCode11: throw_error(PyExc_ValueError, column_code11(check.row));
    case TernaryFault::kPositiveCount:
      throw_error(PyExc_ValueError, column_count("num_positive", check.row,
                                                 data.num_positive.as<const uint64_t>()[check.row],
                                                 check.counted, "+1"));
    case TernaryFault::kNegativeCount:
      throw_error(PyExc_ValueError, column_count("num_negative", check.row,
                                                 data.num_negative.as<const uint64_t>()[check.row],
                                                 check.counted, "-1"));
  }
}

MIVO_SIGNATURE(kFromArrays, "TernaryBatch.from_arrays()", 5, "dimension", "codes", "num_positive",
               "num_negative", "original_norm");
PyObject* TernaryBatch_from_arrays(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kFromArrays, args, nargs, kwnames);
    const ModuleState& state = state_of_type(reinterpret_cast<PyTypeObject*>(cls));
    const uint64_t dimension = to_unsigned_size(a[0], "dimension");
    // Rows of a larger dimension could never be held in memory, and the bit counts of
    // their codes would not fit in 64 bits: only an empty batch could claim one.
    if (dimension > kMaxBatchDimension) {
      throw QuantizerError::invalid_config("dimension", kMustBeAtMost2To56);
    }
    auto data = std::make_unique<TernaryBatchData>();
    data->dimension = dimension;
    uint64_t rows = 0, width = 0, other_rows = 0;
    data->codes = take_column(a[1], "codes", Element::kUInt8, 2, &rows, &width);
    const uint64_t want = ternary_code_bytes(dimension);
    if (width != want) {
      throw_error(PyExc_ValueError,
                  column_width("codes", width, want, "dimension " + std::to_string(dimension)));
    }
    data->num_positive =
        take_column(a[2], "num_positive", Element::kUInt64, 1, &other_rows, nullptr);
    require_rows("num_positive", other_rows, rows);
    data->num_negative =
        take_column(a[3], "num_negative", Element::kUInt64, 1, &other_rows, nullptr);
    require_rows("num_negative", other_rows, rows);
    data->original_norm =
        take_column(a[4], "original_norm", Element::kFloat32, 1, &other_rows, nullptr);
    require_rows("original_norm", other_rows, rows);
    data->count = rows;
    validate(*data);
    return new_ternary_batch(state, std::move(data));
  });
}

// ---- the class ---------------------------------------------------------------------

PyGetSetDef getset[] = {
    {"codes", TernaryBatch_codes, nullptr,
     "Packed 2-bit codes, one row per record: uint8 array (len, ceil(dimension / 4)), "
     "read-only.",
     nullptr},
    {"num_positive", TernaryBatch_num_positive, nullptr,
     "Number of +1 values per record: uint64 array (len,), read-only.", nullptr},
    {"num_negative", TernaryBatch_num_negative, nullptr,
     "Number of -1 values per record: uint64 array (len,), read-only.", nullptr},
    {"original_norm", TernaryBatch_original_norm, nullptr,
     "L2 norm of each original vector: float32 array (len,), read-only.", nullptr},
    {"dimension", TernaryBatch_dimension, nullptr, "Number of dimensions.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"from_records", as_cfunction<TernaryBatch_from_records>(), kFastCall | METH_CLASS,
     "from_records($cls, records)\n--\n\nA batch holding copies of a non-empty sequence of "
     "TernaryVector records of one dimension."},
    {"from_arrays", as_cfunction<TernaryBatch_from_arrays>(), kFastCall | METH_CLASS,
     "from_arrays($cls, dimension, codes, num_positive, num_negative, original_norm)\n--\n\n"
     "A batch over C-contiguous arrays, used in place (memory maps included): uint8 "
     "(n, ceil(dimension / 4)), uint64 (n,), uint64 (n,), float32 (n,).\n\n"
     "The batch holds a buffer export of each array while it lives. Padding fields must be "
     "00, no field may be 11, and the counts must be those of the codes."},
    {nullptr, nullptr, 0, nullptr},
};

const char kDoc[] =
    "Ternary records of one dimension, held as columns.\n\n"
    "batch[i] is a TernaryVector equal in every property to the "
    "record the row was made from.";

}  // namespace

PyType_Spec g_ternary_batch_spec = {
    kTernaryBatchSpecName, sizeof(BatchObject<TernaryBatchData>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    batch_slots<TernaryBatchData, Rows, TernaryBatch_repr, getset, methods, kDoc>};

std::unique_ptr<TernaryBatchData> allocate_ternary(uint64_t dimension, uint64_t count) {
  auto data = std::make_unique<TernaryBatchData>();
  data->dimension = dimension;
  data->count = count;
  data->codes = Column::allocate(count, ternary_code_bytes(dimension));
  data->num_positive = Column::allocate(count, sizeof(uint64_t));
  data->num_negative = Column::allocate(count, sizeof(uint64_t));
  data->original_norm = Column::allocate(count, sizeof(float));
  return data;
}

MutableTernaryColumns writable(const TernaryBatchData& data) {
  return {data.dimension,
          data.count,
          data.codes.as<uint8_t>(),
          data.num_positive.as<uint64_t>(),
          data.num_negative.as<uint64_t>(),
          data.original_norm.as<float>()};
}

PyObject* new_ternary_batch(const ModuleState& state, std::unique_ptr<TernaryBatchData> data) {
  return batch_new(state.ternary_batch, std::move(data));
}

const TernaryBatchData& ternary_batch_arg(const ModuleState& state, PyObject* o, const char* name) {
  if (Py_TYPE(o) != state.ternary_batch) {
    try {
      throw_not_instance(o, kTernaryBatchName);
    } catch (const PythonError&) {
      name_type_error(name);
      throw;
    }
  }
  return batch_of(o);
}

}  // namespace mivo::py::batch
