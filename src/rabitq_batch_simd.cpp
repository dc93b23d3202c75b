// Vector kernels of the batch estimates, compiled once per SIMD target by Highway and
// chosen at run time.
//
// One record per lane: lane l of an accumulator holds record l's inner product, one
// sequential chain of additions in index order from +0.0, each term the rounded product
// of the exact centred code and the query value (separate Mul and Add; no fused
// operations, no horizontal reductions). The results therefore equal the per-record
// loop bit for bit on every target.
//
// Records are stored row by row, lanes need them column by column. A pass takes two
// vectors of records and copies, per block of 32 dimensions, each record's 32-bit word
// of sign bits and its ex_bits words of extended codes into a transposed scratch
// (word row by record lane), then adds the block's 32 dimensions in a loop (Block).
// Vector types of scalable targets are sizeless: they live only in named variables,
// never in arrays or class members.
//
// On x86 targets with byte permutes (AVX3_DL and later) and codes of at most 4 bits, a
// faster kernel replaces the decode and the multiplication by a table: the rounded
// product f32(f32(code) - centre) * y[j] takes one of 16 values per dimension, so a
// per-query table of them (built by the same two roundings) turns each term into one
// permute. Records are first rewritten as 4-bit table indices, eight dimensions per
// 32-bit word (NibbleRow), and transposed 16 records at a time in registers; each
// dimension then costs a shift, a permute and the addition, for four vectors of
// records at once so that four chains of additions are in flight.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "rabitq_batch_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/aligned_allocator.h>
#include <hwy/highway.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "rabitq_batch.h"
#include "rabitq_batch_simd.h"
#include "sums.h"

