// Two cores for the mesh build's face loop: a half that only reads the mesh, and a half that
// must run in face order.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <memory>
#include <thread>

#include "host/parallel.h"

namespace vorn {

// Runs produce(worker, slot, begin, end) and consume(slot, begin, end) over [0, count) chunk by
// chunk; consume sees the chunks in order, each after its produce. Threaded, a second thread
// produces chunks ahead, and this one produces too whenever the next chunk is not ready, so
// neither side waits for long. At most `slots` chunks are produced and not yet consumed; a
// chunk's slot number names one of the caller's `slots` buffers, and `worker` (0 or 1) the
// thread's own working state. An exception from either side ends both and is rethrown here.
template <class Produce, class Consume>
void RunOrdered(size_t count, size_t chunk, size_t slots, bool threaded, Produce&& produce, Consume&& consume) {
  const size_t chunks = (count + chunk - 1) / chunk;
  auto begin = [&](size_t c) { return c * chunk; };
  auto end = [&](size_t c) { return std::min(count, c * chunk + chunk); };
  if (!threaded || chunks < 2 || slots < 2) {
    for (size_t c = 0; c < chunks; ++c) {
      produce(0, size_t{0}, begin(c), end(c));
      consume(size_t{0}, begin(c), end(c));
    }
    return;
  }
  constexpr size_t kFailed = ~size_t{0};
  std::atomic<size_t> next{0};      // the next chunk to produce
  std::atomic<size_t> consumed{0};  // chunks consumed so far
  std::atomic<bool> stop{false};
  std::unique_ptr<std::atomic<size_t>[]> ready(new std::atomic<size_t>[slots]);  // chunk + 1 produced there
  for (size_t s = 0; s < slots; ++s) ready[s].store(0, std::memory_order_relaxed);
  std::exception_ptr failure;

  // Claims the next chunk when its slot is free: chunk c may be produced once c - slots is consumed.
  auto claim = [&](size_t limit, size_t& c) {
    c = next.load(std::memory_order_acquire);
    while (c < chunks && c < limit)
      if (next.compare_exchange_weak(c, c + 1, std::memory_order_acq_rel)) return true;
    return false;
  };
  auto publish = [&](size_t c) {
    ready[c % slots].store(c + 1, std::memory_order_release);
    ready[c % slots].notify_all();
  };

  std::thread helper([&] {
    try {
      for (;;) {
        const size_t seen = consumed.load(std::memory_order_acquire);
        if (stop.load(std::memory_order_acquire)) return;
        size_t c;
        if (claim(seen + slots, c)) {
          produce(1, c % slots, begin(c), end(c));
          publish(c);
        } else if (next.load(std::memory_order_acquire) >= chunks) {
          return;
        } else {
          consumed.wait(seen, std::memory_order_acquire);
        }
      }
    } catch (...) {
      failure = std::current_exception();
      stop.store(true, std::memory_order_release);
      for (size_t s = 0; s < slots; ++s) {
        ready[s].store(kFailed, std::memory_order_release);
        ready[s].notify_all();
      }
    }
  });
  auto halt = [&] {
    stop.store(true, std::memory_order_release);
    consumed.fetch_add(1, std::memory_order_acq_rel);  // wakes the helper
    consumed.notify_all();
    helper.join();
  };

  try {
    for (size_t c = 0; c < chunks; ++c) {
      std::atomic<size_t>& slot = ready[c % slots];
      for (size_t state = slot.load(std::memory_order_acquire); state != c + 1;
           state = slot.load(std::memory_order_acquire)) {
        if (state == kFailed) break;
        size_t mine;
        if (claim(c + slots, mine)) {
          produce(0, mine % slots, begin(mine), end(mine));
          publish(mine);
        } else {
          slot.wait(state, std::memory_order_acquire);
        }
      }
      if (stop.load(std::memory_order_acquire)) break;
      consume(c % slots, begin(c), end(c));
      consumed.store(c + 1, std::memory_order_release);
      consumed.notify_all();
    }
  } catch (...) {
    halt();
    throw;
  }
  halt();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace vorn
