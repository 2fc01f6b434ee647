// Work split over two cores, for the loops over every vertex or face of a big mesh.
#pragma once

#include <cstddef>
#include <exception>
#include <thread>

namespace vorn {

inline bool SecondCoreAvailable() { return std::thread::hardware_concurrency() >= 2; }

// Below this many elements a second thread costs more than it saves.
inline constexpr size_t kTwoCoreMinimum = 65536;

// True when a loop over `count` elements is worth two cores.
inline bool WorthTwoCores(size_t count) { return count >= kTwoCoreMinimum && SecondCoreAvailable(); }

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
