// Checks on rows of packed codes read from outside: bits past the codes must be zero.
#pragma once

#include <cstdint>
#include <optional>

namespace mivo {

// The first of `count` rows of `row_bytes` bytes (stored back to back) whose bits at
// positions `used_bits` and above (bit p is bit p % 8 of byte p / 8) are not all zero;
// nullopt when every row is clean. used_bits <= 8 * row_bytes.
std::optional<uint64_t> first_row_with_padding_bits(const uint8_t* rows, uint64_t count,
                                                    uint64_t row_bytes, uint64_t used_bits);

}  // namespace mivo
