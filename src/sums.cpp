// The shared sequential f32 sums (see sums.h): plain scalar loops in index order.
#include "sums.h"

#include <algorithm>

namespace mivo {

float squared_norm(std::span<const float> query, float start) {
  float sum = start;
  for (float x : query) sum = add_square(sum, x);
  return sum;
}

float squared_distance(std::span<const float> a, std::span<const float> b, float start) {
  const uint64_t n = std::min(a.size(), b.size());
  float sum = start;
  for (uint64_t i = 0; i < n; ++i) sum = add_square(sum, a[i] - b[i]);
  return sum;
}

float centred_inner_product(std::span<const float> query, std::span<const uint16_t> codes,
                            float centre, float start) {
  const uint64_t n = std::min(query.size(), codes.size());
  float sum = start;
  for (uint64_t i = 0; i < n; ++i) sum = add_centred_product(sum, codes[i], centre, query[i]);
  return sum;
}

void add_row(float* sum, const float* row, uint64_t d, SumOrder order) {
  if (order == SumOrder::kSumFirst) {
    for (uint64_t j = 0; j < d; ++j) sum[j] = sum[j] + row[j];
  } else {
    for (uint64_t j = 0; j < d; ++j) sum[j] = row[j] + sum[j];
  }
}

void divide_by_count(float* sum, uint64_t d, uint64_t count) {
  const float divisor = static_cast<float>(count);
  for (uint64_t j = 0; j < d; ++j) sum[j] = sum[j] / divisor;
}

void column_means(const float* rows, uint64_t n, uint64_t d, SumOrder order, float* mean) {
  std::fill(mean, mean + d, 0.0f);
  // With zero columns any n fits an empty input: the rows are not walked at all, so
  // a count that no data backs costs nothing.
  for (uint64_t i = 0; d > 0 && i < n; ++i) add_row(mean, rows + i * d, d, order);
  divide_by_count(mean, d, n);
}

}  // namespace mivo
