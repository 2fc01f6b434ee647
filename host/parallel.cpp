#include "host/parallel.h"

namespace vorn {

BackgroundJobs::~BackgroundJobs() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    queue_.clear();
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

// Runs the oldest queued job outside the lock; false when none is queued.
bool BackgroundJobs::RunOne(std::unique_lock<std::mutex>& lock) {
  if (queue_.empty()) return false;
  Job job = std::move(queue_.front());
  queue_.pop_front();
  queuedWeight_ -= job.weight;
  ++running_;
  lock.unlock();
  size_t count = 0;
  std::exception_ptr failure;
  try {
    count = job.run();
  } catch (...) {
    failure = std::current_exception();
  }
  lock.lock();
  --running_;
  sum_ += count;
  if (failure && !failure_) failure_ = failure;
  changed_.notify_all();
  return true;
}

void BackgroundJobs::Serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    RunOne(lock);
  }
}

void BackgroundJobs::Add(std::function<size_t()> job, size_t weight) {
  if (!threaded_) {
    const size_t count = job();
    sum_ += count;
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  while (queuedWeight_ > kMaxQueuedWeight && RunOne(lock)) {
  }
  queue_.push_back({std::move(job), weight});
  queuedWeight_ += weight;
  if (!thread_.joinable()) thread_ = std::thread([this] { Serve(); });
  lock.unlock();
  changed_.notify_all();
}

size_t BackgroundJobs::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (RunOne(lock)) {
  }
  changed_.wait(lock, [&] { return running_ == 0 && queue_.empty(); });
  const size_t sum = sum_;
  sum_ = 0;
  if (failure_) {
    std::exception_ptr failure = failure_;
    failure_ = nullptr;
    std::rethrow_exception(failure);
  }
  return sum;
}

}  // namespace vorn
