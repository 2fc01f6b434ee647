// The search for the pair of keys around a time, starting where the last search ended.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <vector>

#include "host/host_scene.h"

namespace vorn {

// Where the last search ended. Samples mostly move forward a key at a time, so the next search
// starts there; any stored value is only a hint and is checked before use. Atomic so that
// readers on several threads only ever lose the hint, never the answer.
class KeyCursor {
 public:
  KeyCursor() = default;
  KeyCursor(const KeyCursor& o) : at_(o.Get()) {}
  KeyCursor& operator=(const KeyCursor& o) {
    Set(o.Get());
    return *this;
  }
  size_t Get() const { return at_.load(std::memory_order_relaxed); }
  void Set(size_t i) const { at_.store(i, std::memory_order_relaxed); }

 private:
  mutable std::atomic<size_t> at_{0};
};

// The index lo with times[lo] <= t < times[lo + 1], for sorted times and
// times.front() < t < times.back(): the same key std::upper_bound gives, minus one.
inline size_t KeyBefore(const std::vector<TimeValue>& times, TimeValue t, const KeyCursor& cursor) {
  const size_t last = times.size() - 1;
  size_t lo = cursor.Get();
  if (lo < last && times[lo] <= t) {
    if (t < times[lo + 1]) return lo;
    if (lo + 2 <= last && t < times[lo + 2]) {
      cursor.Set(lo + 1);
      return lo + 1;
    }
    // Further on: the answer lies after lo.
    lo = size_t(std::upper_bound(times.begin() + std::ptrdiff_t(lo) + 1, times.end(), t) - times.begin()) - 1;
  } else {
    lo = size_t(std::upper_bound(times.begin(), times.end(), t) - times.begin()) - 1;
  }
  cursor.Set(lo);
  return lo;
}

}  // namespace vorn
