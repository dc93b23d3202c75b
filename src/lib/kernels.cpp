// The module functions on packed one-bit and multi-bit codes.
#include "kernels.h"

#include <optional>
#include <span>
#include <vector>

#include "../bit_codes.h"
#include "../error.h"
#include "args.h"
#include "convert.h"
#include "errors.h"
#include "numpy_api.h"
#include "results.h"

namespace mivo::py {

namespace {

// Converts the elements of a code list (after every other argument) and returns
// spans over them.
struct CodeList {
  std::vector<std::vector<uint8_t>> buffers;
  std::vector<std::span<const uint8_t>> spans;

  explicit CodeList(const std::vector<Ref>& items) {
    buffers.reserve(items.size());
    spans.reserve(items.size());
    for (const Ref& item : items) {
      buffers.push_back(to_byte_codes(item.get()));
      spans.emplace_back(buffers.back());
    }
  }
};

// True for a two-dimensional uint8 array of exactly type ndarray that is
// C-contiguous and aligned: its rows are the codes of a batch, read in place. Any
// other object (including subclasses and other layouts) takes the element path, and
// so does everything when NumPy is missing: then the outer sequence is converted, and
// its errors raised, before anything needs NumPy.
bool is_dense_codes(PyObject* o) {
  if (!numpy::available()) return false;
  return numpy::is_exact_array(o) && numpy::is_array_of(o, 2, numpy::kUInt8) &&
         numpy::is_contiguous_block(numpy::fields(o), numpy::Order::C);
}

// True for a one-dimensional float32 array of exactly type ndarray, C-contiguous
// and aligned (the float-vector conversion would copy it in one piece).
bool is_dense_query(PyObject* o) {
  return numpy::is_exact_array(o) && numpy::is_array_of(o, 1, numpy::kFloat32) &&
         numpy::is_contiguous_block(numpy::fields(o), numpy::Order::C);
}

// The codes of a batch call: the rows of a dense array read in place, or a code list
// converted element by element. The outer argument is converted first (`begin`), in
// its place in the call's conversion order: a dense array's data pointer, shape and
// type are taken then, with a reference that keeps the array alive, exactly as the
// element path collects its rows then. Python code run by the later conversions may
// reshape or retype the array; the call still reads the rows it was given, as it
// would for a subclass or a list of the rows. The elements of a code list are
// converted last (`finish`).
class BatchCodes {
 public:
  void begin(PyObject* o, const char* name) {
    if (is_dense_codes(o)) {
      // C-contiguous, so row r starts r * width bytes after the first (the stride of
      // a dimension of length 1 is irrelevant).
      const numpy::ArrayFields* a = numpy::fields(o);
      array_ = Ref::borrow(o);
      data_ = reinterpret_cast<const uint8_t*>(a->data);
      rows_ = static_cast<size_t>(a->dimensions[0]);
      width_ = static_cast<size_t>(a->dimensions[1]);
    } else {
      items_ = to_code_list(o, name);
    }
  }
  bool dense() const { return static_cast<bool>(array_); }
  CodeBatch finish() {
    if (dense()) return CodeBatch(data_, rows_, width_);
    list_.emplace(items_);
    return CodeBatch(std::span<const std::span<const uint8_t>>(list_->spans));
  }

 private:
  Ref array_;  // the dense array, kept alive while its rows are read
  const uint8_t* data_ = nullptr;
  size_t rows_ = 0;
  size_t width_ = 0;
  std::vector<Ref> items_;
  std::optional<CodeList> list_;
};

MIVO_SIGNATURE(kPackBinary, "pack_binary()", 1, "codes");
PyObject* py_pack_binary(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kPackBinary, args, nargs, kwnames);
    const std::vector<uint8_t> codes = to_byte_codes(a[0]);
    ResultBuffer<uint8_t> out(packed_size(codes.size()));
    pack_bits(codes, out.span());
    return out.to_array(numpy::kUInt8);
  });
}

MIVO_SIGNATURE(kUnpackBinary, "unpack_binary()", 2, "packed", "dim");
PyObject* py_unpack_binary(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kUnpackBinary, args, nargs, kwnames);
    const uint64_t dim = to_unsigned_size(a[1], "dim");
    const std::vector<uint8_t> packed = to_byte_codes(a[0]);
    if (packed.size() < packed_size(dim)) {
      throw QuantizerError::dimension_mismatch(packed_size(dim), packed.size());
    }
    ResultBuffer<uint8_t> out(dim);
    unpack_bits(packed, out.span());
    return out.to_array(numpy::kUInt8);
  });
}

MIVO_SIGNATURE(kHammingDistance, "hamming_distance()", 2, "a", "b");
PyObject* py_hamming_distance(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kHammingDistance, args, nargs, kwnames);
    const ByteCodes x(a[0]);
    const ByteCodes y(a[1]);
    return int_result(hamming_distance(x, y));
  });
}

// Binds (query, codes), converts them in that order and applies a one-bit kernel.
template <float (*kernel)(std::span<const float>, std::span<const uint8_t>)>
PyObject* query_against_code(const Signature<2>& sig, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(sig, args, nargs, kwnames);
    const std::vector<float> query = to_float_vector(a[0]);
    const ByteCodes code(a[1]);
    return float_result(kernel(query, code));
  });
}

MIVO_SIGNATURE(kAsymmetricInnerProduct, "asymmetric_inner_product()", 2, "query", "codes");
PyObject* py_asymmetric_inner_product(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return query_against_code<one_bit_inner_product>(kAsymmetricInnerProduct, args, nargs, kwnames);
}

