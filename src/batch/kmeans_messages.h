// The texts that kmeans and assign show.
#pragma once

#include <cstdint>
#include <string>

namespace mivo::py::batch {

inline constexpr char kCentroidsNotMatrix[] =
    "argument 'centroids': expected a 2-D float32 NumPy array of shape (nlist, dimension)";
inline constexpr char kNoCentroids[] = "argument 'centroids': expected at least one centroid";
inline constexpr char kNlistBelowOne[] = "nlist must be at least 1";
// Centroid ids are 32-bit inside; no count of centroids this large fits in memory
// anyway, but rows of zero columns do.
inline constexpr char kTooManyCentroids[] = "at most 4294967294 centroids";
inline constexpr char kSampleBelowOne[] = "sample must be at least 1";
inline constexpr char kIterationsNegative[] = "iterations must be at least 0";
inline constexpr char kThreadsOutOfRange[] = "threads must be None or from 1 to 1024";

// The keys of the counts that kmeans(..., stats=...) writes.
inline constexpr char kStatsTrainingRows[] = "training_rows";
inline constexpr char kStatsComputed[] = "computed";

inline std::string nlist_above_rows(uint64_t nlist, uint64_t rows) {
  return "nlist (" + std::to_string(nlist) + ") is above the number of vectors (" +
         std::to_string(rows) + ")";
}

inline std::string row_not_finite(const char* argument, uint64_t row) {
  return std::string("argument '") + argument + "': row " + std::to_string(row) +
         " holds a value that is not finite (NaN or infinity)";
}

}  // namespace mivo::py::batch
