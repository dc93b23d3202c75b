// Hamming distances, single and batch: the count against a bit-by-bit count, symmetry,
// and the batch on every SIMD target against the scalar batch, in both code layouts.
#include <bit>

#include "bit_codes.h"
#include "bit_codes_simd.h"
#include "fuzz_common.h"

using namespace mivo;

namespace {

uint32_t count_by_bits(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  uint32_t count = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    for (int bit = 0; bit < 8; ++bit) count += ((a[i] ^ b[i]) >> bit) & 1;
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  // Widths of whole 64-bit words (1, 2, 4, 8, 16 words) reach the row-stream path of
  // the vector targets; other widths the word and byte loops.
  static constexpr size_t kWordWidths[] = {8, 16, 32, 64, 128, 24, 40};
  const uint8_t shape = in.byte();
  const size_t width = shape & 1 ? kWordWidths[(shape >> 1) % 7] : in.range(0, 140);
  const size_t count = in.range(0, 48);
  const size_t query_len = in.flag() ? width : in.range(0, width + 9);

  const std::vector<uint8_t> query = in.bytes(query_len);
  const std::vector<uint8_t> rows = in.bytes(count * width, query);

  // The list layout: the same rows, some cut short or extended.
  std::vector<std::vector<uint8_t>> list(count);
  std::vector<std::span<const uint8_t>> spans(count);
  const uint8_t spread = in.byte() % 4;
  for (size_t j = 0; j < count; ++j) {
    list[j].assign(rows.begin() + j * width, rows.begin() + (j + 1) * width);
    if (spread != 0) list[j].resize(in.range(0, width + 9), static_cast<uint8_t>(j));
    spans[j] = list[j];
  }
  const CodeBatch dense(rows.data(), count, width);
  const CodeBatch listed{std::span<const std::span<const uint8_t>>(spans)};

  for (const CodeBatch* codes : {&dense, &listed}) {
    std::vector<uint32_t> want(count);
    batch_hamming_distances(query, *codes, want.data(), Kernels::kScalar);
    for (size_t j = 0; j < count; ++j) {
      const std::span<const uint8_t> code = (*codes)[j];
      MIVO_CHECK(want[j] == hamming_distance(query, code));
      MIVO_CHECK(want[j] == hamming_distance(code, query));
      MIVO_CHECK(want[j] == count_by_bits(query, code));
    }
    fuzz::for_each_target([&](int64_t target) {
      MIVO_CHECK(std::strcmp(bit_codes_simd::target_name(), hwy::TargetName(target)) == 0);
      std::vector<uint32_t> got(count + 1, 0xDEADBEEFu);
      batch_hamming_distances(query, *codes, got.data());
      MIVO_CHECK(std::equal(want.begin(), want.end(), got.begin()));
      MIVO_CHECK(got[count] == 0xDEADBEEFu);  // nothing written past the batch
    });
  }
  MIVO_CHECK(hamming_distance(query, query) == 0);
  return 0;
}
