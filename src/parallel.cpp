// Threads for work split into parts (see parallel.h).
#include "parallel.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace mivo {

void PartStep::operator()() {
  if (pacer_ == nullptr) {
    if (stop_.load(std::memory_order_relaxed)) throw Stopped();
    return;
  }
  try {
    pacer_->step();
  } catch (...) {
    stop_.store(true, std::memory_order_relaxed);
    throw;
  }
}

PartRange part_range(uint64_t count, unsigned parts, unsigned part) {
  const auto edge = [&](unsigned p) {
    return static_cast<uint64_t>(static_cast<unsigned __int128>(count) * p / parts);
  };
  return {edge(part), edge(part + 1)};
}

namespace {

// The state the parts share: how many are still running, and what each threw.
struct Parts {
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable done;
  unsigned running = 0;
  std::vector<std::exception_ptr> failures;
};

void run_worker(const std::function<void(unsigned, PartStep&)>& work, unsigned part, Parts& s) {
  PartStep step(nullptr, s.stop);
  std::exception_ptr failure;
  try {
    work(part, step);
  } catch (...) {
    failure = std::current_exception();
    s.stop.store(true, std::memory_order_relaxed);
  }
  std::lock_guard<std::mutex> lock(s.mutex);
  s.failures[part] = failure;
  --s.running;
  s.done.notify_all();
}

// On the caller's thread, once its own parts are done: waits for the others, running
// the pacer between waits, so that a signal is still answered within its interval.
void wait_pacing(Parts& s, PartStep& step, std::exception_ptr& failure) {
  std::unique_lock<std::mutex> lock(s.mutex);
  while (s.running > 0) {
    s.done.wait_for(lock, Pacer::kInterval / 2);
    if (failure) continue;
    lock.unlock();
    try {
      step();
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
  }
}

}  // namespace

void run_parts(unsigned threads, Pacer& pacer,
               const std::function<void(unsigned part, PartStep& step)>& work) {
  const unsigned parts = threads == 0 ? 1 : threads;
  Parts s;
  s.failures.resize(parts);
  std::vector<std::thread> pool;
  std::vector<unsigned> inline_parts{0};
  for (unsigned part = 1; part < parts; ++part) {
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      ++s.running;
    }
    try {
      pool.emplace_back(run_worker, std::cref(work), part, std::ref(s));
    } catch (const std::system_error&) {
      std::lock_guard<std::mutex> lock(s.mutex);
      --s.running;
      inline_parts.push_back(part);
    }
  }
  PartStep step(&pacer, s.stop);
  std::exception_ptr failure;
  for (unsigned part : inline_parts) {
    if (failure) break;
    try {
      work(part, step);
    } catch (...) {
      failure = std::current_exception();
      s.stop.store(true, std::memory_order_relaxed);
    }
  }
  wait_pacing(s, step, failure);
  for (std::thread& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
  for (const std::exception_ptr& f : s.failures) {
    if (f) std::rethrow_exception(f);
  }
}

}  // namespace mivo
