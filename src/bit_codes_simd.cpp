// Vector kernels of the batch forms on packed one-bit codes, compiled once per SIMD
// target by Highway and chosen at run time.
//
// They vectorise across codes, never within one code's float sum: every inner product
// stays one sequential chain in index order from +0.0, so the results equal the
// scalar loops of bit_codes.cpp bit for bit on every target.
//
// This file is included once per target by Highway's foreach_target.h; the code
// outside the HWY_NAMESPACE block is compiled in the final pass only (HWY_ONCE).
// Which targets are compiled is set once for the whole build, in CMakeLists.txt.
// Vector types of scalable targets are sizeless: they live only in named variables,
// never in arrays or class members.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "bit_codes_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/cache_control.h>
#include <hwy/highway.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "bit_codes.h"
#include "bit_codes_simd.h"

// Per-target part. On x86 targets from SSE4 up, scalar std::popcount may use the
// POPCNT instruction (every CPU with SSE4.2 has it), but Highway's target attributes
// do not name it and the baseline build does not have it: it is added here, for
// either compiler, and taken away again at the end of the per-target part.
#undef MIVO_WITH_POPCNT
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_SSE4 && (HWY_COMPILER_CLANG || HWY_COMPILER_GCC_ACTUAL)
#define MIVO_WITH_POPCNT 1
#else
#define MIVO_WITH_POPCNT 0
#endif
HWY_BEFORE_NAMESPACE();
#if MIVO_WITH_POPCNT && HWY_COMPILER_CLANG
#pragma clang attribute push(__attribute__((target("popcnt"))), apply_to = function)
#elif MIVO_WITH_POPCNT
#pragma GCC target("popcnt")
#endif
namespace mivo {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Targets that only emulate vectors run the scalar kernels, which are faster there.
#undef MIVO_VECTOR_TARGET
#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128
#define MIVO_VECTOR_TARGET 0
#else
#define MIVO_VECTOR_TARGET 1
#endif

// Targets with a one-instruction population count of 64-bit lanes.
#undef MIVO_POPCNT64
#if HWY_TARGET == HWY_AVX3_DL || (defined(HWY_AVX3_ZEN4) && HWY_TARGET == HWY_AVX3_ZEN4) || \
    (defined(HWY_AVX3_SPR) && HWY_TARGET == HWY_AVX3_SPR) || HWY_TARGET == HWY_SVE ||       \
    HWY_TARGET == HWY_SVE2 || HWY_TARGET == HWY_SVE_256 || HWY_TARGET == HWY_SVE2_128
#define MIVO_POPCNT64 1
#else
#define MIVO_POPCNT64 0
#endif

// Whether the one-bit kernel selects q or -q by a sign-bit blend.
#undef MIVO_SIGN_BLEND
#if HWY_TARGET == HWY_AVX2
#define MIVO_SIGN_BLEND 1
#else
#define MIVO_SIGN_BLEND 0
#endif

#if MIVO_VECTOR_TARGET

// ---------------------------------------------------------------- Hamming

template <class D64>
HWY_INLINE hn::Vec<D64> LoadWords(D64 d64, const uint8_t* p) {
  return hn::LoadU(d64, reinterpret_cast<const uint64_t*>(p));
}

#if !MIVO_POPCNT64
// The number of set bits of every byte.
template <class D8>
HWY_INLINE hn::Vec<D8> ByteBitCounts(D8 d8, hn::Vec<D8> x) {
#if defined(HWY_SSE2) && HWY_TARGET == HWY_SSE2
  // No byte shuffle: counts by shifts and masks within 64-bit words.
  const hn::Repartition<uint64_t, D8> d64;
  auto w = hn::BitCast(d64, x);
  const auto m55 = hn::Set(d64, 0x5555555555555555ull);
  const auto m33 = hn::Set(d64, 0x3333333333333333ull);
  const auto m0f = hn::Set(d64, 0x0F0F0F0F0F0F0F0Full);
  w = hn::Sub(w, hn::And(hn::ShiftRight<1>(w), m55));
  w = hn::Add(hn::And(w, m33), hn::And(hn::ShiftRight<2>(w), m33));
  return hn::BitCast(d8, hn::And(hn::Add(w, hn::ShiftRight<4>(w)), m0f));
#else
  // By nibble table.
  (void)d8;
  return hn::PopulationCount(x);
#endif
}
#endif

// The number of set bits of every 64-bit lane.
template <class D64>
HWY_INLINE hn::Vec<D64> LaneBitCounts(D64 /* d64 */, hn::Vec<D64> x) {
#if MIVO_POPCNT64
  return hn::PopulationCount(x);
#else
  const hn::Repartition<uint8_t, D64> d8;
  return hn::SumsOf8(ByteBitCounts(d8, hn::BitCast(d8, x)));
#endif
}

#if !MIVO_POPCNT64
// Most vectors whose byte counts can be added as bytes: 8 * 31 < 256.
constexpr size_t kRun = 31;

// The differing bits of each byte of `vectors` (up to kRun) vectors at a and b,
// summed as bytes.
template <class D8>
HWY_INLINE hn::Vec<D8> ByteCountsOf(D8 d8, const uint8_t* a, const uint8_t* b, size_t vectors) {
  const size_t vbytes = hn::Lanes(d8);
  auto sum = ByteBitCounts(d8, hn::Xor(hn::LoadU(d8, a), hn::LoadU(d8, b)));
  for (size_t v = 1; v < vectors; ++v) {
    const size_t o = v * vbytes;
    sum = hn::Add(sum, ByteBitCounts(d8, hn::Xor(hn::LoadU(d8, a + o), hn::LoadU(d8, b + o))));
  }
  return sum;
}

// The differing bits of more than kRun vectors at a and b in the lanes of a vector,
// widened once per kRun vectors. A call of its own keeps the loops over shorter codes
// lean.
template <class D64>
HWY_NOINLINE hn::Vec<D64> ManyDifferingLaneBits(D64 d64, const uint8_t* a, const uint8_t* b,
                                                size_t vectors) {
  const hn::Repartition<uint8_t, D64> d8;
  const size_t vbytes = hn::Lanes(d8);
  auto acc = hn::Zero(d64);
  for (size_t v = 0; v < vectors; v += kRun) {
    const size_t o = v * vbytes;
    acc = hn::Add(acc, hn::SumsOf8(ByteCountsOf(d8, a + o, b + o, std::min(kRun, vectors - v))));
  }
  return acc;
}
#endif

// The differing bits of V vectors at a and b (V = 0: of bytes / vector size vectors,
// any number), summed into the lanes of a vector. A fixed V unrolls the loop.
template <size_t V, class D64>
HWY_INLINE hn::Vec<D64> DifferingLaneBits(D64 d64, const uint8_t* a, const uint8_t* b,
                                          size_t bytes) {
  const size_t vbytes = hn::Lanes(d64) * 8;
  const size_t vectors = V != 0 ? V : bytes / vbytes;
#if MIVO_POPCNT64
  auto acc = hn::Zero(d64);
  for (size_t v = 0; v < vectors; ++v) {
    const size_t o = v * vbytes;
    acc = hn::Add(acc, hn::PopulationCount(hn::Xor(LoadWords(d64, a + o), LoadWords(d64, b + o))));
  }
  return acc;
#else
  // Counts of bytes are added as bytes and widened to lanes once per code of up to 31
  // vectors (at most 8 * 31 < 256 per byte), not once per vector.
  static_assert(V <= kRun, "one widening per code");
  const hn::Repartition<uint8_t, D64> d8;
  if constexpr (V != 0) {
    return hn::SumsOf8(ByteCountsOf(d8, a, b, V));
  } else {
    if (vectors <= kRun) return hn::SumsOf8(ByteCountsOf(d8, a, b, vectors));
    return ManyDifferingLaneBits(d64, a, b, vectors);
  }
#endif
}

// Differing bits of a and b over len bytes (any length): whole vectors, then words,
// then bytes. The count is order-independent, so the byte order of a word is moot.
HWY_INLINE uint32_t CountDiffering(const uint8_t* a, const uint8_t* b, size_t len) {
  const hn::ScalableTag<uint64_t> d64;
  const size_t n64 = hn::Lanes(d64);
  const size_t words = len / 8;
  size_t w = 0;
  uint64_t count = 0;
  if (words >= n64) {
    auto acc = hn::Zero(d64);
    for (; w + n64 <= words; w += n64) {
      acc = hn::Add(
          acc, LaneBitCounts(d64, hn::Xor(LoadWords(d64, a + 8 * w), LoadWords(d64, b + 8 * w))));
    }
    count = hn::GetLane(hn::SumOfLanes(d64, acc));
  }
  for (; w < words; ++w) {
    uint64_t x, y;
    std::memcpy(&x, a + 8 * w, 8);
    std::memcpy(&y, b + 8 * w, 8);
    count += static_cast<uint64_t>(std::popcount(x ^ y));
  }
  for (size_t i = 8 * words; i < len; ++i) {
    count += static_cast<uint64_t>(std::popcount(static_cast<uint8_t>(a[i] ^ b[i])));
  }
  return static_cast<uint32_t>(count);  // wraps like the scalar u32 count
}

// Row-major codes of `width` = 8 * words bytes compared over their whole width form
// one stream of 64-bit words. Stream vector s holds the lane counts of either a whole
// vector of words of several codes (words < lanes, PackedRows) or, summed vertically,
// all words of code s (words a multiple of lanes, WholeRows). Adjacent lanes are then
// added pairwise, in stream order, until one lane per code remains.

// Codes of fewer words than a vector has lanes: the query is repeated in `pattern`.
template <class D64>
struct PackedRows {
  D64 d64;
  const uint8_t* rows;
  const uint64_t* pattern;

