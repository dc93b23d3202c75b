// The streaming read of read_floor.h, compiled once per SIMD target by Highway.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "read_floor.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include <cstring>

#include "read_floor.h"

HWY_BEFORE_NAMESPACE();
namespace mivo::bench {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Four independent sums, so the adds never wait on one another and only the loads
// set the pace.
uint64_t ReadWords(const uint8_t* p, size_t bytes) {
  const hn::ScalableTag<uint64_t> d;
  const size_t n = hn::Lanes(d);
  const size_t words = bytes / 8;
  auto a0 = hn::Zero(d), a1 = a0, a2 = a0, a3 = a0;
  const auto load = [&](size_t w) {
    return hn::LoadU(d, reinterpret_cast<const uint64_t*>(p) + w);
  };
  size_t w = 0;
  for (; w + 4 * n <= words; w += 4 * n) {
    a0 = hn::Add(a0, load(w));
    a1 = hn::Add(a1, load(w + n));
    a2 = hn::Add(a2, load(w + 2 * n));
    a3 = hn::Add(a3, load(w + 3 * n));
  }
  uint64_t sum = hn::ReduceSum(d, hn::Add(hn::Add(a0, a1), hn::Add(a2, a3)));
  for (; w < words; ++w) {
    uint64_t x;
    std::memcpy(&x, p + 8 * w, 8);
    sum += x;
  }
  return sum;
}

}  // namespace HWY_NAMESPACE
}  // namespace mivo::bench
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace mivo::bench {

HWY_EXPORT(ReadWords);

uint64_t read_words(const uint8_t* p, size_t bytes) {
  return HWY_DYNAMIC_DISPATCH(ReadWords)(p, bytes);
}

}  // namespace mivo::bench
#endif  // HWY_ONCE
