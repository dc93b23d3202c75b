// The golden digests of the core: rotations and the dispatched kernels, computed on
// the scalar path and on every compiled SIMD target that this CPU runs, must equal
// the committed file (tests/golden/digests.txt) entry by entry. The module's surface
// is checked from Python against the same file.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <hwy/targets.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bit_codes.h"
#include "int_scan.h"
#include "kmeans.h"
#include "per_target.h"
#include "rabitq_batch.h"
#include "rotation.h"
#include "sha256.h"

#ifndef MIVO_GOLDEN_FILE
#error "MIVO_GOLDEN_FILE (the path of the digest file) is set by CMake"
#endif

namespace mivo {
namespace {

using Digests = std::map<std::string, std::string>;
constexpr char kPrefix[] = "core.";
constexpr float kInf = std::numeric_limits<float>::infinity();

// SplitMix64: the input stream, the same in the generator's Python half.
uint64_t next_u64(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Exactly representable values: 24 random bits in [-1, 1) scaled by 2^-40 .. 2^23,
// and one in eight a special value (infinities, subnormals, signed zeros, extremes).
std::vector<float> inputs(uint64_t seed, size_t n, bool specials) {
  static constexpr float kSpecial[8] = {kInf,      -kInf,        -0.0f,           0.0f,
                                        0x1p-149f, -0x1.8p-140f, 0x1.fffffep127f, -0x1p-126f};
  uint64_t state = seed;
  std::vector<float> out(n);
  for (auto& x : out) {
    const uint64_t z = next_u64(state);
    const float unit = static_cast<float>(static_cast<int64_t>(z >> 40) - (1 << 23)) * 0x1p-23f;
    x = specials && (z & 7) == 0 ? kSpecial[(z >> 3) & 7]
                                 : std::ldexp(unit, static_cast<int>((z >> 8) % 64) - 40);
  }
  return out;
}

std::vector<uint8_t> bytes(uint64_t seed, size_t n) {
  uint64_t state = seed;
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(next_u64(state) >> 56);
  return out;
}

// Little-endian bytes; every NaN as the one quiet NaN 0x7fc00000, since which NaN
// an operation passes on is not part of the results.
void put(Sha256& h, const std::vector<float>& v) {
  for (float x : v) {
    const uint32_t b = std::isnan(x) ? 0x7fc00000u : std::bit_cast<uint32_t>(x);
    const uint8_t le[4] = {uint8_t(b), uint8_t(b >> 8), uint8_t(b >> 16), uint8_t(b >> 24)};
    h.update(le, 4);
  }
}
void put(Sha256& h, const std::vector<uint32_t>& v) {
  for (uint32_t b : v) {
    const uint8_t le[4] = {uint8_t(b), uint8_t(b >> 8), uint8_t(b >> 16), uint8_t(b >> 24)};
    h.update(le, 4);
  }
}
template <class Int>
void put_ints(Sha256& h, const std::vector<Int>& v) {
  for (const Int x : v) {
    const uint64_t b = static_cast<uint64_t>(x);
    uint8_t le[8];
    for (int i = 0; i < 8; ++i) le[i] = uint8_t(b >> (8 * i));
    h.update(le, 8);
  }
}

// Codes of a batch in both layouts: `count` rows of `width` bytes, and the same rows
// as separate buffers whose lengths vary around the width.
struct Batch {
  std::vector<uint8_t> rows;
  std::vector<std::vector<uint8_t>> buffers;
  std::vector<std::span<const uint8_t>> spans;
  size_t count, width;
  Batch(uint64_t seed, size_t count, size_t width, size_t spread)
      : rows(bytes(seed, count * width)), count(count), width(width) {
    for (size_t j = 0; j < count; ++j) {
      buffers.emplace_back(rows.begin() + j * width, rows.begin() + (j + 1) * width);
      buffers.back().resize(width + j % (spread + 1));
    }
    for (const auto& b : buffers) spans.emplace_back(b);
  }
  CodeBatch dense() const { return CodeBatch(rows.data(), count, width); }
  CodeBatch list() const { return CodeBatch(std::span(spans)); }
};

// Gaussian records quantized by a fitted quantizer, and what a scan keeps of them.
struct IntScanCase {
  RaBitQQuantizer q;
  std::vector<float> vectors;
  std::vector<uint8_t> bin, ext;
  std::vector<float> factors;
  RecordColumns batch;
  ScanRecords kept;
  IntScanCase(uint64_t d, unsigned total, uint64_t n)
      : q(d, d + total, total),
        vectors(n * d),
        bin(n * binary_code_bytes(d)),
        ext(n * extended_code_bytes(d, total - 1)),
        factors(n * kFactorCount) {
    uint64_t state = d * 16 + total;
    for (auto& x : vectors) x = next_gaussian(state);
    q.fit(vectors, n);
    const MutableRecordColumns cols{d, total - 1, n, bin.data(), ext.data(), factors.data()};
    quantize_batch(q, vectors.data(), cols);
    batch = cols.view();
    kept = scan_records(batch);
  }
  std::vector<float> queries(uint64_t m) const {
    uint64_t state = batch.dimension * 7 + batch.ex_bits;
    std::vector<float> out(m * batch.dimension);
    for (auto& x : out) x = next_gaussian(state);
    return out;
  }
};

// The integer scan: estimates and bounds over dimensions (one not a multiple of 8),
// bit widths and query_bits; the pruning search with and without re-ranking.
void int_scan_digests(Kernels kernels, Digests& out) {
  constexpr uint64_t kRecords = 37;
  for (const uint64_t d : {7, 64, 100}) {
    for (const unsigned total : {1u, 4u, 8u}) {
      const IntScanCase c(d, total, kRecords);
      const std::vector<float> query = c.queries(1);
      for (const unsigned qb : {1u, 4u, 8u}) {
        std::vector<float> est(kRecords), lower(kRecords), upper(kRecords);
        Pacer pacer;
        integer_estimates(c.q, query, qb, c.batch, c.kept, est, lower, upper, pacer, kernels);
        Sha256 h;
        put(h, est);
        put(h, lower);
        put(h, upper);
        out["core.int_scan.estimates.d" + std::to_string(d) + ".b" + std::to_string(total) + ".q" +
            std::to_string(qb)] = h.hex();
      }
    }
  }
  constexpr uint64_t kSearchRecords = 300, kQueries = 4, kTop = 5;
  const IntScanCase c(100, 4, kSearchRecords);
  const std::vector<float> queries = c.queries(kQueries);
  for (const bool rerank : {false, true}) {
    std::vector<float> distances(kQueries * kTop);
    std::vector<int64_t> ids(kQueries * kTop);
    std::vector<uint64_t> candidates(kQueries);
    Pacer pacer;
    integer_search_batch(
        c.q, queries, kQueries, c.batch, c.kept, 4, kTop, rerank ? c.vectors.data() : nullptr,
        {distances.data(), ids.data(), rerank ? candidates.data() : nullptr}, pacer, kernels);
    Sha256 h;
    put(h, distances);
    put_ints(h, ids);
    if (rerank) put_ints(h, candidates);
    out[std::string("core.int_scan.search.d100.b4.q4.") + (rerank ? "rerank" : "estimates")] =
        h.hex();
  }
}

// k-means over values of mixed scales: centroids, the last assignment of the training
// rows and assign_nearest of every row, at dimensions around the vector sizes, with and
// without a sample, on two threads.
void kmeans_digests(Kernels kernels, Digests& out) {
  constexpr uint64_t kRows = 400;
  const std::pair<uint64_t, uint64_t> runs[] = {{3, 256}, {70, 4}};  // nlist, sample
  for (const uint64_t d : {1, 9, 40}) {
    const std::vector<float> rows = inputs(d * 31, kRows * d, false);
    for (const auto& [nlist, sample] : runs) {
      KmeansConfig config;
      config.nlist = nlist;
      config.sample = sample;
      config.seed = d;
      config.threads = 2;
      config.kernels = kernels;
      Pacer pacer;
      KmeansReport report;
      const std::vector<float> centroids = kmeans(rows.data(), kRows, d, config, pacer, &report);
      std::vector<int64_t> nearest(kRows);
      assign_nearest(centroids.data(), nlist, rows.data(), kRows, d, 2, nearest.data(), pacer,
                     kernels);
      Sha256 h;
      put(h, centroids);
      put(h, report.assignment);
      put_ints(h, nearest);
      out["core.kmeans.d" + std::to_string(d) + ".k" + std::to_string(nlist)] = h.hex();
    }
  }
}

// Every core entry, computed on the scalar loops or through the run-time dispatch.
Digests core_digests(bool scalar) {
  Digests out;
  const Kernels kernels = scalar ? Kernels::kScalar : Kernels::kBest;
  constexpr uint64_t kMax = ~uint64_t{0};
  const std::pair<uint64_t, uint64_t> rotations[] = {{1, 0},  {1, kMax}, {2, 0},      {2, kMax},
                                                     {7, 0},  {7, kMax}, {64, 0},     {64, kMax},
                                                     {65, 1}, {100, 0},  {100, kMax}, {768, kMax}};
  for (const auto& [d, seed] : rotations) {
    const Rotation r = Rotation::generate(d, seed, kernels);
    Sha256 rows, applied;
    put(rows, r.row_major());
    for (const bool specials : {false, true}) {
      const std::vector<float> x = inputs(d + specials, d, specials);
      std::vector<float> y(d);
      r.rotate(x.data(), y.data(), kernels);
      put(applied, y);
    }
    const std::string name = "d" + std::to_string(d) + ".seed" + std::to_string(seed);
    out["core.rotation." + name] = rows.hex();
    out["core.rotate." + name] = applied.hex();
  }

  // Widths around the vector sizes and tails; dimensions likewise for the floats.
  for (const size_t width : {0, 1, 7, 8, 16, 33, 64, 100, 129}) {
    const Batch b(width, 37, width, 3);
    const std::vector<uint8_t> q = bytes(width + 1000, width + 5);
    for (const bool dense : {true, false}) {
      const CodeBatch codes = dense ? b.dense() : b.list();
      Sha256 h;
      for (const size_t qlen : {width, width + 5, width / 2}) {
        std::vector<uint32_t> d(codes.size());
        const std::span<const uint8_t> query(q.data(), qlen);
        batch_hamming_distances(query, codes, d.data(), kernels);
        put(h, d);
      }
      out["core.batch_hamming_distances.w" + std::to_string(width) + (dense ? ".dense" : ".list")] =
          h.hex();
    }
  }
  for (const size_t dim : {1, 7, 8, 31, 64, 100, 257}) {
    const size_t width = packed_size(dim);
    const Batch b(dim + 77, 37, width, 2);
    for (const bool dense : {true, false}) {
      const CodeBatch codes = dense ? b.dense() : b.list();
      Sha256 ip, l2;
      for (const bool specials : {false, true}) {
        const std::vector<float> q = inputs(dim * 3 + specials, dim, specials);
        std::vector<float> a(codes.size()), c(codes.size());
        batch_one_bit_inner_product(q, codes, a.data(), kernels);
        batch_asymmetric_l2(q, codes, c.data(), kernels);
        put(ip, a);
        put(l2, c);
      }
      const std::string name = ".d" + std::to_string(dim) + (dense ? ".dense" : ".list");
      out["core.batch_one_bit_inner_product" + name] = ip.hex();
      out["core.batch_asymmetric_l2" + name] = l2.hex();
    }
  }
  int_scan_digests(kernels, out);
  kmeans_digests(kernels, out);
  return out;
}

// The core entries of the committed file; a missing or unreadable file, or a line
// that is not "name digest", fails the test.
Digests committed(const char* path = MIVO_GOLDEN_FILE) {
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << "cannot read the golden digests " << path;
  Digests out;
  std::string line, name, digest, rest;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    fields >> name >> digest;
    EXPECT_TRUE(fields && !(fields >> rest) && digest.size() == 64) << "bad line: " << line;
    if (name.starts_with(kPrefix)) out[name] = digest;
  }
  return out;
}

void expect_matches(const Digests& got, const Digests& want, const std::string& where) {
  if (want.empty()) {
    ADD_FAILURE() << "no core entries in the golden file " << MIVO_GOLDEN_FILE;
    return;
  }
  for (const auto& [name, digest] : got) {
    const auto it = want.find(name);
    if (it == want.end()) {
      ADD_FAILURE() << where << ": " << name << " is not in the golden file";
    } else {
      EXPECT_EQ(digest, it->second)
          << where << ": " << name << " differs: expected " << it->second << ", computed " << digest
          << "; to regenerate after a deliberate change of results only: "
          << "tools/root.sh run python3 tests/golden/generate.py, then review git diff "
          << "tests/golden/digests.txt";
    }
  }
  for (const auto& [name, digest] : want) {
    EXPECT_TRUE(got.count(name)) << name << " in the golden file is not computed";
  }
}

TEST(Golden, Sha256KnownVectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000, 'a'), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"}};
  for (const auto& [text, digest] : cases) {
    Sha256 h;
    h.update(text.data(), text.size());
    EXPECT_EQ(h.hex(), digest) << text.size() << " bytes";
  }
}

TEST(Golden, FailuresNameTheEntry) {
  EXPECT_NONFATAL_FAILURE(expect_matches({{"core.x", "a"}}, {{"core.x", "b"}}, "AVX2"),
                          "AVX2: core.x differs: expected b, computed a");
  EXPECT_NONFATAL_FAILURE(expect_matches({}, {{"core.y", "a"}}, "AVX2"),
                          "core.y in the golden file is not computed");
  EXPECT_NONFATAL_FAILURE(committed("/nonexistent/digests.txt"), "cannot read the golden digests");
  EXPECT_NONFATAL_FAILURE(expect_matches({{"core.x", "0"}}, {}, "scalar"), "no core entries");
}

// The generator (tests/golden/generate.py) takes the scalar entries from here:
// MIVO_GOLDEN_CORE_OUT names the file they are written to. Never set in a test run.
TEST(Golden, ScalarPathMatchesFile) {
  const Digests got = core_digests(true);
  if (const char* path = std::getenv("MIVO_GOLDEN_CORE_OUT")) {
    std::ofstream out(path);
    for (const auto& [name, digest] : got) out << name << ' ' << digest << '\n';
    ASSERT_TRUE(out.good()) << "cannot write " << path;
    return;
  }
  expect_matches(got, committed(), "scalar");
}

class GoldenSimd : public PerTarget {};
MIVO_EVERY_TARGET(GoldenSimd);

TEST_P(GoldenSimd, MatchesFile) {
  expect_matches(core_digests(false), committed(), hwy::TargetName(GetParam()));
}

}  // namespace
}  // namespace mivo