  hn::Vec<D64> operator()(size_t s) const {
    const size_t vbytes = hn::Lanes(d64) * 8;
    return LaneBitCounts(d64, hn::Xor(LoadWords(d64, rows + s * vbytes), hn::LoadU(d64, pattern)));
  }
};

// Codes of V whole vectors each (V = 0: width / vector size, known at run time).
template <class D64, size_t V>
struct WholeRows {
  D64 d64;
  const uint8_t* rows;
  const uint8_t* query;
  size_t width;

  hn::Vec<D64> operator()(size_t s) const {
    return DifferingLaneBits<V>(d64, rows + s * width, query, width);
  }
};

// Sums adjacent lane pairs K times over stream vectors first .. first + 2^K - 1:
// lane l of the result is the sum of 2^K consecutive lanes of the stream.
template <int K, class D64, class Stream>
HWY_INLINE hn::Vec<D64> PairSums(D64 d64, const Stream& stream, size_t first) {
  if constexpr (K == 0) {
    return stream(first);
  } else {
    const auto lo = PairSums<K - 1>(d64, stream, first);
    const auto hi = PairSums<K - 1>(d64, stream, first + (size_t{1} << (K - 1)));
    return hn::Add(hn::ConcatEven(d64, hi, lo), hn::ConcatOdd(d64, hi, lo));
  }
}

// Codes [0, blocks * 2 * lanes) of the stream, 2 * lanes codes per block, whose
// per-code word count after vertical sums is 2^K.
template <int K, class D64, class Stream>
HWY_NOINLINE void DenseBlocks(D64 d64, const Stream& stream, size_t blocks, uint32_t* out) {
  const hn::Repartition<uint32_t, D64> d32;
  const size_t n32 = hn::Lanes(d32);
  constexpr size_t kPer = size_t{1} << K;  // stream vectors per lane-full of codes
  for (size_t b = 0; b < blocks; ++b) {
    const auto lo = PairSums<K>(d64, stream, 2 * b * kPer);
    const auto hi = PairSums<K>(d64, stream, (2 * b + 1) * kPer);
    // Counts are below 2^32 in their u64 lanes (or wrap as the scalar count does):
    // the low halves, in order, are the results.
    hn::StoreU(hn::ConcatEven(d32, hn::BitCast(d32, hi), hn::BitCast(d32, lo)), d32, out + b * n32);
  }
}

#if !MIVO_POPCNT64 && !HWY_HAVE_SCALABLE
// Codes of V whole vectors each on targets of four 64-bit lanes (256-bit vectors),
// eight codes per block: their byte counts are folded in bytes, halves of two codes
// into one vector, then 64-bit quarters of four, so that one widening serves four
// codes instead of one. The folded bytes reach 32 * V (V <= 7 fits a byte).
template <size_t V>
HWY_NOINLINE void FoldedBlocks(const uint8_t* rows, const uint8_t* query, size_t width,
                               size_t blocks, uint32_t* out) {
  static_assert(V >= 1 && 32 * V < 256, "folded counts fit a byte");
  const hn::ScalableTag<uint8_t> d8;
  const hn::Repartition<uint64_t, decltype(d8)> d64;
  const hn::Repartition<uint32_t, decltype(d8)> d32;
  // Dependent on V, so that compilers which check a static_assert in a template's
  // definition (g++ 12) leave it to the targets that instantiate the template.
  static_assert(V == 0 || hn::MaxLanes(d64) == 4, "256-bit vectors");
  const auto counts = [&](const uint8_t* row) { return ByteCountsOf(d8, row, query, V); };
  // Codes j and j + 1: the 128-bit halves of each added, code j in the lower half.
  const auto pair = [&](const uint8_t* row) {
    const auto a = counts(row), b = counts(row + width);
    return hn::Add(hn::ConcatLowerLower(d8, b, a), hn::ConcatUpperUpper(d8, b, a));
  };
  // Codes j .. j + 3: the 64-bit halves of each block added, then widened; the lanes
  // hold codes j, j + 2, j + 1, j + 3.
  const auto quad = [&](const uint8_t* row) {
    const auto p = hn::BitCast(d64, pair(row)), q = hn::BitCast(d64, pair(row + 2 * width));
    return hn::SumsOf8(
        hn::BitCast(d8, hn::Add(hn::InterleaveLower(d64, p, q), hn::InterleaveUpper(d64, p, q))));
  };
  // Both quads (counts below 2^16) in one vector of 32-bit lanes, holding codes
  // 0 4 2 6 1 5 3 7 of the block; the lookup puts them in order.
  HWY_ALIGN static constexpr uint32_t kOrder[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  const auto order = hn::SetTableIndices(d32, kOrder);
  for (size_t b = 0; b < blocks; ++b) {
    const uint8_t* row = rows + 8 * b * width;
    const auto both = hn::Or(quad(row), hn::ShiftLeft<32>(quad(row + 4 * width)));
    hn::StoreU(hn::TableLookupLanes(hn::BitCast(d32, both), order), d32, out + 8 * b);
  }
}
#endif

// Runs DenseBlocks for streams of `per_code` lanes per code (a power of two up to 8);
// false for other counts.
template <class D64, class Stream>
HWY_INLINE bool RunBlocks(D64 d64, const Stream& stream, size_t per_code, size_t blocks,
                          uint32_t* out) {
  switch (std::countr_zero(per_code)) {
    case 0: DenseBlocks<0>(d64, stream, blocks, out); return true;
    case 1: DenseBlocks<1>(d64, stream, blocks, out); return true;
    case 2: DenseBlocks<2>(d64, stream, blocks, out); return true;
    case 3: DenseBlocks<3>(d64, stream, blocks, out); return true;
    default: return false;  // vectors wider than 512 bits
  }
}

// The whole-vector rows of V vectors per code; a stream lane per code lane.
template <size_t V, class D64>
HWY_INLINE bool RunWholeRows(D64 d64, const uint8_t* rows, const uint8_t* query, size_t width,
                             size_t blocks, uint32_t* out) {
  const WholeRows<D64, V> stream{d64, rows, query, width};
#if HWY_HAVE_SCALABLE
  return RunBlocks(d64, stream, hn::Lanes(d64), blocks, out);
#else
  // The lane count is known here: only its own block loop is compiled.
  constexpr size_t kLanes = hn::MaxLanes(D64());
#if !MIVO_POPCNT64
  if constexpr (kLanes == 4 && V != 0 && 32 * V < 256) {
    FoldedBlocks<V>(rows, query, width, blocks, out);
    return true;
  }
#endif
  DenseBlocks<std::countr_zero(kLanes)>(d64, stream, blocks, out);
  return true;
#endif
}

// Codes handled by the row stream (a multiple of 2 * lanes of them), or 0 when the
// batch does not have that shape: rows of whole 64-bit words, compared over their
// full width, with a power-of-two word count below the lanes or a multiple of them.
size_t DenseHamming(const uint8_t* query, size_t query_len, const CodeBatch& codes, uint32_t* out) {
  const hn::ScalableTag<uint64_t> d64;
  const size_t n64 = hn::Lanes(d64);
  const size_t width = codes.width();
  // The pairwise lane sums need a power-of-two lane count (SVE also allows others).
  if (!codes.dense() || n64 < 2 || !std::has_single_bit(n64) || width == 0 || width % 8 != 0 ||
      query_len < width) {
    return 0;
  }
  const size_t words = width / 8;
  const size_t blocks = codes.size() / (2 * n64);
  bool done = false;
  if (words < n64 && std::has_single_bit(words)) {
    HWY_ALIGN uint64_t pattern[HWY_MAX_BYTES / 8];
    for (size_t l = 0; l < n64; ++l) std::memcpy(&pattern[l], query + 8 * (l % words), 8);
    done =
        RunBlocks(d64, PackedRows<decltype(d64)>{d64, codes.rows(), pattern}, words, blocks, out);
  } else if (words % n64 == 0) {
    // The common vector counts of a code get unrolled loops.
    const uint8_t* rows = codes.rows();
    switch (words / n64) {
      case 1: done = RunWholeRows<1>(d64, rows, query, width, blocks, out); break;
      case 2: done = RunWholeRows<2>(d64, rows, query, width, blocks, out); break;
      case 4: done = RunWholeRows<4>(d64, rows, query, width, blocks, out); break;
      case 8: done = RunWholeRows<8>(d64, rows, query, width, blocks, out); break;
      default: done = RunWholeRows<0>(d64, rows, query, width, blocks, out); break;
    }
  }
  return done ? blocks * 2 * n64 : 0;
}

void BatchHamming(const uint8_t* query, size_t query_len, const CodeBatch& codes, uint32_t* out) {
  const size_t done = DenseHamming(query, query_len, codes, out);
  for (size_t j = done; j < codes.size(); ++j) {
    out[j] = CountDiffering(query, codes.data(j), std::min(query_len, codes.length(j)));
  }
}

// ---------------------------------------------------------------- One-bit inner products

// AVX2 blends by the sign bit in one instruction (vblendvps); the other targets flip
// the sign by mask and exclusive or (AVX-512 folds both into one ternary-logic
// instruction), which wants the code's words complemented.
constexpr bool kSelectBySign = MIVO_SIGN_BLEND;

#if !HWY_HAVE_SCALABLE

// Loads 16 bytes at `offset` of four codes per 128-bit block: block b of the result
// holds code 4b + r of the group whose code pointers are p.
template <class D32>
HWY_INLINE hn::Vec<D32> LoadRow(D32 d32, const uint8_t* const* p, size_t r, size_t offset) {
  constexpr size_t kBlocks = hn::MaxLanes(D32()) / 4;
  const hn::CappedTag<uint32_t, 4> d128;
  auto load = [&](size_t code) {
    return hn::LoadU(d128, reinterpret_cast<const uint32_t*>(p[code] + offset));
  };
  if constexpr (kBlocks == 1) {
    return load(r);
  } else if constexpr (kBlocks == 2) {
    return hn::Combine(d32, load(4 + r), load(r));
  } else {
    static_assert(kBlocks == 4, "fixed-width vectors hold 1, 2 or 4 blocks");
    const hn::Half<D32> dh;
    return hn::Combine(d32, hn::Combine(dh, load(12 + r), load(8 + r)),
                       hn::Combine(dh, load(4 + r), load(r)));
  }
}

// Transposes 4x4 u32 within every block of r0..r3 and stores word m at
// out + m * stride: lane l holds the 32-bit word m of row l % 4 of that block.
template <class D32>
HWY_INLINE void StoreTransposed(D32 d32, hn::Vec<D32> r0, hn::Vec<D32> r1, hn::Vec<D32> r2,
                                hn::Vec<D32> r3, uint32_t* out, size_t stride) {
  const hn::Repartition<uint64_t, D32> d64;
  const auto t0 = hn::BitCast(d64, hn::InterleaveLower(d32, r0, r1));
  const auto t1 = hn::BitCast(d64, hn::InterleaveUpper(d32, r0, r1));
  const auto t2 = hn::BitCast(d64, hn::InterleaveLower(d32, r2, r3));
  const auto t3 = hn::BitCast(d64, hn::InterleaveUpper(d32, r2, r3));
  const auto put = [&](hn::Vec<D32> w, size_t m) {
    hn::Store(kSelectBySign ? w : hn::Not(w), d32, out + m * stride);
  };
  put(hn::BitCast(d32, hn::InterleaveLower(d64, t0, t2)), 0);
  put(hn::BitCast(d32, hn::InterleaveUpper(d64, t0, t2)), 1);
  put(hn::BitCast(d32, hn::InterleaveLower(d64, t1, t3)), 2);
  put(hn::BitCast(d32, hn::InterleaveUpper(d64, t1, t3)), 3);
}

#endif  // !HWY_HAVE_SCALABLE

// Stores the four 32-bit words of the 16 bytes at `at` of the codes rows[0 .. G * lanes):
// word m of code g * lanes + l goes to words[(m * G + g) * lanes + l], complemented
// unless the kernel selects by sign.
template <size_t G>
HWY_INLINE void StoreChunkWords(const uint8_t* const* rows, size_t at, uint32_t* words) {
  const hn::ScalableTag<uint32_t> du;
  const size_t lanes = hn::Lanes(du);
#if HWY_HAVE_SCALABLE
  // How many blocks a scalable vector holds is known only at run time, so the words
  // are transposed through memory, one code at a time.
  const uint32_t flip = kSelectBySign ? 0u : ~0u;
  for (size_t j = 0; j < G * lanes; ++j) {
    uint32_t* dst = words + (j / lanes) * lanes + j % lanes;
    for (size_t m = 0; m < 4; ++m) {
      uint32_t w;
      std::memcpy(&w, rows[j] + at + 4 * m, 4);
      dst[m * G * lanes] = w ^ flip;
    }
  }
#else
  for (size_t g = 0; g < G; ++g) {
    const uint8_t* const* gp = rows + g * lanes;
    StoreTransposed(du, LoadRow(du, gp, 0, at), LoadRow(du, gp, 1, at), LoadRow(du, gp, 2, at),
                    LoadRow(du, gp, 3, at), words + g * lanes, G * lanes);
  }
#endif
}

// The code pointers to read the 16-byte chunk at `offset` through, and in `at` the
// offset to read it at: the codes themselves, or for the last, partial chunk (a code
// may end right after it) zero-padded copies of it in tail.
template <size_t G>
HWY_INLINE const uint8_t* const* ChunkRows(const uint8_t* const* p, size_t need, size_t offset,
                                           uint8_t (*tail)[16], const uint8_t** tail_ptr,
                                           size_t& at) {
  at = offset;
  if (offset + 16 <= need) return p;
  const size_t lanes = hn::Lanes(hn::ScalableTag<float>());
  for (size_t j = 0; j < G * lanes; ++j) {
    std::memset(tail[j], 0, 16);
    std::memcpy(tail[j], p[j] + offset, need - offset);
    tail_ptr[j] = tail[j];
  }
  at = 0;
  return tail_ptr;
}

// Adds the terms of q[0 .. bits) to the accumulators of the G groups, whose words
// (see StoreChunkWords) are at wm + g * lanes: step t adds q[t] to lane l of acc_g,
// its sign flipped by bit t of that lane's word; one step after the other, in order.
template <size_t G, class DF, class V>
HWY_INLINE void AddWordTerms(DF df, const float* qm, size_t bits, const uint32_t* wm, V& acc0,
                             V& acc1, V& acc2, V& acc3) {
  const hn::RebindToUnsigned<DF> du;
  const size_t lanes = hn::Lanes(df);
  const auto sign = hn::Set(du, 0x80000000u);
  auto flip0 = hn::Load(du, wm);
  auto flip1 = G > 1 ? hn::Load(du, wm + lanes) : flip0;
  auto flip2 = G > 2 ? hn::Load(du, wm + 2 * lanes) : flip0;
  auto flip3 = G > 3 ? hn::Load(du, wm + 3 * lanes) : flip0;
  // The word's bytes in turn, each moved to the bottom, eight steps unrolled: constant
  // shifts, with a quarter of the code of a full unroll over 32 bits (which, for four
  // group counts and every target, made this file's compile several times longer).
  for (size_t first = 0; first < bits; first += 8) {
    auto step = [&]<int T>() {
      const size_t t = first + static_cast<size_t>(T);
      if (t >= bits) return;
      const auto qt = hn::BitCast(du, hn::Set(df, qm[t]));
      // Bit t of the code's word moves to the sign position.
      const auto term = [&](hn::Vec<decltype(du)> word) {
        const auto bit = hn::ShiftLeft<31 - T>(word);
        if constexpr (kSelectBySign) {
          // The bits below it do not matter to the blend.
          return hn::IfNegativeThenElse(hn::BitCast(df, bit), hn::BitCast(df, qt),
                                        hn::BitCast(df, hn::Xor(qt, sign)));
        } else {
          // Everything below it is masked off.
          return hn::BitCast(df, hn::Xor(qt, hn::And(bit, sign)));
        }
      };
      acc0 = hn::Add(acc0, term(flip0));
      if constexpr (G > 1) acc1 = hn::Add(acc1, term(flip1));
      if constexpr (G > 2) acc2 = hn::Add(acc2, term(flip2));
      if constexpr (G > 3) acc3 = hn::Add(acc3, term(flip3));
    };
    [&]<int... T>(std::integer_sequence<int, T...>) {
      (step.template operator()<T>(), ...);
    }(std::make_integer_sequence<int, 8>());
    flip0 = hn::ShiftRight<8>(flip0);
    if constexpr (G > 1) flip1 = hn::ShiftRight<8>(flip1);
    if constexpr (G > 2) flip2 = hn::ShiftRight<8>(flip2);
    if constexpr (G > 3) flip3 = hn::ShiftRight<8>(flip3);
  }
}

// G groups of `lanes` codes: lane l of accumulator g is the inner product of code
// g * lanes + l, one sequential f32 sum over i = 0 .. D-1 from +0.0. Step i adds
// q[i] with its sign bit flipped when bit i of that code is clear; no lane ever
// sees another code's terms and lanes are never added together.
template <size_t G>
HWY_NOINLINE void OneBitGroups(const float* q, size_t dim, const uint8_t* const* p, float* out) {
  static_assert(G >= 1 && G <= 4, "four accumulators");
  const hn::ScalableTag<float> df;
  const size_t lanes = hn::Lanes(df);
  constexpr size_t kMaxLanes = hn::MaxLanes(decltype(df)());

  // One accumulator per group; those past G stay unused.
  auto acc0 = hn::Zero(df);
  auto acc1 = acc0, acc2 = acc0, acc3 = acc0;

  // The words of one 16-byte chunk of every code (see StoreChunkWords). A set bit t
  // of a complemented word means "flip the sign of q[32m + t]".
  HWY_ALIGN uint32_t words[4 * G * kMaxLanes];
  HWY_ALIGN uint8_t tail[G * kMaxLanes][16];
  const uint8_t* tail_ptr[G * kMaxLanes];

  const size_t need = dim / 8 + (dim % 8 != 0);
  for (size_t chunk = 0; 16 * chunk < need; ++chunk) {
    size_t at = 0;
    const uint8_t* const* rows = ChunkRows<G>(p, need, 16 * chunk, tail, tail_ptr, at);
    StoreChunkWords<G>(rows, at, words);
    for (size_t m = 0; m < 4; ++m) {
      const size_t first = 128 * chunk + 32 * m;
      if (first >= dim) break;
      const size_t bits = std::min<size_t>(32, dim - first);
      AddWordTerms<G>(df, q + first, bits, words + m * G * lanes, acc0, acc1, acc2, acc3);
    }
  }
  hn::StoreU(acc0, df, out);
  if constexpr (G > 1) hn::StoreU(acc1, df, out + lanes);
  if constexpr (G > 2) hn::StoreU(acc2, df, out + 2 * lanes);
  if constexpr (G > 3) hn::StoreU(acc3, df, out + 3 * lanes);
}

void BatchOneBit(const float* q, size_t dim, const CodeBatch& codes, float* out) {
  if constexpr (std::endian::native != std::endian::little) {
    batch_one_bit_inner_product({q, dim}, codes, out, Kernels::kScalar);
    return;
  }
  const hn::ScalableTag<float> df;
  const size_t lanes = hn::Lanes(df);
  constexpr size_t kMaxLanes = hn::MaxLanes(decltype(df)());
  constexpr size_t kGroups = 4;  // independent chains per step hide the add latency
  const size_t round = kGroups * lanes;
  const size_t n = codes.size();
  const uint8_t* ptr[kGroups * kMaxLanes];
  HWY_ALIGN float results[kGroups * kMaxLanes];
  for (size_t first = 0; first < n; first += round) {
    const size_t count = std::min(n - first, round);
    // Missing codes of the last round repeat the last real one; their lanes are
    // dropped.
    for (size_t l = 0; l < round; ++l) ptr[l] = codes.data(first + std::min(l, count - 1));
    // The next round's codes are fetched while this round computes: they are read
    // 16 bytes at a time in an order that the hardware prefetcher does not follow,
    // unless they are short rows of one block.
    const size_t need = dim / 8 + (dim % 8 != 0);
    const size_t ahead = codes.dense() && need <= 64 ? first : first + 2 * round;
    for (size_t j = first + round; j < std::min(n, ahead); ++j) {
      for (size_t o = 0; o < need; o += 64) hwy::Prefetch(codes.data(j) + o);
      hwy::Prefetch(codes.data(j) + need - 1);
    }
    float* dst = count == round ? out + first : results;
    // A last round of two or three groups runs all four on the repeated codes: a copy
    // of the kernel per group count cost more compile time than the few dropped lanes
    // of one round cost at run time; a batch of one group (small batches) keeps its own.
    if (count <= lanes) {
      OneBitGroups<1>(q, dim, ptr, dst);
    } else {
      OneBitGroups<kGroups>(q, dim, ptr, dst);
    }
    if (dst == results) std::copy(results, results + count, out + first);
  }
}

#else  // !MIVO_VECTOR_TARGET

void BatchHamming(const uint8_t* query, size_t query_len, const CodeBatch& codes, uint32_t* out) {
  batch_hamming_distances({query, query_len}, codes, out, Kernels::kScalar);
}

void BatchOneBit(const float* q, size_t dim, const CodeBatch& codes, float* out) {
  batch_one_bit_inner_product({q, dim}, codes, out, Kernels::kScalar);
}

#endif  // MIVO_VECTOR_TARGET

const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

size_t VectorBytes() { return hn::Lanes(hn::ScalableTag<uint8_t>()); }

}  // namespace HWY_NAMESPACE
}  // namespace mivo
// (GCC drops the popcnt target with the options that HWY_AFTER_NAMESPACE restores.)
#if MIVO_WITH_POPCNT && HWY_COMPILER_CLANG
#pragma clang attribute pop
#endif
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace mivo {

HWY_EXPORT(BatchHamming);
HWY_EXPORT(BatchOneBit);
HWY_EXPORT(TargetName);
HWY_EXPORT(VectorBytes);

namespace bit_codes_simd {

void batch_hamming(const uint8_t* query, size_t query_len, const CodeBatch& codes, uint32_t* out) {
  HWY_DYNAMIC_DISPATCH(BatchHamming)(query, query_len, codes, out);
}

void batch_one_bit(const float* q, size_t dim, const CodeBatch& codes, float* out) {
  HWY_DYNAMIC_DISPATCH(BatchOneBit)(q, dim, codes, out);
}

const char* target_name() { return HWY_DYNAMIC_DISPATCH(TargetName)(); }

size_t vector_bytes() { return HWY_DYNAMIC_DISPATCH(VectorBytes)(); }

}  // namespace bit_codes_simd
}  // namespace mivo
#endif  // HWY_ONCE
