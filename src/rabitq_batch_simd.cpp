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
// Where the product-table kernel runs (rabitq_table_simd.cpp), it takes the place of
// these.
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
#include "rabitq_table_simd.h"

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

void InnerProducts(const float* HWY_RESTRICT y, float centre, const RecordColumns& batch,
                   float* HWY_RESTRICT ip) {
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

size_t BatchPassRecords() { return 2 * hn::Lanes(DF()); }

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
  if (rabitq_table_simd::inner_products(y, centre, batch, ip)) return;
  HWY_DYNAMIC_DISPATCH(InnerProducts)(y, centre, batch, ip);
}

const char* target_name() { return HWY_DYNAMIC_DISPATCH(BatchTargetName)(); }

size_t vector_bytes() { return HWY_DYNAMIC_DISPATCH(BatchVectorBytes)(); }

size_t pass_records(unsigned ex_bits) {
  const size_t table = rabitq_table_simd::pass_records(ex_bits);
  return table > 0 ? table : HWY_DYNAMIC_DISPATCH(BatchPassRecords)();
}

}  // namespace rabitq_batch_simd
}  // namespace mivo
#endif  // HWY_ONCE
