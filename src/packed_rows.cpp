// Padding checks on rows of packed codes.
#include "packed_rows.h"

#include "error.h"

namespace mivo {

std::optional<uint64_t> first_row_with_padding_bits(const uint8_t* rows, uint64_t count,
                                                    uint64_t row_bytes, uint64_t used_bits) {
  // used_bits > 8 * row_bytes, without the product (which may not fit).
  if (used_bits / 8 > row_bytes || (used_bits / 8 == row_bytes && used_bits % 8 != 0)) {
    MIVO_FAIL(kPaddingPastRow);
  }
  // Only the last partly used byte and the bytes after it can hold padding.
  const uint64_t first = used_bits / 8;
  const unsigned kept = static_cast<unsigned>(used_bits % 8);
  const uint8_t partial_mask = static_cast<uint8_t>(0xFFu << kept);
  for (uint64_t r = 0; r < count; ++r) {
    const uint8_t* row = rows + r * row_bytes;
    uint8_t stray = first < row_bytes ? static_cast<uint8_t>(row[first] & partial_mask) : 0;
    for (uint64_t b = first + 1; b < row_bytes; ++b) stray = static_cast<uint8_t>(stray | row[b]);
    if (stray != 0) return r;
  }
  return std::nullopt;
}

}  // namespace mivo
