// Shared pieces of the fuzz harnesses: the failure check, the decoder of fuzz bytes
// into sizes, floats and codes, and the loop over the compiled SIMD targets.
#pragma once

#include <hwy/targets.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>
#include <vector>

#include "error.h"
#include "only_target.h"

// A violated invariant: report where, then trap so that libFuzzer records the input.
#define MIVO_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      __builtin_trap();                                                             \
    }                                                                               \
  } while (0)

// Runs `call`, which must throw QuantizerError of the given kind; any other outcome
// (no exception, another kind, another type) fails the check.
#define MIVO_CHECK_REFUSES(call, error_kind)                       \
  do {                                                             \
    bool refused_ = false;                                         \
    try {                                                          \
      call;                                                        \
    } catch (const ::mivo::QuantizerError& e) {                    \
      refused_ = e.kind() == ::mivo::QuantizerError::Kind::error_kind; \
    }                                                              \
    MIVO_CHECK(refused_);                                          \
  } while (0)

namespace mivo::fuzz {

// Floats worth meeting often: signed zeros, infinities, NaNs with and without
// payloads (quiet and signalling), subnormals, the extremes of the normal range,
// and the thresholds the code compares against.
inline constexpr uint32_t kSpecialFloats[] = {
    0x00000000u, 0x80000000u, 0x7F800000u, 0xFF800000u, 0x7FC00000u, 0xFFC00000u,
    0x7FC12345u, 0xFFEDCBA9u, 0x7F800001u, 0xFFA00000u, 0x00000001u, 0x80000001u,
    0x007FFFFFu, 0x00800000u, 0x7F7FFFFFu, 0xFF7FFFFFu, 0x3F800000u, 0xBF800000u,
    0x3F000000u, 0x34000000u, 0x2EDBE6FFu, 0x3E99999Au, 0xBE99999Au, 0x5F800000u,
    0x1F800000u, 0x4B800000u,
};

// Reads the fuzz bytes front to back. Past the end every read gives zeros, so any
// input decodes to some test case and shorter inputs are simpler cases.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }

  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
    return v;
  }

  uint64_t u64() {
    const uint64_t low = u32();
    return low | (static_cast<uint64_t>(u32()) << 32);
  }

  bool flag() { return (byte() & 1) != 0; }

  // A value in [lo, hi] from one byte (two when the range needs them).
  size_t range(size_t lo, size_t hi) {
    const size_t span = hi - lo + 1;
    size_t raw = byte();
    if (span > 256) raw |= size_t{byte()} << 8;
    return lo + raw % span;
  }

  // A float from a tag byte: raw bits, a special value, or a small integer times a
  // power of two near 1 (where sums round and cancel in interesting ways).
  float value() {
    const uint8_t tag = byte();
    switch (tag & 7) {
      case 0:
        return std::bit_cast<float>(u32());
      case 1:
        return std::bit_cast<float>(kSpecialFloats[byte() % std::size(kSpecialFloats)]);
      default: {
        const auto mantissa = static_cast<int8_t>(byte());
        const int exponent = (tag >> 3) - 16;  // 2^-16 .. 2^15
        return std::ldexp(static_cast<float>(mantissa), exponent);
      }
    }
  }

  std::vector<float> values(size_t n) {
    std::vector<float> v(n);
    for (float& x : v) x = value();
    return v;
  }

  // n bytes for bulk data such as code rows: a mode byte picks all zeros, all ones,
  // a copy of `like` (when given) or bytes drawn from the input, continued by a
  // generator seeded from the input once it runs out.
  std::vector<uint8_t> bytes(size_t n, std::span<const uint8_t> like = {}) {
    std::vector<uint8_t> out(n);
    const uint8_t mode = byte() % 8;
    if (mode == 0) return out;
    if (mode == 1) {
      std::fill(out.begin(), out.end(), uint8_t{0xFF});
      return out;
    }
    if (mode == 2 && !like.empty()) {
      for (size_t i = 0; i < n; ++i) out[i] = like[i % like.size()];
      if (n > 0) out[byte() % n] ^= static_cast<uint8_t>(1u << (byte() % 8));
      return out;
    }
    uint64_t state = 0x9E3779B97F4A7C15ull * (pos_ + 1);
    for (size_t i = 0; i < n; ++i) {
      if (!empty()) {
        out[i] = byte();
        state = state * 31 + out[i];
      } else {
        state += 0x9E3779B97F4A7C15ull;  // splitmix64
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        out[i] = static_cast<uint8_t>(z ^ (z >> 31));
      }
    }
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

inline bool same_bits(std::span<const float> a, std::span<const float> b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

inline bool same_bits(float a, float b) {
  return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// Runs fn, which must throw DimensionMismatch reporting exactly (expected, got).
template <class Fn>
void check_mismatch(Fn&& fn, uint64_t expected, uint64_t got) {
  bool refused = false;
  try {
    fn();
  } catch (const QuantizerError& e) {
    refused = e.kind() == QuantizerError::Kind::DimensionMismatch && e.expected() == expected &&
              e.got() == got;
  }
  MIVO_CHECK(refused);
}

// Equal values, or both NaN: for sums the harness computes itself, whose NaN payload
// depends on how the compiler orders the operands of an addition.
inline bool same_value(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// The SIMD targets compiled into this binary that the CPU can run.
inline const std::vector<int64_t>& targets() {
  static const std::vector<int64_t> list = hwy::SupportedAndGeneratedTargets();
  return list;
}

// Runs body(target) once per target, with the dispatch limited to that target.
template <class Body>
void for_each_target(Body&& body) {
  for (const int64_t target : targets()) {
    OnlyTarget only(target);
    body(target);
  }
}

}  // namespace mivo::fuzz
