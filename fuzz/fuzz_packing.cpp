// Packing and unpacking of one-bit codes: bit layout, zero padding, untouched bytes
// past the code, round trips and the refusal of short buffers.
#include <algorithm>

#include "bit_codes.h"
#include "fuzz_common.h"

using namespace mivo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const size_t n = in.range(0, 300);
  const std::vector<uint8_t> values = in.bytes(n);
  const size_t need = packed_size(n);
  MIVO_CHECK(need == (n + 7) / 8);

  // Packed into a longer buffer: the code's bytes are written in full, the rest not.
  const uint8_t sentinel = in.byte();
  std::vector<uint8_t> out(need + in.range(0, 3), sentinel);
  pack_bits(values, out);
  for (size_t i = need; i < out.size(); ++i) MIVO_CHECK(out[i] == sentinel);
  for (size_t i = 0; i < n; ++i) {
    MIVO_CHECK(((out[i / 8] >> (i % 8)) & 1) == (values[i] != 0 ? 1 : 0));
  }
  if (n % 8 != 0) MIVO_CHECK((out[need - 1] >> (n % 8)) == 0);

  // Earlier contents of the buffer do not matter, and a second call gives the same bytes.
  std::vector<uint8_t> again(need, static_cast<uint8_t>(~sentinel));
  pack_bits(values, again);
  MIVO_CHECK(std::equal(again.begin(), again.end(), out.begin()));

  // A short buffer is refused before anything is written.
  if (need > 0) {
    std::vector<uint8_t> small(in.range(0, need - 1), sentinel);
    fuzz::check_mismatch([&] { pack_bits(values, small); }, need, small.size());
    MIVO_CHECK(std::all_of(small.begin(), small.end(), [&](uint8_t b) { return b == sentinel; }));
  }

  // Unpacking the code gives back one 0/1 byte per value.
  std::vector<uint8_t> unpacked(n, 0x55);
  unpack_bits(std::span<const uint8_t>(out).first(need), unpacked);
  for (size_t i = 0; i < n; ++i) MIVO_CHECK(unpacked[i] == (values[i] != 0 ? 1 : 0));

  // Arbitrary bytes at an arbitrary dimension: surplus bytes and padding bits are
  // ignored, so repacking gives the used bytes with the padding cleared.
  const size_t dim = in.range(0, 300);
  const std::vector<uint8_t> packed = in.bytes(in.range(0, 40));
  std::vector<uint8_t> bits(dim, 0x55);
  const size_t dim_need = packed_size(dim);
  if (packed.size() < dim_need) {
    fuzz::check_mismatch([&] { unpack_bits(packed, bits); }, dim_need, packed.size());
    return 0;
  }
  unpack_bits(packed, bits);
  for (size_t i = 0; i < dim; ++i) MIVO_CHECK(bits[i] == ((packed[i / 8] >> (i % 8)) & 1));
  std::vector<uint8_t> repacked(dim_need);
  pack_bits(bits, repacked);
  for (size_t k = 0; k < dim_need; ++k) {
    const unsigned used = k + 1 < dim_need || dim % 8 == 0 ? 8 : dim % 8;
    MIVO_CHECK(repacked[k] == (packed[k] & ((1u << used) - 1)));
  }
  return 0;
}
