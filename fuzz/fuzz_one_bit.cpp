// The one-bit kernels (inner product, asymmetric L2, their batch forms) and the
// multi-bit inner product: batch on a SIMD target picked by the input bit-identical
// to the scalar path in both code layouts, padding ignored, complemented codes negate the sum,
// length refusals, and the multi-bit product at one bit as half the one-bit one.
#include <cmath>

#include "bit_codes.h"
#include "bit_codes_simd.h"
#include "fuzz_common.h"

using namespace mivo;

namespace {

// Every value zero or of a magnitude whose sums of up to 300 terms neither overflow
// nor reach the subnormal range, so halving any partial sum is exact.
bool modest(std::span<const float> q) {
  for (const float x : q) {
    const float a = std::fabs(x);
    if (a != 0.0f && !(a >= 0x1p-60f && a <= 0x1p60f)) return false;
  }
  return true;
}

void check_multibit(fuzz::Input& in, std::span<const float> q, std::span<const uint8_t> code) {
  const size_t n = in.range(0, q.size() + 3);
  std::vector<uint16_t> codes(n);
  const uint8_t mode = in.byte();
  for (size_t i = 0; i < n; ++i) {
    codes[i] = in.byte();
    if (mode & 1) codes[i] = static_cast<uint16_t>(codes[i] | (in.byte() << 8));
    else codes[i] %= 16;
  }
  const uint64_t total_bits = mode & 2 ? in.u64() : in.range(0, 40);
  const float got = multibit_inner_product(q, codes, total_bits);
  MIVO_CHECK(fuzz::same_bits(got, multibit_inner_product(q, codes, total_bits)));
  if (std::min(n, q.size()) == 0) MIVO_CHECK(fuzz::same_bits(got, -0.0f));
  if (total_bits <= 24) {
    const float power = std::ldexp(1.0f, static_cast<int>(total_bits));
    MIVO_CHECK(multibit_centre(total_bits) == (power - 1.0f) / 2.0f);
  }

  // One bit per dimension: each term is +-q[i]/2, so the sum is half the one-bit sum.
  if (!q.empty() && modest(q)) {
    std::vector<uint16_t> bits(q.size());
    for (size_t i = 0; i < q.size(); ++i) bits[i] = (code[i / 8] >> (i % 8)) & 1;
    const float half = multibit_inner_product(q, bits, 1);
    const float full = one_bit_inner_product(q, code);
    MIVO_CHECK(half == full * 0.5f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const size_t dim = in.range(0, 200);
  const size_t need = packed_size(dim);
  const size_t width = need + in.range(0, 2);
  const size_t count = in.range(0, 70);
  const std::vector<float> q = in.values(dim);
  const std::vector<uint8_t> rows = in.bytes(count * width);

  // The list layout holds the same rows; some may be longer or (below) too short.
  std::vector<std::vector<uint8_t>> list(count);
  std::vector<std::span<const uint8_t>> spans(count);
  for (size_t j = 0; j < count; ++j) {
    list[j].assign(rows.begin() + j * width, rows.begin() + (j + 1) * width);
    spans[j] = list[j];
  }
  const CodeBatch dense(rows.data(), count, width);
  const CodeBatch listed{std::span<const std::span<const uint8_t>>(spans)};

  std::vector<float> want_ip(count), want_l2(count);
  batch_one_bit_inner_product(q, dense, want_ip.data(), Kernels::kScalar);
  batch_asymmetric_l2(q, dense, want_l2.data(), Kernels::kScalar);
  for (size_t j = 0; j < count; ++j) {
    const std::span<const uint8_t> code = dense[j];
    MIVO_CHECK(fuzz::same_bits(want_ip[j], one_bit_inner_product(q, code)));
    MIVO_CHECK(fuzz::same_bits(want_l2[j], asymmetric_l2_squared(q, code)));
    // Padding bits and surplus bytes are never read.
    std::vector<uint8_t> noisy(code.begin(), code.end());
    noisy.resize(need + 3, 0xA5);
    if (dim % 8 != 0) noisy[need - 1] ^= static_cast<uint8_t>(0xFF << (dim % 8));
    MIVO_CHECK(fuzz::same_bits(want_ip[j], one_bit_inner_product(q, noisy)));
    // Every sign flipped: each rounded sum is negated exactly.
    for (uint8_t& b : noisy) b = static_cast<uint8_t>(~b);
    MIVO_CHECK(fuzz::same_value(want_ip[j], -one_bit_inner_product(q, noisy)));
  }
  if (count > 0) check_multibit(in, q, dense[0]);

  // One SIMD target per input keeps runs cheap; the inputs cover them all.
  const int64_t target = fuzz::targets()[in.byte() % fuzz::targets().size()];
  const OnlyTarget only(target);
  MIVO_CHECK(std::strcmp(bit_codes_simd::target_name(), hwy::TargetName(target)) == 0);
  for (const CodeBatch* codes : {&dense, &listed}) {
    std::vector<float> got(count + 1, 1.0f);
    batch_one_bit_inner_product(q, *codes, got.data());
    MIVO_CHECK(fuzz::same_bits(std::span(got).first(count), want_ip));
    MIVO_CHECK(got[count] == 1.0f);
    batch_asymmetric_l2(q, *codes, got.data());
    MIVO_CHECK(fuzz::same_bits(std::span(got).first(count), want_l2));
    MIVO_CHECK(got[count] == 1.0f);
  }

  // Codes cut below ceil(dim / 8) bytes: the first short one (in order) is reported.
  if (need > 0 && count > 0) {
    size_t first_short = count;
    for (size_t j = 0; j < count; ++j) {
      if (in.byte() % 4 == 0) {
        list[j].resize(in.range(0, need - 1));
        spans[j] = list[j];
        if (first_short == count) first_short = j;
      }
    }
    if (first_short < count) {
      const uint64_t got = list[first_short].size();
      std::vector<float> out(count);
      fuzz::check_mismatch([&] { batch_one_bit_inner_product(q, listed, out.data()); }, need, got);
      fuzz::check_mismatch([&] { batch_asymmetric_l2(q, listed, out.data()); }, need, got);
      const auto scalar_l2 = [&] { batch_asymmetric_l2(q, listed, out.data(), Kernels::kScalar); };
      fuzz::check_mismatch(scalar_l2, need, got);
      fuzz::check_mismatch([&] { one_bit_inner_product(q, listed[first_short]); }, need, got);
    }
  }
  return 0;
}
