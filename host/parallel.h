// Work split over two cores: the loops over every vertex or face of a big mesh, and jobs that
// a second core takes while the export thread goes on.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
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

// Jobs a second thread runs while the caller goes on asking the host for more (which only the
// caller may do). Each job touches only what it was given and returns a count; Wait() runs what
// is still queued on the caller's core too and returns the counts' sum. Not threaded, Add runs
// the job at once. A job's weight (its elements, say) bounds what waits in the queue: past
// kMaxQueuedWeight the caller runs the oldest job itself before queueing another.
class BackgroundJobs {
 public:
  static constexpr size_t kMaxQueuedWeight = size_t{1} << 20;

  explicit BackgroundJobs(bool threaded) : threaded_(threaded) {}
  BackgroundJobs(const BackgroundJobs&) = delete;
  BackgroundJobs& operator=(const BackgroundJobs&) = delete;
  ~BackgroundJobs();

  void Add(std::function<size_t()> job, size_t weight);
  // Rethrows the first failure of a job; the others have run or been dropped by then.
  size_t Wait();

 private:
  struct Job {
    std::function<size_t()> run;
    size_t weight;
  };
  bool RunOne(std::unique_lock<std::mutex>& lock);
  void Serve();

  const bool threaded_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> queue_;
  size_t queuedWeight_ = 0;
  size_t running_ = 0;
  size_t sum_ = 0;
  bool stop_ = false;
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace vorn
