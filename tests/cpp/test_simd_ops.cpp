// Tests of the SIMD batch kernels: every compiled target that this CPU supports
// must give bit for bit what the one-code-at-a-time kernels give (one test case per
// target, see per_target.h).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "error.h"
#include "per_target.h"
#include "simd_ops.h"

namespace mivo {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

Bytes random_bytes(std::mt19937_64& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

std::vector<float> random_query(std::mt19937_64& rng, size_t dim, bool specials) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-30, 30);
  std::vector<float> q(dim);
  for (auto& x : q) x = std::ldexp(normal(rng), exponent(rng));
  if (specials && dim > 0) {
    const float special[] = {kNaN, -kNaN, kInf, -kInf, -0.0f, 0.0f, 1e-45f, 3e38f};
    for (int k = 0; k < 4; ++k) q[rng() % dim] = special[rng() % 8];
  }
  return q;
}

// Codes as separate buffers and as one row-major block of `width` bytes per row.
struct Batch {
  std::vector<Bytes> buffers;
  std::vector<std::span<const uint8_t>> spans;
  Bytes rows;
  size_t width = 0;
  CodeBatch list() const { return CodeBatch(std::span(spans)); }
  CodeBatch dense() const { return CodeBatch(rows.data(), spans.size(), width); }
};

Batch make_batch(std::mt19937_64& rng, size_t n, size_t width, size_t spread) {
  Batch b;
  b.width = width;
  b.rows = random_bytes(rng, n * width);
  for (size_t j = 0; j < n; ++j) {
    // The list copies hold the same rows, some with extra or missing bytes.
    Bytes code(b.rows.begin() + j * width, b.rows.begin() + (j + 1) * width);
    if (spread > 0) code.resize(width + rng() % (2 * spread + 1) - std::min(width, spread));
    b.buffers.push_back(std::move(code));
  }
  for (const auto& code : b.buffers) b.spans.emplace_back(code);
  return b;
}

// Exact bits, except that every NaN counts as one: which NaN operand an addition
// propagates depends on the order the compiler picks for the operands, which C++
// leaves open (instrumented builds do pick differently).
std::vector<uint32_t> bits_of(const std::vector<float>& v) {
  std::vector<uint32_t> out;
  for (float x : v) out.push_back(x != x ? 0x7FC00000u : std::bit_cast<uint32_t>(x));
  return out;
}

class SimdHamming : public PerTarget {};
MIVO_EVERY_TARGET(SimdHamming);

TEST_P(SimdHamming, MatchesScalar) {
  std::mt19937_64 rng(7);
  // widths: 64-bit words that fill vectors (8..128), odd word counts, odd bytes.
  const size_t widths[] = {0, 1, 5, 8, 16, 24, 32, 40, 64, 72, 96, 128, 136, 256, 1000, 2049};
  for (size_t width : widths) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{33}, size_t{70}}) {
      const Batch b = make_batch(rng, n, width, 9);
      const Bytes full = random_bytes(rng, width + 11);
      for (size_t qlen : {width, width + 11, width / 2, width > 3 ? width - 3 : 0}) {
        const std::span<const uint8_t> q(full.data(), qlen);
        for (const CodeBatch& codes : {b.dense(), b.list()}) {
          std::vector<uint32_t> got(n, 0xDEADu), want(n);
          batch_hamming_distances(q, codes, got.data());
          scalar::batch_hamming_distances(q, codes, want.data());
          ASSERT_EQ(got, want) << "width " << width << " n " << n << " query " << qlen;
        }
      }
    }
  }
}

TEST_P(SimdHamming, SmallCases) {
  const Bytes ones(16, 0xFF), zeros(16, 0), q9(9, 0xAA), r9(9, 0x55), one_bit = [] {
    Bytes b(16, 0);
    b[15] = 0x10;
    return b;
  }();
  const std::vector<std::span<const uint8_t>> codes = {ones, zeros, one_bit, {}, r9};
  std::vector<uint32_t> out(codes.size());
  batch_hamming_distances(zeros, CodeBatch(std::span(codes)), out.data());
  EXPECT_EQ(out, (std::vector<uint32_t>{128, 0, 1, 0, 36}));
  batch_hamming_distances(q9, CodeBatch(std::span(codes)), out.data());
  EXPECT_EQ(out, (std::vector<uint32_t>{36, 36, 36, 0, 72}));
}

class SimdOneBit : public PerTarget {};
MIVO_EVERY_TARGET(SimdOneBit);

TEST_P(SimdOneBit, MatchesScalar) {
  std::mt19937_64 rng(11);
  std::vector<size_t> dims = {1,  2,  7,   8,   9,   15,  16,  17,  31,  32,  33,  63,  64,
                              65, 96, 127, 128, 129, 200, 255, 256, 257, 768, 1000, 2049};
  for (int k = 0; k < 6; ++k) dims.push_back(1 + rng() % 2049);
  for (size_t dim : dims) {
    const size_t need = packed_size(dim);
    for (size_t n : {size_t{0}, size_t{1}, size_t{7}, size_t{16}, size_t{47}, size_t{70}}) {
      const Batch b = make_batch(rng, n, need + rng() % 3, 0);
      // The list holds codes of different lengths, all long enough.
      Batch mixed = b;
      for (auto& code : mixed.buffers) code.resize(code.size() + rng() % 20, 0xA5);
      mixed.spans.assign(mixed.buffers.begin(), mixed.buffers.end());
      for (bool specials : {false, true}) {
        const std::vector<float> q = random_query(rng, dim, specials);
        for (const CodeBatch& codes : {b.dense(), b.list(), mixed.list()}) {
          std::vector<float> got(n, 7.0f), want(n);
          batch_one_bit_inner_product(q, codes, got.data());
          scalar::batch_one_bit_inner_product(q, codes, want.data());
          ASSERT_EQ(bits_of(got), bits_of(want)) << "dim " << dim << " n " << n;
          batch_asymmetric_l2(q, codes, got.data());
          scalar::batch_asymmetric_l2(q, codes, want.data());
          ASSERT_EQ(bits_of(got), bits_of(want)) << "dim " << dim << " n " << n;
        }
      }
    }
  }
}

