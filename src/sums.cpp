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

void column_means(const float* rows, uint64_t n, uint64_t d, SumOrder order, float* mean) {
  std::fill(mean, mean + d, 0.0f);
  // With zero columns any n fits an empty input: the rows are not walked at all, so
  // a count that no data backs costs nothing.
  for (uint64_t i = 0; d > 0 && i < n; ++i) {
    const float* row = rows + i * d;
    if (order == SumOrder::kSumFirst) {
      for (uint64_t j = 0; j < d; ++j) mean[j] = mean[j] + row[j];
    } else {
      for (uint64_t j = 0; j < d; ++j) mean[j] = row[j] + mean[j];
    }
  }
  const float count = static_cast<float>(n);
  for (uint64_t j = 0; j < d; ++j) mean[j] = mean[j] / count;
}

}  // namespace mivo
