// Two cores for the mesh build: a face loop split into a half that only reads the mesh and a
// half that must run in face order, and a loop whose elements are independent.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>

namespace vorn {

inline bool SecondCoreAvailable() { return std::thread::hardware_concurrency() >= 2; }

// Runs produce(slot, begin, end) and then consume(slot, begin, end) over [0, count) chunk by
// chunk, in order. Threaded, the producer runs one to `slots` chunks ahead on a second thread,
// so consume sees every chunk exactly as the sequential run would. Slot numbers name the
// caller's `slots` chunk buffers. An exception from either side ends both and is rethrown here.
template <class Produce, class Consume>
void RunPipelined(size_t count, size_t chunk, size_t slots, bool threaded, Produce&& produce, Consume&& consume) {
  const size_t chunks = (count + chunk - 1) / chunk;
  auto bounds = [&](size_t c, size_t& begin, size_t& end) {
    begin = c * chunk;
    end = std::min(count, begin + chunk);
  };
  if (!threaded || chunks < 2 || slots < 2) {
    for (size_t c = 0; c < chunks; ++c) {
      size_t b, e;
      bounds(c, b, e);
      produce(size_t{0}, b, e);
      consume(size_t{0}, b, e);
    }
    return;
  }
  std::atomic<size_t> produced{0}, consumed{0};
  std::atomic<bool> stop{false};
  std::exception_ptr failure;
  std::thread worker([&] {
    try {
      for (size_t c = 0; c < chunks; ++c) {
        for (size_t seen = consumed.load(std::memory_order_acquire); c - seen >= slots;
             seen = consumed.load(std::memory_order_acquire)) {
          if (stop.load(std::memory_order_acquire)) return;
          consumed.wait(seen, std::memory_order_acquire);
        }
        if (stop.load(std::memory_order_acquire)) return;
        size_t b, e;
        bounds(c, b, e);
        produce(c % slots, b, e);
        produced.store(c + 1, std::memory_order_release);
        produced.notify_one();
      }
    } catch (...) {
      failure = std::current_exception();
      stop.store(true, std::memory_order_release);
      produced.store(chunks + 1, std::memory_order_release);  // wakes the consumer
      produced.notify_one();
    }
  });
  auto halt = [&] {
    stop.store(true, std::memory_order_release);
    consumed.fetch_add(slots, std::memory_order_acq_rel);  // wakes the producer
    consumed.notify_one();
    worker.join();
  };
  try {
    for (size_t c = 0; c < chunks; ++c) {
      for (size_t seen = produced.load(std::memory_order_acquire); seen <= c;
           seen = produced.load(std::memory_order_acquire))
        produced.wait(seen, std::memory_order_acquire);
      if (stop.load(std::memory_order_acquire)) break;
      size_t b, e;
      bounds(c, b, e);
      consume(c % slots, b, e);
      consumed.store(c + 1, std::memory_order_release);
      consumed.notify_one();
    }
  } catch (...) {
    halt();
    throw;
  }
  halt();
  if (failure) std::rethrow_exception(failure);
}

// Calls fn(begin, end) over two halves of [0, count), side by side when threaded. fn must
// touch only the elements of its own range.
template <class Fn>
void ForEachHalf(size_t count, bool threaded, Fn&& fn) {
  if (!threaded || count < 2) {
    fn(size_t{0}, count);
    return;
  }
  const size_t half = count / 2;
  std::exception_ptr failure;
  std::thread other([&] {
    try {
      fn(half, count);
    } catch (...) {
      failure = std::current_exception();
    }
  });
  try {
    fn(size_t{0}, half);
  } catch (...) {
    other.join();
    throw;
  }
  other.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace vorn
