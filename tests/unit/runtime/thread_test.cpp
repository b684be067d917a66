// Worker threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "runtime/thread.h"

namespace {

class CountingWorker : public Thread {
 public:
  ~CountingWorker() { Join(); }
  int WaitForRuns(int runs) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return runs_ >= runs; });
    return runs_;
  }
  bool RanOnOtherThread() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sawOtherThread_;
  }

 protected:
  void Run() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++runs_;
    sawOtherThread_ = sawOtherThread_ || std::this_thread::get_id() != creator_;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int runs_ = 0;
  bool sawOtherThread_ = false;
  std::thread::id creator_ = std::this_thread::get_id();
};

TEST(ThreadTest, EveryStartRunsTheBodyOnANewThread) {
  CountingWorker worker;
  EXPECT_TRUE(worker.Start());
  EXPECT_TRUE(worker.Start());
  EXPECT_EQ(worker.WaitForRuns(2), 2);
  EXPECT_TRUE(worker.RanOnOtherThread());
}

// A worker that waits for Stop, or for a wake-up of its own, as the
// listener and the service probe do.
class StoppableWorker : public Thread {
 public:
  ~StoppableWorker() { Stop(); }
  std::atomic<int> stopsSeen{0};
  std::atomic<int> wakes{0};

 protected:
  void Run() override {
    if (WaitForStop(60000) && StopRequested()) ++stopsSeen;
  }
  void Wake() override { ++wakes; }
};

TEST(ThreadTest, StopEndsEveryRunAndJoinsItAndALaterStartRunsAgain) {
  StoppableWorker worker;
  worker.Join();  // nothing started: returns at once
  ASSERT_TRUE(worker.Start());
  ASSERT_TRUE(worker.Start());
  EXPECT_TRUE(worker.Running());
  worker.Stop();  // would take a minute if the runs did not see it
  EXPECT_FALSE(worker.Running());
  EXPECT_EQ(worker.stopsSeen.load(), 2);
  EXPECT_EQ(worker.wakes.load(), 1);

  ASSERT_TRUE(worker.Start());  // a new run does not see the old stop
  EXPECT_TRUE(worker.Running());
  worker.Stop();
  EXPECT_EQ(worker.stopsSeen.load(), 3);
}

}  // namespace
