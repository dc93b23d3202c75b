// The ternary quantizer and its similarity measures: values in {-1, 0, +1} with no 11
// field and zero padding, counts and sparsity consistent with the fields, codes that
// follow the thresholds, fitted thresholds taken at their quantile ranks of the
// centred columns, refused fits that keep the state, and the similarities against
// field-by-field counts (also on records with 11 fields, which read as 0).
#include <algorithm>
#include <cmath>
#include <optional>

#include "fuzz_common.h"
#include "ternary.h"

using namespace mivo;

namespace {

uint8_t field(const TernaryVector& v, uint64_t i) { return (v.data[i / 4] >> (2 * (i % 4))) & 3; }

void check_vector(const TernaryVector& v, uint64_t dim) {
  MIVO_CHECK(v.dimension == dim && v.data.size() == (dim + 3) / 4 && v.memory_bytes() == v.data.size());
  const std::vector<int8_t> values = v.to_list();
  MIVO_CHECK(values.size() == dim);
  uint64_t pos = 0, neg = 0;
  for (uint64_t i = 0; i < dim; ++i) {
    MIVO_CHECK(field(v, i) != 3);
    MIVO_CHECK(values[i] == v.get(i) && values[i] == code_value(field(v, i)));
    pos += values[i] == 1;
    neg += values[i] == -1;
  }
  for (uint64_t i = dim; i < 4 * v.data.size(); ++i) MIVO_CHECK(field(v, i) == 0);
  MIVO_CHECK(pos == v.num_positive && neg == v.num_negative);
  const float sparsity = v.sparsity();
  if (dim == 0) {
    MIVO_CHECK(std::isnan(sparsity));
  } else {
    MIVO_CHECK(sparsity >= 0.0f && sparsity <= 1.0f);
  }
}

// A record straight from bytes, 11 fields and all, with counts that match its fields.
TernaryVector raw_vector(fuzz::Input& in, uint64_t dim) {
  TernaryVector v;
  v.dimension = dim;
  v.data = in.bytes((dim + 3) / 4);
  if (dim % 4 != 0) v.data.back() &= static_cast<uint8_t>((1u << (2 * (dim % 4))) - 1);
  for (uint64_t i = 0; i < dim; ++i) {
    v.num_positive += code_value(field(v, i)) == 1;
    v.num_negative += code_value(field(v, i)) == -1;
  }
  return v;
}

void check_pair(const TernaryVector& a, const TernaryVector& b, std::span<const float> q) {
  const std::optional<uint64_t> ham = ternary_hamming(a, b);
  const int32_t ip = ternary_inner_product(a, b);
  const float cosine = ternary_cosine_similarity(a, b);
  MIVO_CHECK(ham == ternary_hamming(b, a) && ip == ternary_inner_product(b, a));
  MIVO_CHECK(fuzz::same_bits(cosine, ternary_cosine_similarity(b, a)));
  MIVO_CHECK(cosine >= -1.0f && cosine <= 1.0f);
  if (a.dimension != b.dimension) {
    MIVO_CHECK(!ham.has_value() && ip == 0 && cosine == 0.0f);
  } else {
    uint64_t differing = 0;
    int64_t product = 0;
    for (uint64_t i = 0; i < a.dimension; ++i) {
      differing += field(a, i) != field(b, i);
      product += code_value(field(a, i)) * code_value(field(b, i));
    }
    MIVO_CHECK(ham == differing && ip == product);
    if (a.num_positive + a.num_negative == 0 || b.num_positive + b.num_negative == 0) {
      MIVO_CHECK(fuzz::same_bits(cosine, 0.0f));
    }
  }

  // Asymmetric measures: the sum in index order from +0.0, zero codes included.
  const float aip = ternary_asymmetric_inner_product(q, a);
  const float dist = ternary_asymmetric_cosine_distance(q, a);
  if (q.size() != a.dimension) {
    MIVO_CHECK(fuzz::same_bits(aip, 0.0f));
  } else {
    float sum = 0.0f;
    for (uint64_t i = 0; i < q.size(); ++i) {
      const float term = q[i] * static_cast<float>(code_value(field(a, i)));
      sum = sum + term;
    }
    MIVO_CHECK(fuzz::same_value(aip, sum));  // NaN payloads depend on operand order here
  }
  if (a.num_positive + a.num_negative == 0) MIVO_CHECK(dist == 1.0f);
  MIVO_CHECK(fuzz::same_bits(dist, ternary_asymmetric_cosine_distance(q, a)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint64_t dim = in.range(0, 40);
  const float high = in.value();
  const float low = in.value();
  const uint8_t config = in.byte();
  const bool normalize = config & 1;
  std::optional<float> sparsity;
  if (config & 2) sparsity = in.value();
  TernaryQuantizer quantizer(dim, high, low, normalize, sparsity);

  // Fit on n rows; then refused fits (wrong length, or no rows while there are
  // dimensions) leave the mean and thresholds as they were.
  const uint64_t n = in.range(0, 12);
  std::vector<float> rows;
  if (config & 4) {
    rows = in.values(n * dim);
    if (n == 0 && dim > 0) {
      MIVO_CHECK_REFUSES(quantizer.fit(rows, n), InvalidConfig);
      MIVO_CHECK(!quantizer.mean().has_value() && !quantizer.fitted_thresholds().has_value());
    } else {
      quantizer.fit(rows, n);
      MIVO_CHECK(quantizer.mean().has_value() && quantizer.mean()->size() == dim);
      MIVO_CHECK(quantizer.fitted_thresholds().has_value() == sparsity.has_value());
    }
  }
  const auto mean = quantizer.mean();
  const auto thresholds = quantizer.fitted_thresholds();
  if (config & 8) {
    const std::vector<float> wrong = in.values(n * dim + 1);
    fuzz::check_mismatch([&] { quantizer.fit(wrong, n); }, n * dim, n * dim + 1);
    if (dim > 0) MIVO_CHECK_REFUSES(quantizer.fit({}, 0), InvalidConfig);
    MIVO_CHECK(quantizer.mean().has_value() == mean.has_value());
    if (mean) MIVO_CHECK(fuzz::same_bits(*quantizer.mean(), *mean));
    MIVO_CHECK(quantizer.fitted_thresholds().has_value() == thresholds.has_value());
  }

  // Fitted thresholds: values of the centred column at ranks lo and hi in totalOrder.
  if (thresholds && n > 0) {
    const auto [lo, hi] = ternary_quantile_ranks(*sparsity, n);
    MIVO_CHECK(lo < n && hi < n);
    for (uint64_t d = 0; d < dim; ++d) {
      std::vector<uint32_t> keys(n);
      for (uint64_t j = 0; j < n; ++j) keys[j] = float_order_key(rows[j * dim + d] - (*mean)[d]);
      std::sort(keys.begin(), keys.end());
      MIVO_CHECK(float_order_key((*thresholds)[d].low) == keys[lo]);
      MIVO_CHECK(float_order_key((*thresholds)[d].high) == keys[hi]);
    }
  }

  const std::vector<float> x = in.values(dim);
  const TernaryVector a = quantizer.quantize(x);
  check_vector(a, dim);
  const TernaryVector again = quantizer.quantize(x);
  MIVO_CHECK(again.data == a.data && fuzz::same_bits(again.original_norm, a.original_norm));
  fuzz::check_mismatch([&] { quantizer.quantize(in.values(dim + 1)); }, dim, dim + 1);

  // Without centring and normalising the codes follow the thresholds directly.
  if (!mean && !normalize) {
    for (uint64_t i = 0; i < dim; ++i) {
      const int8_t want = x[i] > high ? 1 : (x[i] < low ? -1 : 0);
      MIVO_CHECK(a.get(i) == want);
    }
  }

  // Similarities: against another coded vector, a raw record, and itself.
  const TernaryVector b = quantizer.quantize(in.values(dim));
  const TernaryVector c = raw_vector(in, in.flag() ? dim : in.range(0, 40));
  const std::vector<float> q = in.values(in.flag() ? dim : in.range(0, 40));
  check_pair(a, b, q);
  check_pair(a, c, q);
  check_pair(c, a, q);
  check_pair(a, a, q);
  MIVO_CHECK(ternary_hamming(a, a) == 0u);
  MIVO_CHECK(ternary_inner_product(a, a) == static_cast<int32_t>(a.num_positive + a.num_negative));
  return 0;
}
