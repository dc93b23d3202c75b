// Every text the computations produce: the refusals raised as ValueError and the
// messages of internal failures.
#pragma once

#include <cstdint>
#include <string>

namespace mivo {

// ---- refusals (QuantizerError) ------------------------------------------------------

inline std::string dimension_mismatch_text(uint64_t expected, uint64_t got) {
  return "dimension mismatch: expected " + std::to_string(expected) + ", got " +
         std::to_string(got);
}

inline std::string invalid_config_text(const char* field, const char* reason) {
  return std::string("invalid config: ") + field + " -- " + reason;
}

// The reasons of invalid_config; each is kept by pointer.
inline constexpr char kMustBePositive[] = "must be > 0";
inline constexpr char kMustBeOneToEight[] = "must be 1-8";
inline constexpr char kCountTimesDimensionOverflows[] = "num_vectors * dimension overflows";
inline constexpr char kPositiveWithTargetSparsity[] = "must be > 0 when target_sparsity is set";

// ---- internal failures (MIVO_FAIL) ---------------------------------------------------

inline std::string extended_bits_out_of_range(uint64_t bits) {
  return "extended bits must be 1-7, got " + std::to_string(bits);
}

inline std::string total_bits_out_of_range(uint64_t bits) {
  return "total bits must be 1-8, got " + std::to_string(bits);
}

inline std::string sign_buffer_too_small(const std::string& error) {
  return "buffer sized correctly for the sign bits: " + error;
}

inline std::string index_out_of_bounds(const std::string& len) {
  return "index out of bounds: the len is " + len + " but the index is " + len;
}

inline std::string extended_bits_differ(uint64_t expected, uint64_t got) {
  return "record columns hold " + std::to_string(expected) + " extended bits, got " +
         std::to_string(got);
}

inline constexpr char kRecordStreamsMisSized[] =
    "record code streams sized for its dimension and extended bits";
inline constexpr char kBatchOutputMisSized[] = "batch output holds one value per record";
inline constexpr char kTernaryCodesTooShort[] =
    "ternary vector holds fewer code bytes than its dimension needs";
inline constexpr char kTernaryIndexPastEnd[] = "ternary index past the end of the codes";
inline constexpr char kRanksOfEmptyColumn[] = "quantile ranks of an empty column";
inline constexpr char kBatchOutputSize[] = "batch output sized for another number of records";
inline constexpr char kBatchRowPastEnd[] = "batch row past the last record";
inline constexpr char kBatchRecordShape[] = "record stored into a batch of another shape";
inline constexpr char kPaddingPastRow[] = "padding check of more bits than a row holds";

}  // namespace mivo
