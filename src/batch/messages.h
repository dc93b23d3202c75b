// Every text that mivo_batch shows: exception messages, the names of its types, and
// the names it looks up in mivo. Docstrings and reprs stay beside the tables and slots
// that publish them, as in mivo.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mivo::py::batch {

// ---- names ---------------------------------------------------------------------------

inline constexpr char kModuleName[] = "mivo_batch";
inline constexpr char kMivoModuleName[] = "mivo";
inline constexpr char kVersionAttribute[] = "__version__";
inline constexpr char kQuantizedBatchSpecName[] = "mivo_batch.QuantizedBatch";
inline constexpr char kTernaryBatchSpecName[] = "mivo_batch.TernaryBatch";

// mivo's classes by their public names, which are also the expected class in
// "... is not an instance of '<name>'".
inline constexpr char kQuantizedVectorName[] = "QuantizedVector";
inline constexpr char kRaBitQQuantizerName[] = "RaBitQQuantizer";
inline constexpr char kTernaryVectorName[] = "TernaryVector";
inline constexpr char kTernaryQuantizerName[] = "TernaryQuantizer";
inline constexpr char kQuantizedBatchName[] = "QuantizedBatch";
inline constexpr char kTernaryBatchName[] = "TernaryBatch";
// Fills the quotes of "'<type>' object is not an instance of '%s'" for either quantizer.
inline constexpr char kEitherQuantizerName[] = "RaBitQQuantizer' or 'TernaryQuantizer";

// ---- a mismatched pair of builds -------------------------------------------------------

inline constexpr char kOneBuild[] = ": install both modules from one build";

inline std::string version_mismatch(const std::string& found, const char* built_for) {
  return std::string("mivo_batch ") + built_for + " cannot use mivo " + found + kOneBuild;
}

inline std::string layout_mismatch(const char* name, int64_t found, uint64_t built_for) {
  return std::string("mivo.") + name + " instances are " + std::to_string(found) +
         " bytes, but this mivo_batch was built for " + std::to_string(built_for) + kOneBuild;
}

inline std::string not_a_class(const char* name) {
  return std::string("mivo.") + name + " is not a class" + kOneBuild;
}

inline constexpr char kVersionNotStr[] = "mivo.__version__ is not a str";

// Where the slots of a class of mivo lie, when that is not one mivo extension module.
inline constexpr char kInNoLoadedFile[] = "in no loaded file";
inline constexpr char kInTheInterpreter[] = "in the interpreter";
inline constexpr char kInMivoBatch[] = "in mivo_batch";

inline std::string not_final_immutable(const char* name) {
  return std::string("mivo.") + name + " is not a final, immutable class" + kOneBuild;
}

// `where` is one of the places above, or in_another_file_than(the first class checked).
inline std::string slots_outside_mivo(const char* name, const std::string& where) {
  return std::string("the slots of mivo.") + name + " lie " + where + kOneBuild;
}

inline std::string in_another_file_than(const char* first) {
  return std::string("in another file than those of mivo.") + first;
}

inline std::string no_build_stamp(const std::string& file) {
  return "mivo's classes come from " + file + ", which carries no mivo build stamp" + kOneBuild;
}

inline std::string build_stamp_mismatch(const std::string& file, const std::string& found,
                                        std::string_view own) {
  return "mivo's classes come from " + file + ", built with stamp " + found +
         ", but this mivo_batch has stamp " + std::string(own) + kOneBuild;
}

inline std::string another_class(const char* name, const char* found) {
  return std::string("mivo.") + name + " is mivo's class " + found + kOneBuild;
}

// ---- batches -------------------------------------------------------------------------

inline std::string batch_index_out_of_range(int64_t index, uint64_t count) {
  return "batch index " + std::to_string(index) + " out of range for " + std::to_string(count) +
         (count == 1 ? " record" : " records");
}

// Formatted by the interpreter: %s is the index's type name.
inline constexpr char kIndexNotIntegerFormat[] = "batch indices must be integers, not '%s'";

inline constexpr char kNoRecords[] =
    "records is empty: a batch made from records takes its dimension from them; "
    "from_arrays makes an empty batch of a given dimension";

inline std::string record_shape_differs(uint64_t index, const char* field, uint64_t got,
                                        uint64_t first) {
  return "records[" + std::to_string(index) + "] has " + field + " " + std::to_string(got) +
         ", records[0] has " + std::to_string(first) + ": a batch holds records of one shape";
}

inline std::string ex_bits_mismatch(uint64_t batch_ex_bits, uint64_t total_bits) {
  return "ex_bits mismatch: the batch has ex_bits " + std::to_string(batch_ex_bits) +
         ", the quantizer (total_bits " + std::to_string(total_bits) + ") makes ex_bits " +
         std::to_string(total_bits - 1);
}

