// The one error type of the computations, and the internal-failure signal.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "messages.h"

namespace mivo {

// A computation's refusal: the frame raises it as ValueError with message().
class QuantizerError : public std::exception {
 public:
  enum class Kind { DimensionMismatch, InvalidConfig };

  static QuantizerError dimension_mismatch(uint64_t expected, uint64_t got) {
    return QuantizerError(Kind::DimensionMismatch, expected, got, "", "");
  }
  // `field` and `reason` must live as long as the program (string literals, or the
  // reasons in messages.h): they are kept by pointer.
  static QuantizerError invalid_config(const char* field, const char* reason) {
    return QuantizerError(Kind::InvalidConfig, 0, 0, field, reason);
  }

  Kind kind() const noexcept { return kind_; }
  uint64_t expected() const noexcept { return expected_; }
  uint64_t got() const noexcept { return got_; }
  const char* field() const noexcept { return field_; }
  const char* reason() const noexcept { return reason_; }
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  QuantizerError(Kind kind, uint64_t expected, uint64_t got, const char* field, const char* reason)
      : kind_(kind), expected_(expected), got_(got), field_(field), reason_(reason) {
    message_ = kind == Kind::DimensionMismatch ? dimension_mismatch_text(expected, got)
                                               : invalid_config_text(field, reason);
  }

  Kind kind_;
  uint64_t expected_;
  uint64_t got_;
  const char* field_;
  const char* reason_;
  std::string message_;
};

// A violated internal condition (a bug or an impossible state). The frame reports
// the location on stderr and raises PanicException with message().
class InternalFailure : public std::exception {
 public:
  InternalFailure(std::string message, const char* file, int line)
      : message_(std::move(message)), file_(file), line_(line) {}
  const std::string& message() const noexcept { return message_; }
  const char* file() const noexcept { return file_; }
  int line() const noexcept { return line_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
  const char* file_;
  int line_;
};

// No platform we run on maps more than 2^47 bytes in one piece. Larger requests are
// refused here, before any allocator sees them: some allocators (sanitizer runtimes
// among them) end the process instead of failing an impossible request.
inline constexpr uint64_t kMaxAllocationBytes = uint64_t{1} << 47;

// Throws std::bad_alloc unless `count` elements of `size` bytes could be allocated.
inline void require_allocatable(uint64_t count, uint64_t size) {
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(count, size, &bytes) || bytes > kMaxAllocationBytes) {
    throw std::bad_alloc();
  }
}

// a * b, a count of elements to allocate: std::bad_alloc when the product wraps, since
// no buffer of that many elements could exist.
inline uint64_t allocation_count(uint64_t a, uint64_t b) {
  uint64_t count = 0;
  if (__builtin_mul_overflow(a, b, &count)) throw std::bad_alloc();
  return count;
}

}  // namespace mivo

#define MIVO_FAIL(message) throw ::mivo::InternalFailure((message), __FILE__, __LINE__)