MIVO_SIGNATURE(kAsymmetricL2Squared, "asymmetric_l2_squared()", 2, "query", "codes");
PyObject* py_asymmetric_l2_squared(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return query_against_code<asymmetric_l2_squared>(kAsymmetricL2Squared, args, nargs, kwnames);
}

MIVO_SIGNATURE(kMultibitInnerProduct, "multibit_inner_product()", 3, "query", "codes",
               "total_bits");
PyObject* py_multibit_inner_product(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kMultibitInnerProduct, args, nargs, kwnames);
    const std::vector<uint16_t> codes = to_u16_sequence(a[1], "codes");
    const uint64_t total_bits = to_unsigned_size(a[2], "total_bits");
    const std::vector<float> query = to_float_vector(a[0]);
    return float_result(multibit_inner_product(query, codes, total_bits));
  });
}

MIVO_SIGNATURE(kBatchHammingDistances, "batch_hamming_distances()", 2, "query", "codes");
PyObject* py_batch_hamming_distances(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kBatchHammingDistances, args, nargs, kwnames);
    BatchCodes codes;
    codes.begin(a[1], "codes");
    const std::vector<uint8_t> query = to_byte_codes(a[0]);
    const CodeBatch batch = codes.finish();
    ResultBuffer<uint32_t> out(batch.size());
    batch_hamming_distances(query, batch, out.data());
    return out.to_array(numpy::kUInt32);
  });
}

MIVO_SIGNATURE(kBatchAsymmetricL2, "batch_asymmetric_l2()", 2, "query", "codes");
PyObject* py_batch_asymmetric_l2(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind(kBatchAsymmetricL2, args, nargs, kwnames);
    BatchCodes codes;
    codes.begin(a[1], "codes");
    // With dense codes no Python code runs after the query's conversion, so an
    // aligned contiguous float32 query can be read in place as well.
    std::vector<float> copied;
    std::span<const float> query;
    if (codes.dense() && is_dense_query(a[0])) {
      const numpy::ArrayFields* q = numpy::fields(a[0]);
      query = {reinterpret_cast<const float*>(q->data), static_cast<size_t>(q->dimensions[0])};
    } else {
      copied = to_float_vector(a[0]);
      query = copied;
    }
    const CodeBatch batch = codes.finish();
    // Rows of one width are all too short if the first is: that is reported before the
    // result is allocated, so a huge batch of empty rows gives this error, not MemoryError.
    const uint64_t need = packed_size(query.size());
    if (batch.dense() && batch.size() > 0 && batch.width() < need) {
      throw QuantizerError::dimension_mismatch(need, batch.width());
    }
    ResultBuffer<float> out(batch.size());
    batch_asymmetric_l2(query, batch, out.data());
    return out.to_array(numpy::kFloat32);
  });
}

PyMethodDef kernel_function_defs[] = {
    {"pack_binary", as_cfunction<py_pack_binary>(), kFastCall,
     "pack_binary(codes)\n--\n\nPack binary codes (0/1 values) into a bitfield.\n\nAccepts a list "
     "of ints or a numpy uint8 array. Each value is treated as\nboolean: nonzero becomes a set "
     "bit.\n\nReturns the packed bytes as a numpy uint8 array."},
    {"unpack_binary", as_cfunction<py_unpack_binary>(), kFastCall,
     "unpack_binary(packed, dim)\n--\n\nUnpack a bitfield back into one byte per bit (0 or "
     "1).\n\nReturns a numpy uint8 array of length `dim`."},
    {"hamming_distance", as_cfunction<py_hamming_distance>(), kFastCall,
     "hamming_distance(a, b)\n--\n\nHamming distance between two packed bit-vectors.\n\nAccepts "
     "lists of ints, bytes, or numpy uint8 arrays."},
    {"asymmetric_inner_product", as_cfunction<py_asymmetric_inner_product>(), kFastCall,
     "asymmetric_inner_product(query, codes)\n--\n\nAsymmetric inner product: f32 query vs "
     "packed 1-bit codes.\n\nConvention: bit=1 -> +1, bit=0 -> -1.\n\n`query` accepts a list of "
     "floats or a numpy float32 array.\n`codes` accepts a list of ints, bytes, or a numpy uint8 "
     "array."},
    {"asymmetric_l2_squared", as_cfunction<py_asymmetric_l2_squared>(), kFastCall,
     "asymmetric_l2_squared(query, codes)\n--\n\nAsymmetric L2 distance squared: ||q - b||^2 "
     "where b in {-1,+1}^D.\n\n`query` accepts a list of floats or a numpy float32 "
     "array.\n`codes` accepts a list of ints, bytes, or a numpy uint8 array."},
    {"multibit_inner_product", as_cfunction<py_multibit_inner_product>(), kFastCall,
     "multibit_inner_product(query, codes, total_bits)\n--\n\nMulti-bit inner product with "
     "centered codes."},
    {"batch_hamming_distances", as_cfunction<py_batch_hamming_distances>(), kFastCall,
     "batch_hamming_distances(query, codes)\n--\n\nBatch Hamming distances from a query to each "
     "element in a list of codes.\n\nReturns a numpy uint32 array of distances."},
    {"batch_asymmetric_l2", as_cfunction<py_batch_asymmetric_l2>(), kFastCall,
     "batch_asymmetric_l2(query, codes)\n--\n\nBatch asymmetric L2 squared distances from a "
     "query to each element in a list of codes.\n\nReturns a numpy float32 array of distances."},
};

}  // namespace

std::span<PyMethodDef> kernel_functions() { return kernel_function_defs; }

}  // namespace mivo::py