// The reasons of invalid_config for from_arrays; kept by pointer.
inline constexpr char kMustBeZeroToSeven[] = "must be 0-7";
inline constexpr char kMustBeAtMost2To56[] = "must be at most 2^56";

// ---- columns given to from_arrays --------------------------------------------------------

inline std::string column_not_buffer(const char* name, const std::string& error) {
  return std::string("argument '") + name + "': not an array (" + error + ")";
}

inline std::string column_ndim(const char* name, int want, int got) {
  return std::string("argument '") + name + "': expected " + std::to_string(want) +
         "-D array, got " + std::to_string(got) + "-D";
}

inline std::string column_dtype(const char* name, const char* want, const std::string& format) {
  return std::string("argument '") + name + "': expected " + want +
         " elements, got buffer format '" + format + "'";
}

inline std::string column_byte_order(const char* name, const char* want,
                                     const std::string& format) {
  return std::string("argument '") + name + "': expected " + want +
         " in native byte order, got buffer format '" + format +
         "' (x.astype(x.dtype.newbyteorder('=')) converts it)";
}

inline std::string column_not_contiguous(const char* name) {
  return std::string("argument '") + name +
         "': not C-contiguous and aligned; np.ascontiguousarray makes a copy that is";
}

inline std::string column_width(const char* name, uint64_t got, uint64_t want,
                                const std::string& because) {
  return std::string("argument '") + name + "': rows of " + std::to_string(got) + " elements, " +
         because + " needs " + std::to_string(want);
}

inline std::string column_rows(const char* name, uint64_t got, const char* first_name,
                               uint64_t want) {
  return std::string("argument '") + name + "': " + std::to_string(got) + " rows, but '" +
         first_name + "' has " + std::to_string(want);
}

inline std::string column_padding(const char* name, uint64_t row, uint64_t used_bits) {
  return std::string("argument '") + name + "': row " + std::to_string(row) +
         " has bits set past its first " + std::to_string(used_bits) +
         " bits (the padding of a packed row must be zero)";
}

inline std::string column_code11(uint64_t row) {
  return "argument 'codes': row " + std::to_string(row) +
         " holds the ternary code 11, which no quantizer writes (00 is zero, 01 is +1, 10 is -1)";
}

// `value` is the code the count counts: "+1" or "-1".
inline std::string column_count(const char* name, uint64_t row, uint64_t given, uint64_t counted,
                                const char* value) {
  return std::string("argument '") + name + "': row " + std::to_string(row) + " is " +
         std::to_string(given) + ", but the codes of that row hold " + std::to_string(counted) +
         " values " + value;
}

// The element kinds named in the dtype errors.
inline constexpr char kUInt8Elements[] = "uint8";
inline constexpr char kUInt64Elements[] = "uint64";
inline constexpr char kFloat32Elements[] = "float32";

// ---- quantize ----------------------------------------------------------------------------

inline constexpr char kVectorsNotMatrix[] =
    "argument 'vectors': expected a 2-D float32 NumPy array of shape (n, dimension)";

// ---- bounds and search ---------------------------------------------------------------------

inline constexpr char kQueriesNotMatrix[] =
    "argument 'queries': expected a 2-D float32 NumPy array of shape (m, dimension)";
inline constexpr char kKBelowOne[] = "k must be at least 1";
inline constexpr char kWhatTuple[] = "a tuple";

// The scans a search may run, as search's `scan` names them.
inline constexpr char kScanFloat[] = "float";
inline constexpr char kScanInt[] = "int";
// Formatted by the interpreter: %R is the value given for scan (ValueError for a str,
// TypeError for anything else).
inline constexpr char kScanValueFormat[] = "argument 'scan': must be 'float' or 'int', not %R";
inline constexpr char kQueryBitsWithFloatScan[] =
    "argument 'query_bits': only scan='int' quantizes the query; scan='float' takes no "
    "query_bits";

inline constexpr char kStatsWithFloatScan[] =
    "argument 'stats': only scan='int' counts what it scores; scan='float' takes no stats";
// Formatted by the interpreter: %s is the type's name.
inline constexpr char kStatsNotDictFormat[] = "argument 'stats': expected a dict, got '%s'";
// The keys of the counts that search(..., scan='int', stats=...) writes.
inline constexpr char kStatsRecords[] = "records";
inline constexpr char kStatsScored[] = "scored";
inline constexpr char kStatsFloatQueries[] = "float_queries";

inline std::string vector_rows_mismatch(uint64_t rows, uint64_t count) {
  return "argument 'vectors': " + std::to_string(rows) + " rows for a batch of " +
         std::to_string(count) + " records";
}

}  // namespace mivo::py::batch