#ifndef MIVO_RABITQ_BATCH_SIMD_ONCE
#define MIVO_RABITQ_BATCH_SIMD_ONCE
namespace mivo::rabitq_batch_simd {
namespace {

// Blocks transposed at a time: bounds the scratch (at most 8 word rows per block) to a
// few kilobytes whatever the dimension, so it stays in the first-level cache.
constexpr uint64_t kChunkBlocks = 8;

// The little-endian 32-bit word at byte `offset` of a row of `row_bytes` bytes, zero
// past the row's end (never read: a row may be the last bytes of its array).
inline uint32_t word_at(const uint8_t* row, uint64_t row_bytes, uint64_t offset) {
  uint8_t b[4] = {0, 0, 0, 0};
  if (offset + 4 <= row_bytes) {
    std::memcpy(b, row + offset, 4);
  } else if (offset < row_bytes) {
    std::memcpy(b, row + offset, row_bytes - offset);
  }
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

// The little-endian 32-bit word at p.
inline uint32_t word_le(const uint8_t* p) {
  uint8_t b[4];
  std::memcpy(b, p, 4);
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

// Copies, for `lanes` records from `first` (past the batch's end: its last record
// again, whose results are dropped), blocks [c0, c0 + nblocks) into w: block k's word
// row r (0 the sign bits, 1 + e extended word e) at w[(k * (1 + ex_bits) + r) * lanes].
// Chunks whose words lie wholly inside the rows (all but the last, mostly) read them
// without the bounds test of word_at.
void transpose_words(const RecordColumns& batch, uint64_t first, uint64_t lanes, uint64_t c0,
                     uint64_t nblocks, uint32_t* w) {
  const unsigned b = batch.ex_bits;
  const uint64_t nb = binary_code_bytes(batch.dimension);
  const uint64_t ne = extended_code_bytes(batch.dimension, b);
  const uint64_t rows = 1 + b;
  const uint64_t c1 = c0 + nblocks;
  const bool inside = 4 * c1 <= nb && 4 * c1 * b <= ne;
  for (uint64_t t = 0; t < lanes; ++t) {
    const uint64_t rec = std::min(first + t, batch.count - 1);
    const uint8_t* bin = batch.binary_codes + rec * nb;
    const uint8_t* ext = b > 0 ? batch.extended_codes + rec * ne : nullptr;
    uint32_t* col = w + t;
    if (inside) {
      for (uint64_t c = c0; c < c1; ++c, col += rows * lanes) {
        col[0] = word_le(bin + 4 * c);
        for (uint64_t e = 0; e < b; ++e) col[(1 + e) * lanes] = word_le(ext + 4 * (c * b + e));
      }
    } else {
      for (uint64_t c = c0; c < c1; ++c, col += rows * lanes) {
        col[0] = word_at(bin, nb, 4 * c);
        for (uint64_t e = 0; e < b; ++e) {
          col[(1 + e) * lanes] = word_at(ext, ne, 4 * (c * b + e));
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Product tables (the layouts; the kernel is below, per target)

// Entries per dimension of a product table: one per 4-bit index.
constexpr uint64_t kTableEntries = 16;

// The highest ex_bits whose combined codes fit a 4-bit index.
constexpr unsigned kTableMaxExBits = 3;

// The combined code, (sign << ex_bits) + extended code, that index `idx` stands for at
// a dimension in an even or odd nibble of its word. Even nibbles hold the sign bit at
// bit 0 and the extended code from bit 1, odd ones the extended code from bit 0 and
// the sign at bit 3: the layouts NibbleRow's byte windows give. Bits between are
// copies of neighbouring bits, which the table ignores.
constexpr uint16_t nibble_code(unsigned idx, bool odd, unsigned ex_bits) {
  const unsigned mask = (1u << ex_bits) - 1;
  const unsigned sign = odd ? idx >> 3 : idx & 1;
  const unsigned ext = odd ? idx & mask : (idx >> 1) & mask;
  return static_cast<uint16_t>((sign << ex_bits) + ext);
}

// table[j * 16 + idx] = the term of dimension j for the code idx stands for, j < dims
// (even and odd dimensions alternate, as nibbles do: 8 dimensions fill a word).
void fill_product_table(const float* y, uint64_t dims, unsigned ex_bits, float centre,
                        float* table) {
  // centred_product with the centred codes taken once: the same two roundings, in a
  // loop the compiler runs as one vector multiplication per dimension.
  float centred[2][kTableEntries];
  for (unsigned odd = 0; odd < 2; ++odd) {
    for (unsigned idx = 0; idx < kTableEntries; ++idx) {
      centred[odd][idx] = centred_code(nibble_code(idx, odd == 1, ex_bits), centre);
    }
  }
  for (uint64_t j = 0; j < dims; ++j) {
    const float* c = centred[j % 2];
    for (unsigned idx = 0; idx < kTableEntries; ++idx)
      table[j * kTableEntries + idx] = c[idx] * y[j];
  }
}

// The byte indices of NibbleRow for one ex_bits b. Each 64-bit lane of the row's vector
// covers 16 dimensions: `gather` brings their 2b bytes of extended codes and 2 bytes of
// sign bits into it (codes at bit 3k, signs from bit 16b), and each window picks, per
// output byte t (dimensions 2t and 2t + 1 of the 16), the 8 bits from a bit offset:
// `ea` and `eb` the two extended codes (to bits 1 and 4), `signs` their sign bits (to
// bits 0 and 1).
struct NibbleBytes {
  alignas(64) uint8_t gather[64];
  alignas(64) uint8_t ea[64];
  alignas(64) uint8_t eb[64];
  alignas(64) uint8_t signs[64];
};

constexpr NibbleBytes make_nibble_bytes(unsigned b) {
  NibbleBytes n{};
  for (unsigned lane = 0; lane < 8; ++lane) {
    for (unsigned t = 0; t < 8; ++t) {
      const unsigned i = 8 * lane + t;
      // Extended bytes from the start of the chunk's vector, sign bytes from its
      // last 16 bytes; the rest of the lane is never read.
      n.gather[i] = static_cast<uint8_t>(t < 2 * b       ? 2 * b * lane + t
                                         : t < 2 * b + 2 ? 48 + 2 * lane + (t - 2 * b)
                                                         : 0);
      n.ea[i] = static_cast<uint8_t>((b * 2 * t + 63) % 64);
      n.eb[i] = static_cast<uint8_t>((b * (2 * t + 1) + 60) % 64);
      n.signs[i] = static_cast<uint8_t>((16 * b + 2 * t) % 64);
    }
  }
  return n;
}

inline constexpr NibbleBytes kNibbleBytes[kTableMaxExBits + 1] = {
    make_nibble_bytes(0), make_nibble_bytes(1), make_nibble_bytes(2), make_nibble_bytes(3)};

// The word indices of a 16 x 16 transpose in four steps (Transpose16): step s swaps the
// off-diagonal blocks of h = 8 >> s words between rows i and i + h.
struct SwapIndices {
  alignas(64) uint32_t low[4][16];
  alignas(64) uint32_t high[4][16];
};

constexpr SwapIndices make_swap_indices() {
  SwapIndices x{};
  for (unsigned s = 0; s < 4; ++s) {
    const unsigned h = 8u >> s;
    for (unsigned l = 0; l < 16; ++l) {
      // Indices from 16 take the second row's lanes.
      x.low[s][l] = (l & h) != 0 ? 16 + l - h : l;
      x.high[s][l] = (l & h) != 0 ? 16 + l : l + h;
    }
  }
  return x;
}

inline constexpr SwapIndices kSwapIndices = make_swap_indices();

}  // namespace
}  // namespace mivo::rabitq_batch_simd
#endif  // MIVO_RABITQ_BATCH_SIMD_ONCE

HWY_BEFORE_NAMESPACE();
namespace mivo {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::CappedTag<float, 16>;
using VF = hn::Vec<DF>;
using DU = hn::RebindToUnsigned<DF>;
using VU = hn::Vec<DU>;
using DI = hn::RebindToSigned<DF>;

// The code -> centred value arithmetic without an integer-to-float conversion: with
// the extended code e as the low mantissa bits of 2^22 (whose step is 1/2), the float
// 2^22 + e is exact, and so are 2^22 + m, 2^22 + m - 2^B and the sums below, whose
// operands lie within a factor of two of each other: (2^22 + e) - (2^22 + m - sign *
// 2^B) is exactly f32(code) - m. The sign bit picks one of two offsets.
constexpr uint32_t kTwo22Bits = 0x4A800000u;  // the float 2^22
constexpr float kTwo22 = 4194304.0f;

// The offsets for a sign bit of 0 and of 1 (for ex_bits 0: the centred values).
struct Offsets {
  float lo, hi;
};

inline Offsets offsets(unsigned b, float centre) {
  const float top = static_cast<float>(uint32_t{1} << b);
  if (b == 0) return {0.0f - centre, top - centre};
  const float base = kTwo22 + centre;
  return {-base, top - base};
}

// Adds the dimensions of a block, in order, to both groups' sums: acc + centred * y,
// rounded twice, with centred = f32(code) - centre for the combined code of the lane's
// record, read from the transposed words at w; lo and hi from offsets().
//
// The block is a loop over dimensions, not unrolled per dimension: unrolled for every
// dimension and ex_bits it made this file's compile the longest of the build. Word row
// k of the extended codes is moved up by one bit once (the float's mantissa step at
// 2^22 is 1/2), then down by B bits per dimension, a constant shift; only the
// dimension whose code reaches the word's top bit (and may continue in the next word)
// takes run-time shift counts.
template <unsigned B>
HWY_INLINE void Block(const uint32_t* HWY_RESTRICT w, size_t lanes, const float* HWY_RESTRICT y,
                      VF lo, VF hi, VF& acc0, VF& acc1) {
  using rabitq_batch_simd::kBlockDims;
  const DF df;
  const DU du;
  const size_t stride = 2 * lanes;
  const VU sign0 = hn::Load(du, w);
  const VU sign1 = hn::Load(du, w + lanes);
  const VU two22 = hn::Set(du, kTwo22Bits);
  const VU mask = hn::Set(du, ((uint32_t{1} << B) - 1) << 1);
  VU bit = hn::Set(du, 1u);  // 1 << j
  // Adds dimension j, whose codes' extended bits start at bit 1 of e0 and e1.
  const auto add = [&](unsigned j, VU e0, VU e1) {
    const VF yj = hn::Set(df, y[j]);
    VF c0 = hn::IfThenElse(hn::RebindMask(df, hn::TestBit(sign0, bit)), hi, lo);
    VF c1 = hn::IfThenElse(hn::RebindMask(df, hn::TestBit(sign1, bit)), hi, lo);
    if constexpr (B > 0) {
      c0 = hn::Add(hn::BitCast(df, hn::OrAnd(two22, e0, mask)), c0);
      c1 = hn::Add(hn::BitCast(df, hn::OrAnd(two22, e1, mask)), c1);
    }
    acc0 = hn::Add(acc0, hn::Mul(c0, yj));
    acc1 = hn::Add(acc1, hn::Mul(c1, yj));
    bit = hn::Add(bit, bit);
  };
  if constexpr (B == 0) {
#pragma GCC unroll 4
    for (unsigned j = 0; j < kBlockDims; ++j) add(j, bit, bit);
  } else {
    unsigned j = 0;
    for (unsigned k = 0; k < B; ++k) {
      const uint32_t* row = w + (1 + k) * stride;
      const VU w0 = hn::Load(du, row);
      const VU w1 = hn::Load(du, row + lanes);
      // The codes that lie below the word's top bit; the first may have begun in the
      // previous word, whose last dimension then took its low bits.
      const int first = static_cast<int>(j * B - 32 * k);
      VU e0 = hn::ShiftRightSame(hn::ShiftLeft<1>(w0), first);
      VU e1 = hn::ShiftRightSame(hn::ShiftLeft<1>(w1), first);
      // (Unrolled by four: the loop's own count and branch would otherwise weigh on the
      // few vector operations of a dimension.)
#pragma GCC unroll 4
      for (; (j + 1) * B < 32 * (k + 1); ++j) {
        add(j, e0, e1);
        e0 = hn::ShiftRight<B>(e0);
        e1 = hn::ShiftRight<B>(e1);
      }
      // Dimension j reaches the top bit, and continues in the next word when the code
      // has bits left (never in the last word: 32 codes of B bits fill B words).
      const int shift = static_cast<int>(j * B - 32 * k);
      VU t0 = hn::ShiftRightSame(w0, shift);
      VU t1 = hn::ShiftRightSame(w1, shift);
      if ((j + 1) * B > 32 * (k + 1)) {
        t0 = hn::Or(t0, hn::ShiftLeftSame(hn::Load(du, row + stride), 32 - shift));
        t1 = hn::Or(t1, hn::ShiftLeftSame(hn::Load(du, row + stride + lanes), 32 - shift));
      }
      add(j, hn::ShiftLeft<1>(t0), hn::ShiftLeft<1>(t1));
      ++j;
    }
  }
}

// transpose_words for chunks whose words lie inside the rows, by gathers: each word
// row of a group is one gather at the records' byte offsets from record `first`.
// Requires the offsets of a pass to fit in int32 (checked by the caller).
void GatherWords(const RecordColumns& batch, uint64_t first, size_t lanes, uint64_t c0,
                 uint64_t nblocks, uint32_t* HWY_RESTRICT w) {
  const DI di;
  const DU du;
  const unsigned b = batch.ex_bits;
  const uint64_t nb = binary_code_bytes(batch.dimension);
  const uint64_t ne = extended_code_bytes(batch.dimension, b);
  const size_t pass = 2 * lanes;
  const uint64_t rows = 1 + b;
  const auto last =
      hn::Set(di, static_cast<int32_t>(std::min<uint64_t>(batch.count - 1 - first, pass)));
  const uint8_t* bin = batch.binary_codes + first * nb;
  const uint8_t* ext = b > 0 ? batch.extended_codes + first * ne : nullptr;
  for (size_t g = 0; g < 2; ++g) {
    const auto rec = hn::Min(hn::Iota(di, static_cast<int32_t>(g * lanes)), last);
    const auto bin_off = hn::Mul(rec, hn::Set(di, static_cast<int32_t>(nb)));
    const auto ext_off = hn::Mul(rec, hn::Set(di, static_cast<int32_t>(ne)));
    uint32_t* col = w + g * lanes;
    for (uint64_t c = c0; c < c0 + nblocks; ++c, col += rows * pass) {
      const auto* sign = reinterpret_cast<const int32_t*>(bin + 4 * c);
      hn::Store(hn::BitCast(du, hn::GatherOffset(di, sign, bin_off)), du, col);
      for (uint64_t e = 0; e < b; ++e) {
        const auto* word = reinterpret_cast<const int32_t*>(ext + 4 * (c * b + e));
        hn::Store(hn::BitCast(du, hn::GatherOffset(di, word, ext_off)), du, col + (1 + e) * pass);
      }
    }
  }
}

// Inner products of every record, two vectors of records per pass, for ex_bits B.
template <unsigned B>
void InnerProductsOf(const float* HWY_RESTRICT y, float centre_value, const RecordColumns& batch,
                     float* HWY_RESTRICT ip) {
  using rabitq_batch_simd::kBlockDims;
  using rabitq_batch_simd::kChunkBlocks;
  const DF df;
  const size_t lanes = hn::Lanes(df);
  const size_t pass = 2 * lanes;
  const uint64_t blocks = (batch.dimension + kBlockDims - 1) / kBlockDims;
  const uint64_t rows = 1 + B;
  const auto words = hwy::AllocateAligned<uint32_t>(kChunkBlocks * rows * pass);
  const auto tail = hwy::AllocateAligned<float>(pass);
  const Offsets off = offsets(B, centre_value);
  const VF lo = hn::Set(df, off.lo);
  const VF hi = hn::Set(df, off.hi);
  const uint64_t nb = binary_code_bytes(batch.dimension);
  const uint64_t ne = extended_code_bytes(batch.dimension, B);
  // Byte offsets within a pass must fit the gathers' int32 lanes.
  const bool gather = pass * (nb + ne) < (uint64_t{1} << 31);
  for (uint64_t r0 = 0; r0 < batch.count; r0 += pass) {
    VF acc0 = hn::Zero(df);
    VF acc1 = hn::Zero(df);
    for (uint64_t c0 = 0; c0 < blocks; c0 += kChunkBlocks) {
      const uint64_t nblocks = std::min(kChunkBlocks, blocks - c0);
      const uint64_t c1 = c0 + nblocks;
      if (gather && 4 * c1 <= nb && 4 * c1 * B <= ne) {
        GatherWords(batch, r0, lanes, c0, nblocks, words.get());
      } else {
        rabitq_batch_simd::transpose_words(batch, r0, pass, c0, nblocks, words.get());
      }
      for (uint64_t k = 0; k < nblocks; ++k) {
        Block<B>(words.get() + k * rows * pass, lanes, y + (c0 + k) * kBlockDims, lo, hi, acc0,
                 acc1);
      }
    }
    const uint64_t count = std::min<uint64_t>(pass, batch.count - r0);
    float* out = count == pass ? ip + r0 : tail.get();
    hn::StoreU(acc0, df, out);
    hn::StoreU(acc1, df, out + lanes);
    if (out == tail.get()) std::copy(tail.get(), tail.get() + count, ip + r0);
  }
}

#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3_DL
#define MIVO_PRODUCT_TABLES 1

// (Fixed-size x86 vectors: arrays of them are fine here.)
using DB = hn::Full512<uint8_t>;
using VB = hn::Vec<DB>;
using DQ = hn::Full512<uint64_t>;

// Vectors of records per pass of the table kernel: four chains of additions in flight.
constexpr size_t kGroups = 4;
constexpr size_t kWordsPerChunk = rabitq_batch_simd::kChunkDims / 8;

// The record's dimensions [128 * chunk, 128 * chunk + 128) as 4-bit table indices,
// word w holding dimension 8w + k at bits 4k (layouts: nibble_code). With kWithin the
// caller guarantees that 64 bytes from each row's chunk lie inside the batch's arrays
// (plain loads, which may read into the next records); otherwise the loads stop at the
// record's rows (bin: nb bytes, ext: ne).
template <unsigned B, bool kWithin>
HWY_INLINE VU NibbleRow(const uint8_t* HWY_RESTRICT bin, uint64_t nb,
                        const uint8_t* HWY_RESTRICT ext, uint64_t ne, uint64_t chunk,
                        const rabitq_batch_simd::NibbleBytes& nib) {
  const DB db;
  const DQ dq;
  const DU du;
  const uint64_t so = chunk * rabitq_batch_simd::kChunkDims / 8;
  const uint64_t eo = chunk * rabitq_batch_simd::kChunkDims * B / 8;
  // The chunk's (at most 48) bytes of extended codes, and its 16 bytes of sign bits
  // in the last 16 bytes.
  const hn::Full128<uint8_t> d16;
  VB codes = hn::Zero(db);
  hn::Vec<decltype(d16)> sign;
  if constexpr (kWithin) {
    if constexpr (B > 0) codes = hn::LoadU(db, ext + eo);
    sign = hn::LoadU(d16, bin + so);
  } else {
    if constexpr (B > 0) codes = hn::LoadN(db, ext + eo, std::min<uint64_t>(16 * B, ne - eo));
    sign = hn::LoadN(d16, bin + so, std::min<uint64_t>(16, nb - so));
  }
  const auto q =
      hn::BitCast(dq, hn::TableLookupLanes(hn::InsertBlock<3>(codes, sign),
                                           hn::IndicesFromVec(db, hn::Load(db, nib.gather))));
  const auto window = [&](const uint8_t* offsets) {
    return hn::BitCast(db, hn::MultiRotateRight(q, hn::Load(db, offsets)));
  };
  // Both sign bits of a byte from one window (dimension 2t's at bit 0, 2t + 1's at
  // bit 1); a 16-bit shift by 6, which moves bit 1 of each byte to its bit 7, brings
  // the second where it belongs (a shift costs less than another window).
  const VB signs = window(nib.signs);
  const hn::Repartition<uint16_t, DB> dw;
  VB x = hn::BitwiseIfThenElse(hn::Set(db, 0x01), signs,
                               hn::BitCast(db, hn::ShiftLeft<6>(hn::BitCast(dw, signs))));
  constexpr uint8_t kCode = (1u << B) - 1;
  if constexpr (B == 3) {
    // Dimension 2t + 1's code follows 2t's at bit 4 in the same window.
    x = hn::BitwiseIfThenElse(hn::Set(db, 0x7E), window(nib.ea), x);
  } else if constexpr (B > 0) {
    x = hn::BitwiseIfThenElse(hn::Set(db, kCode << 4), window(nib.eb), x);
    x = hn::BitwiseIfThenElse(hn::Set(db, kCode << 1), window(nib.ea), x);
  }
  return hn::BitCast(du, x);
}

// r[i] becomes the vector of lane i of every r[l] (a 16 x 16 transpose of words).
HWY_INLINE void Transpose16(VU* r) {
  const DU du;
  const rabitq_batch_simd::SwapIndices& x = rabitq_batch_simd::kSwapIndices;
#pragma GCC unroll 4
  for (unsigned s = 0; s < 4; ++s) {
    const unsigned h = 8u >> s;
    const auto low = hn::IndicesFromVec(du, hn::Load(du, x.low[s]));
    const auto high = hn::IndicesFromVec(du, hn::Load(du, x.high[s]));
#pragma GCC unroll 16
    for (unsigned i = 0; i < 16; ++i) {
      if ((i & h) != 0) continue;
      const VU a = r[i];
      const VU b = r[i + h];
      r[i] = hn::TwoTablesLookupLanes(du, a, b, low);
      r[i + h] = hn::TwoTablesLookupLanes(du, a, b, high);
    }
  }
}

// The table entry each lane's index picks. The permute reads only the low 4 bits of
// each index, so the words need no masking after their shift.
HWY_INLINE VF Lookup(VF table, VU index) { return VF{_mm512_permutexvar_ps(index.raw, table.raw)}; }

// Rewrites records [first, first + pass) (past the batch's end: its last record
// again) for one chunk as table indices into words, word w of group g (16 records)
// at words[(w * kGroups + g) * 16].
template <unsigned B>
HWY_INLINE void ChunkWords(const RecordColumns& batch, uint64_t first, uint64_t chunk,
                           uint32_t* HWY_RESTRICT words) {
  const DU du;
  constexpr size_t lanes = 16;
  const uint64_t nb = binary_code_bytes(batch.dimension);
  const uint64_t ne = extended_code_bytes(batch.dimension, B);
  const rabitq_batch_simd::NibbleBytes& nib = rabitq_batch_simd::kNibbleBytes[B];
  // Full loads are safe while enough records follow the pass: every row is at least
  // nb bytes (ne >= nb when there are extended codes).
  const bool within = first + kGroups * lanes + (64 + nb - 1) / nb <= batch.count;
  for (size_t g = 0; g < kGroups; ++g) {
    VU r[16];
    const uint64_t head = first + g * lanes;
    if (within) {
      // (Rows by pointer steps: the index arithmetic of the other branch, per row,
      // weighs on these few vector operations.)
      const uint8_t* bin = batch.binary_codes + head * nb;
      const uint8_t* ext = B > 0 ? batch.extended_codes + head * ne : nullptr;
#pragma GCC unroll 16
      for (size_t t = 0; t < 16; ++t, bin += nb) {
        r[t] = NibbleRow<B, true>(bin, nb, ext, ne, chunk, nib);
        if constexpr (B > 0) ext += ne;
      }
    } else {
#pragma GCC unroll 16
      for (size_t t = 0; t < 16; ++t) {
        const uint64_t rec = std::min<uint64_t>(head + t, batch.count - 1);
        const uint8_t* ext = B > 0 ? batch.extended_codes + rec * ne : nullptr;
        r[t] = NibbleRow<B, false>(batch.binary_codes + rec * nb, nb, ext, ne, chunk, nib);
      }
    }
    Transpose16(r);
#pragma GCC unroll 16
    for (size_t w = 0; w < kWordsPerChunk; ++w) {
      hn::Store(r[w], du, words + (w * kGroups + g) * lanes);
    }
  }
}

// Adds one chunk's dimensions, in order, to the sums of a pass's four groups.
HWY_INLINE void ChunkSums(const float* HWY_RESTRICT table, const uint32_t* HWY_RESTRICT words,
                          float* HWY_RESTRICT sums) {
  using rabitq_batch_simd::kTableEntries;
  const DF df;
  const DU du;
  constexpr size_t lanes = 16;
  VF acc0 = hn::Load(df, sums);
  VF acc1 = hn::Load(df, sums + lanes);
  VF acc2 = hn::Load(df, sums + 2 * lanes);
  VF acc3 = hn::Load(df, sums + 3 * lanes);
  // Byte k / 2 of each word, read by a load from that byte on, holds dimensions k and
  // k + 1 in its low and high four bits: a load per byte replaces the shifts of the
  // even nibbles (the bytes above, from the next lane or vector, are never looked at).
  const auto step = [&](const float* HWY_RESTRICT t0, const uint8_t* HWY_RESTRICT ws) {
    const VU w0 = hn::LoadU(du, reinterpret_cast<const uint32_t*>(ws));
    const VU w1 = hn::LoadU(du, reinterpret_cast<const uint32_t*>(ws + 64));
    const VU w2 = hn::LoadU(du, reinterpret_cast<const uint32_t*>(ws + 128));
    const VU w3 = hn::LoadU(du, reinterpret_cast<const uint32_t*>(ws + 192));
    const VF t = hn::Load(df, t0);
    acc0 = hn::Add(acc0, Lookup(t, w0));
    acc1 = hn::Add(acc1, Lookup(t, w1));
    acc2 = hn::Add(acc2, Lookup(t, w2));
    acc3 = hn::Add(acc3, Lookup(t, w3));
    // Keeps each step's four additions together: left free, the compiler delays three
    // of the chains to the end of the word and spills their terms.
    asm("" : "+v"(acc0.raw), "+v"(acc1.raw), "+v"(acc2.raw), "+v"(acc3.raw));
    const VF u = hn::Load(df, t0 + kTableEntries);
    acc0 = hn::Add(acc0, Lookup(u, hn::ShiftRight<4>(w0)));
    acc1 = hn::Add(acc1, Lookup(u, hn::ShiftRight<4>(w1)));
    acc2 = hn::Add(acc2, Lookup(u, hn::ShiftRight<4>(w2)));
    acc3 = hn::Add(acc3, Lookup(u, hn::ShiftRight<4>(w3)));
    asm("" : "+v"(acc0.raw), "+v"(acc1.raw), "+v"(acc2.raw), "+v"(acc3.raw));
  };
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(words);
  for (size_t w = 0; w < kWordsPerChunk; ++w) {
    const uint8_t* ws = bytes + w * kGroups * lanes * 4;
#pragma GCC unroll 4
    for (size_t k = 0; k < 4; ++k) step(table + (8 * w + 2 * k) * kTableEntries, ws + k);
  }
  hn::Store(acc0, df, sums);
  hn::Store(acc1, df, sums + lanes);
  hn::Store(acc2, df, sums + 2 * lanes);
  hn::Store(acc3, df, sums + 3 * lanes);
}

// Inner products of every record by the product table, for ex_bits B <= 3.
template <unsigned B>
void TableInnerProductsOf(const float* HWY_RESTRICT y, float centre, const RecordColumns& batch,
                          float* HWY_RESTRICT ip) {
  using rabitq_batch_simd::kChunkDims;
  using rabitq_batch_simd::kTableEntries;
  constexpr size_t pass = kGroups * 16;
  const uint64_t dims = rabitq_batch_simd::padded_dimension(batch.dimension);
  const uint64_t chunks = dims / kChunkDims;
  const auto table = hwy::AllocateAligned<float>(dims * kTableEntries);
  rabitq_batch_simd::fill_product_table(y, dims, B, centre, table.get());
  // (One vector more: ChunkSums reads up to 3 bytes past the words.)
  const auto words = hwy::AllocateAligned<uint32_t>((kWordsPerChunk + 1) * pass);
  const auto sums = hwy::AllocateAligned<float>(pass);
  for (uint64_t r0 = 0; r0 < batch.count; r0 += pass) {
    std::fill(sums.get(), sums.get() + pass, 0.0f);
    for (uint64_t c = 0; c < chunks; ++c) {
      ChunkWords<B>(batch, r0, c, words.get());
      ChunkSums(table.get() + c * kChunkDims * kTableEntries, words.get(), sums.get());
    }
    std::copy(sums.get(), sums.get() + std::min<uint64_t>(pass, batch.count - r0), ip + r0);
  }
}

#endif  // product tables

void InnerProducts(const float* HWY_RESTRICT y, float centre, const RecordColumns& batch,
                   float* HWY_RESTRICT ip) {
#ifdef MIVO_PRODUCT_TABLES
  switch (batch.ex_bits) {
    case 0: return TableInnerProductsOf<0>(y, centre, batch, ip);
    case 1: return TableInnerProductsOf<1>(y, centre, batch, ip);
    case 2: return TableInnerProductsOf<2>(y, centre, batch, ip);
    case 3: return TableInnerProductsOf<3>(y, centre, batch, ip);
    default: break;
  }
#endif
  switch (batch.ex_bits) {
    case 0: return InnerProductsOf<0>(y, centre, batch, ip);
    case 1: return InnerProductsOf<1>(y, centre, batch, ip);
    case 2: return InnerProductsOf<2>(y, centre, batch, ip);
    case 3: return InnerProductsOf<3>(y, centre, batch, ip);
    case 4: return InnerProductsOf<4>(y, centre, batch, ip);
    case 5: return InnerProductsOf<5>(y, centre, batch, ip);
    case 6: return InnerProductsOf<6>(y, centre, batch, ip);
    default: return InnerProductsOf<7>(y, centre, batch, ip);
  }
}

const char* BatchTargetName() { return hwy::TargetName(HWY_TARGET); }

size_t BatchVectorBytes() { return hn::Lanes(DF()) * sizeof(float); }

size_t BatchPassRecords(unsigned ex_bits) {
#ifdef MIVO_PRODUCT_TABLES
  if (ex_bits <= rabitq_batch_simd::kTableMaxExBits) return kGroups * hn::Lanes(DF());
#else
  (void)ex_bits;
#endif
  return 2 * hn::Lanes(DF());
}

#undef MIVO_PRODUCT_TABLES

}  // namespace HWY_NAMESPACE
}  // namespace mivo
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace mivo {

HWY_EXPORT(InnerProducts);
HWY_EXPORT(BatchTargetName);
HWY_EXPORT(BatchVectorBytes);
HWY_EXPORT(BatchPassRecords);

namespace rabitq_batch_simd {

void inner_products(const float* y, float centre, const RecordColumns& batch, float* ip) {
  if (batch.count == 0) return;
  HWY_DYNAMIC_DISPATCH(InnerProducts)(y, centre, batch, ip);
}

const char* target_name() { return HWY_DYNAMIC_DISPATCH(BatchTargetName)(); }

size_t vector_bytes() { return HWY_DYNAMIC_DISPATCH(BatchVectorBytes)(); }

size_t pass_records(unsigned ex_bits) { return HWY_DYNAMIC_DISPATCH(BatchPassRecords)(ex_bits); }

}  // namespace rabitq_batch_simd
}  // namespace mivo
#endif  // HWY_ONCE
