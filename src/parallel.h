// Work split over threads that each own whole items, so that no result depends on the
// number of threads; the caller's thread keeps pacing while the others run.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "pacing.h"

namespace mivo {

// What the work calls between small pieces of work. On the caller's thread it runs the
// pacer (which may throw Stopped); on the other threads it throws Stopped
// once another part has stopped or failed, so that they all end soon after.
class PartStep {
 public:
  PartStep(Pacer* pacer, std::atomic<bool>& stop) : pacer_(pacer), stop_(stop) {}
  void operator()();

 private:
  Pacer* pacer_;
  std::atomic<bool>& stop_;
};

// The items [begin, end) of part `part` when `count` items are cut into `parts`
// contiguous parts of sizes that differ by at most one.
struct PartRange {
  uint64_t begin;
  uint64_t end;
};
PartRange part_range(uint64_t count, unsigned parts, unsigned part);

// Runs work(part, step) for every part < threads, part 0 on the caller's thread and
// each other on a thread of its own (a thread that cannot be started has its part run
// on the caller's thread instead). Returns when all have ended; then rethrows the
// first failure of part 0, else of the lowest part that failed.
void run_parts(unsigned threads, Pacer& pacer,
               const std::function<void(unsigned part, PartStep& step)>& work);

}  // namespace mivo
