// The product-table kernel of the batch estimates, compiled by Highway for the x86
// targets with byte permutes (AVX3_DL and later) and chosen at run time.
//
// The rounded product f32(f32(code) - centre) * y[j] that each term of an inner product
// adds takes one of 16 values per dimension for codes of at most 4 bits, so a
// per-query table of them (built by the same two roundings) turns the decode and the
// multiplication into one permute; the additions stay one sequential chain per record
// in index order from +0.0, lane by lane, so the results equal the per-record loop bit
// for bit, like the kernels of rabitq_batch_simd.cpp. Records are first rewritten as
// 4-bit table indices, eight dimensions per 32-bit word (NibbleRow), and transposed 16
// records at a time in registers; each dimension then costs a permute and the addition
// (and every other one a shift), for four vectors of records at once so that four
// chains of additions are in flight.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "rabitq_table_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/aligned_allocator.h>
#include <hwy/cache_control.h>
#include <hwy/highway.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rabitq_batch.h"
#include "rabitq_batch_simd.h"
#include "rabitq_table_simd.h"
#include "sums.h"

#ifndef MIVO_RABITQ_TABLE_SIMD_ONCE
#define MIVO_RABITQ_TABLE_SIMD_ONCE
namespace mivo::rabitq_table_simd {
namespace {

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
}  // namespace mivo::rabitq_table_simd
#endif  // MIVO_RABITQ_TABLE_SIMD_ONCE

HWY_BEFORE_NAMESPACE();
namespace mivo {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// (Built against a Highway older than 1.3, which lacks some of the operations below,
// the batch estimates keep their other kernels: the same bits.)
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3_DL && (HWY_MAJOR > 1 || HWY_MINOR >= 3)
#define MIVO_PRODUCT_TABLES 1

using DF = hn::Full512<float>;
using VF = hn::Vec<DF>;
using DU = hn::Full512<uint32_t>;
using VU = hn::Vec<DU>;
// (Fixed-size x86 vectors: arrays of them are fine here.)
using DB = hn::Full512<uint8_t>;
using VB = hn::Vec<DB>;
using DQ = hn::Full512<uint64_t>;

// Vectors of records per pass of the table kernel: four chains of additions in flight.
constexpr size_t kGroups = 4;
constexpr size_t kWordsPerChunk = rabitq_batch_simd::kChunkDims / 8;

// The record's dimensions [128 * chunk, 128 * chunk + 128) as 4-bit table indices,
// word w holding dimension 8w + k at bits 4k (layouts: nibble_code). Reads 64 bytes
// from the chunk's start in each row (bin: sign bits, ext: extended codes), which the
// caller keeps inside its arrays (see TableInnerProductsOf).
template <unsigned B>
HWY_INLINE VU NibbleRow(const uint8_t* HWY_RESTRICT bin, const uint8_t* HWY_RESTRICT ext,
                        uint64_t chunk, const rabitq_table_simd::NibbleBytes& nib) {
  const DB db;
  const DQ dq;
  const DU du;
  const uint64_t so = chunk * rabitq_batch_simd::kChunkDims / 8;
  const uint64_t eo = chunk * rabitq_batch_simd::kChunkDims * B / 8;
  // The chunk's (at most 48) bytes of extended codes, and its 16 bytes of sign bits
  // in the last 16 bytes.
  VB codes = hn::Zero(db);
  if constexpr (B > 0) codes = hn::LoadU(db, ext + eo);
  const auto sign = hn::LoadU(hn::Full128<uint8_t>(), bin + so);
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
  const rabitq_table_simd::SwapIndices& x = rabitq_table_simd::kSwapIndices;
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

// Rewrites the 16 records from `first` for one chunk as table indices: word w of them
// at words[w * kGroups * 16]. Not inlined: each call does a few hundred vector
// operations, and one function with every group and chunk inlined took minutes to
// compile under the sanitizers.
//
// The same bytes of the records `ahead` rows on (0: none) are fetched into the cache
// meanwhile: the next pass reads them, and a batch that is not in the cache would
// otherwise be read at the pace of single misses (rows hundreds of bytes apart).
template <unsigned B>
HWY_NOINLINE void GroupWords(const RecordColumns& rows, uint64_t first, uint64_t chunk,
                             uint64_t ahead, uint32_t* HWY_RESTRICT words) {
  const DU du;
  constexpr size_t lanes = 16;
  const uint64_t nb = binary_code_bytes(rows.dimension);
  const uint64_t ne = extended_code_bytes(rows.dimension, B);
  const rabitq_table_simd::NibbleBytes& nib = rabitq_table_simd::kNibbleBytes[B];
  // (Rows by pointer steps: index arithmetic per row weighs on these few vector
  // operations.)
  const uint8_t* bin = rows.binary_codes + first * nb;
  const uint8_t* ext = B > 0 ? rows.extended_codes + first * ne : nullptr;
  VU r[16];
#pragma GCC unroll 16
  for (size_t t = 0; t < 16; ++t, bin += nb) {
    r[t] = NibbleRow<B>(bin, ext, chunk, nib);
    if (ahead > 0) {
      // (Addresses as integers: past the last record they point nowhere, and a
      // prefetch of them is harmless where a pointer to them would not be.)
      const uintptr_t so = chunk * rabitq_batch_simd::kChunkDims / 8;
      hwy::Prefetch(
          reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(bin) + so + ahead * nb));
      if constexpr (B > 0) {
        const uintptr_t eo = chunk * rabitq_batch_simd::kChunkDims * B / 8 + ahead * ne;
        const uintptr_t at = reinterpret_cast<uintptr_t>(ext) + eo;
        hwy::Prefetch(reinterpret_cast<const uint8_t*>(at));
        hwy::Prefetch(reinterpret_cast<const uint8_t*>(at + 63));
      }
    }
    if constexpr (B > 0) ext += ne;
  }
  Transpose16(r);
#pragma GCC unroll 16
  for (size_t w = 0; w < kWordsPerChunk; ++w) hn::Store(r[w], du, words + w * kGroups * lanes);
}

// Adds one chunk's dimensions, in order, to the sums of a pass's four groups.
HWY_INLINE void ChunkSums(const float* HWY_RESTRICT table, const uint32_t* HWY_RESTRICT words,
                          float* HWY_RESTRICT sums) {
  using rabitq_table_simd::kTableEntries;
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

// The inner products of rows' records [0, count) into ip, by passes of kGroups * 16
// records; rows holds whole passes (count rounded up), and 64 bytes from any chunk of
// any of its rows lie inside its arrays.
template <unsigned B>
void Passes(const float* HWY_RESTRICT table, uint64_t chunks, const RecordColumns& rows,
            uint64_t count, float* HWY_RESTRICT ip) {
  using rabitq_batch_simd::kChunkDims;
  using rabitq_table_simd::kTableEntries;
  constexpr size_t pass = kGroups * 16;
  // (One vector more: ChunkSums reads up to 3 bytes past the words.)
  const auto words = hwy::AllocateAligned<uint32_t>((kWordsPerChunk + 1) * pass);
  const auto sums = hwy::AllocateAligned<float>(pass);
  for (uint64_t r0 = 0; r0 < count; r0 += pass) {
    std::fill(sums.get(), sums.get() + pass, 0.0f);
    for (uint64_t c = 0; c < chunks; ++c) {
      for (size_t g = 0; g < kGroups; ++g)
        GroupWords<B>(rows, r0 + 16 * g, c, r0 + pass < count ? pass : 0, words.get() + 16 * g);
      ChunkSums(table + c * kChunkDims * kTableEntries, words.get(), sums.get());
    }
    std::copy(sums.get(), sums.get() + std::min<uint64_t>(pass, count - r0), ip + r0);
  }
}

// Inner products of every record by the product table, for ex_bits B <= 3. The passes
// whose 64-byte reads stay inside the batch's arrays read the batch itself; the records
// after them are first copied into rows of their own, padded with zero records to a
// whole pass and 64 zero bytes (the padding's results are dropped).
template <unsigned B>
void TableInnerProductsOf(const float* HWY_RESTRICT y, float centre, const RecordColumns& batch,
                          float* HWY_RESTRICT ip) {
  using rabitq_table_simd::kTableEntries;
  constexpr uint64_t pass = kGroups * 16;
  constexpr uint64_t kReach = 64;
  const uint64_t dims = rabitq_batch_simd::padded_dimension(batch.dimension);
  const uint64_t chunks = dims / rabitq_batch_simd::kChunkDims;
  const auto table = hwy::AllocateAligned<float>(dims * kTableEntries);
  rabitq_table_simd::fill_product_table(y, dims, B, centre, table.get());
  const uint64_t nb = binary_code_bytes(batch.dimension);
  const uint64_t ne = extended_code_bytes(batch.dimension, B);
  // A pass from r0 reads at most kReach bytes past the start of its last row's last
  // chunk, so within the rows of the records after it (every row is at least nb bytes,
  // ne >= nb when there are extended codes).
  const uint64_t after = (kReach + nb - 1) / nb;
  const uint64_t direct = batch.count >= pass + after ? (batch.count - after) / pass * pass : 0;
  Passes<B>(table.get(), chunks, batch, direct, ip);
  if (direct == batch.count) return;
  const uint64_t rest = batch.count - direct;
  const uint64_t padded = (rest + pass - 1) / pass * pass;
  std::vector<uint8_t> bin(padded * nb + kReach, 0);
  std::vector<uint8_t> ext(padded * ne + kReach, 0);
  const RecordColumns tail = slice_rows(batch, direct, rest);
  std::copy(tail.binary_codes, tail.binary_codes + rest * nb, bin.data());
  if constexpr (B > 0) std::copy(tail.extended_codes, tail.extended_codes + rest * ne, ext.data());
  const RecordColumns rows{batch.dimension, B, padded, bin.data(), ext.data(), nullptr};
  Passes<B>(table.get(), chunks, rows, rest, ip + direct);
}

#endif  // product tables

// Whether this target runs the kernel for ex_bits, and if so ip filled.
bool TableInnerProducts(const float* HWY_RESTRICT y, float centre, const RecordColumns& batch,
                        float* HWY_RESTRICT ip) {
#ifdef MIVO_PRODUCT_TABLES
  switch (batch.ex_bits) {
    case 0: TableInnerProductsOf<0>(y, centre, batch, ip); return true;
    case 1: TableInnerProductsOf<1>(y, centre, batch, ip); return true;
    case 2: TableInnerProductsOf<2>(y, centre, batch, ip); return true;
    case 3: TableInnerProductsOf<3>(y, centre, batch, ip); return true;
    default: return false;
  }
#else
  (void)y, (void)centre, (void)batch, (void)ip;
  return false;
#endif
}

size_t TablePassRecords(unsigned ex_bits) {
#ifdef MIVO_PRODUCT_TABLES
  if (ex_bits <= rabitq_table_simd::kTableMaxExBits) return kGroups * hn::Lanes(DF());
#endif
  (void)ex_bits;
  return 0;
}

const char* TableTargetName() { return hwy::TargetName(HWY_TARGET); }

#undef MIVO_PRODUCT_TABLES

}  // namespace HWY_NAMESPACE
}  // namespace mivo
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace mivo {

HWY_EXPORT(TableInnerProducts);
HWY_EXPORT(TablePassRecords);
HWY_EXPORT(TableTargetName);

namespace rabitq_table_simd {

bool inner_products(const float* y, float centre, const RecordColumns& batch, float* ip) {
  return HWY_DYNAMIC_DISPATCH(TableInnerProducts)(y, centre, batch, ip);
}

size_t pass_records(unsigned ex_bits) { return HWY_DYNAMIC_DISPATCH(TablePassRecords)(ex_bits); }

const char* target_name() { return HWY_DYNAMIC_DISPATCH(TableTargetName)(); }

}  // namespace rabitq_table_simd
}  // namespace mivo
#endif  // HWY_ONCE