struct WorkedExample {
  std::vector<float> q;
  Bytes code;
  float ip, l2;
};
const WorkedExample kWorkedExamples[] = {
    {{1e8f, 1.0f, -1e8f}, {0x07}, 0.0f, 2e16f},  // 1e8 + 1 rounds back to 1e8
    {{1.0f, 2.0f, 3.0f}, {0x05}, 2.0f, 13.0f},
    {{1.000136375427246f, -1.0002567768096924f, -1.0000663995742798f, -0.9998229146003723f,
      1.0000041723251343f},
     {0x11}, 0x1.4004b4p+2f, -0x1p-20f},  // a small negative distance, not clamped
    {{1.0f}, {0xFE}, -1.0f, 4.0f},
    {{1.0f}, {0x01, 0xFF, 0xFF}, 1.0f, 0.0f},
    {{}, {}, 0.0f, 0.0f},
};

TEST(OneBit, WorkedExamples) {
  for (const WorkedExample& c : kWorkedExamples) {
    EXPECT_EQ(std::bit_cast<uint32_t>(one_bit_inner_product(c.q, c.code)),
              std::bit_cast<uint32_t>(c.ip));
    EXPECT_EQ(std::bit_cast<uint32_t>(asymmetric_l2_squared(c.q, c.code)),
              std::bit_cast<uint32_t>(c.l2));
  }
}

TEST_P(SimdOneBit, WorkedExamples) {
  for (const WorkedExample& c : kWorkedExamples) {
    // 70 copies: the example sits in every lane of every group.
    const std::vector<std::span<const uint8_t>> codes(70, c.code);
    std::vector<float> ip(70), l2(70);
    batch_one_bit_inner_product(c.q, CodeBatch(std::span(codes)), ip.data());
    batch_asymmetric_l2(c.q, CodeBatch(std::span(codes)), l2.data());
    EXPECT_EQ(bits_of(ip), bits_of(std::vector<float>(70, c.ip)));
    EXPECT_EQ(bits_of(l2), bits_of(std::vector<float>(70, c.l2)));
  }
}

// An addition of two NaNs keeps one of them, and vector code may keep another one
// than the scalar loop does, so the dispatch sends every query holding a NaN to the
// scalar loop before any target is chosen. The queries hold NaNs of both signs and
// several payloads, and the 256 one-byte codes make them meet in every combination of
// signs, so a query that reached vector code would most likely show in the raw bits.
TEST(OneBitDispatch, NaNQueriesTakeTheScalarPath) {
  const float payload = std::bit_cast<float>(0x7FC12345u);
  const float negative = std::bit_cast<float>(0xFFEDCBA9u);
  const std::vector<std::vector<float>> queries = {
      {-0x1p-16f, negative, negative, negative},
      {kNaN, kNaN},
      {payload, 1.0f, negative, -kNaN},
      {kInf, -kInf, payload, 2.0f, 3.0f, kNaN, 0.5f, negative},
  };
  std::vector<Bytes> codes;
  for (unsigned byte = 0; byte < 256; ++byte) codes.push_back({static_cast<uint8_t>(byte)});
  const std::vector<std::span<const uint8_t>> spans(codes.begin(), codes.end());
  for (const auto& q : queries) {
    std::vector<float> got(256), want(256);
    batch_one_bit_inner_product(q, CodeBatch(std::span(spans)), got.data());
    scalar::batch_one_bit_inner_product(q, CodeBatch(std::span(spans)), want.data());
    for (size_t j = 0; j < 256; ++j) {
      ASSERT_EQ(std::bit_cast<uint32_t>(got[j]), std::bit_cast<uint32_t>(want[j]))
          << "query of " << q.size() << ", code " << j;
    }
  }
}

TEST_P(SimdOneBit, FirstShortCodeFailsTheBatch) {
  const std::vector<float> q(9, 1.0f);
  const Bytes two(2, 0), one(1, 0), none;
  const std::vector<std::span<const uint8_t>> codes = {two, one, none};
  const Bytes rows(6, 0);
  for (const CodeBatch& batch : {CodeBatch(std::span(codes)), CodeBatch(rows.data(), 6, 1)}) {
    std::vector<float> out(batch.size(), 5.0f);
    try {
      batch_asymmetric_l2(q, batch, out.data());
      ADD_FAILURE() << "no error";
    } catch (const QuantizerError& e) {
      EXPECT_EQ(e.message(), "dimension mismatch: expected 2, got 1");
    }
    EXPECT_EQ(out, std::vector<float>(batch.size(), 5.0f));  // nothing written
  }
}

}  // namespace
}  // namespace mivo
