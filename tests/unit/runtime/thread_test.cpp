// Worker threads.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "runtime/thread.h"

namespace {

class CountingWorker : public Thread {
 public:
  ~CountingWorker() = default;
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
  // Workers outlive their owners' scopes in the program; this one lives to process end too.
  static CountingWorker worker;
  EXPECT_TRUE(worker.Start());
  EXPECT_TRUE(worker.Start());
  EXPECT_EQ(worker.WaitForRuns(2), 2);
  EXPECT_TRUE(worker.RanOnOtherThread());
}

}  // namespace
