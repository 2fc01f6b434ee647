#include "host/parallel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vorn {
namespace {

TEST(BackgroundJobs, WaitRunsEveryJobAndSumsTheirCounts) {
  for (const bool threaded : {false, true}) {
    BackgroundJobs jobs(threaded);
    std::vector<int> done(50, 0);
    for (int i = 0; i < 50; ++i)
      jobs.Add(
          [&done, i] {
            done[size_t(i)] = 1;
            return size_t(i);
          },
          1);
    EXPECT_EQ(jobs.Wait(), size_t(49 * 50 / 2)) << threaded;
    EXPECT_EQ(std::count(done.begin(), done.end(), 1), 50);
    EXPECT_EQ(jobs.Wait(), 0u) << "the sum starts again after a wait";
  }
}

TEST(BackgroundJobs, AFailureIsRethrownByWaitAndTheRestStillRun) {
  BackgroundJobs jobs(true);
  std::atomic<int> after{0};
  jobs.Add([]() -> size_t { throw std::runtime_error("no room"); }, 1);
  for (int i = 0; i < 10; ++i) jobs.Add([&] { return size_t(++after); }, 1);
  EXPECT_THROW(jobs.Wait(), std::runtime_error);
  EXPECT_EQ(after.load(), 10);
  jobs.Add([] { return size_t{3}; }, 1);
  EXPECT_EQ(jobs.Wait(), 3u) << "one failure does not stop the jobs after it";
}

TEST(BackgroundJobs, PastTheQueueBoundTheCallerRunsQueuedJobsItself) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> started;
  BackgroundJobs jobs(true);
  // The second thread is held in the first job, so the queue can only shrink on this thread.
  jobs.Add(
      [&] {
        started.set_value();
        released.wait();
        return size_t{0};
      },
      1);
  started.get_future().wait();
  std::thread::id ranOn;
  jobs.Add(
      [&] {
        ranOn = std::this_thread::get_id();
        return size_t{1};
      },
      BackgroundJobs::kMaxQueuedWeight + 1);
  jobs.Add([] { return size_t{1}; }, 1);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  release.set_value();
  EXPECT_EQ(jobs.Wait(), 2u);
}

TEST(BackgroundJobs, DestroyedEarlyDropsWhatIsQueuedAndJoins) {
  // As when the export unwinds: the running job ends, the queued ones never start.
  std::atomic<int> ran{0};
  std::promise<void> started;
  std::thread releaser;
  {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    BackgroundJobs jobs(true);  // destroyed first: its job waits on the future above
    jobs.Add(
        [&] {
          started.set_value();
          released.wait();
          return size_t(++ran);
        },
        1);
    for (int i = 0; i < 10; ++i) jobs.Add([&] { return size_t(++ran); }, 1);
    started.get_future().wait();
    releaser = std::thread([release = std::move(release)]() mutable {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      release.set_value();
    });
  }
  releaser.join();
  EXPECT_EQ(ran.load(), 1);
}

}  // namespace
}  // namespace vorn
