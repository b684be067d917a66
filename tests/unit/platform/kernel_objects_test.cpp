// Named events, the single-instance lock and the message queue, across threads
// and processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_queue.h"
#include "platform/named_event.h"
#include "platform/named_mutex.h"
#include "support/child_process.h"

namespace {

using platform::EventReset;
using platform::NamedEvent;

// Each test gets names of its own, so parallel runs and earlier runs never meet.
std::string UniqueName(const char* prefix) {
  static int counter = 0;
  return std::string(prefix) + "qvtest_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

class NamedEventTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUORVANTA_OBJECT_NAMESPACE", "-test", 1); }
  void TearDown() override {
    for (const auto& name : names_) platform::RemoveNamedEvent(name.c_str());
  }
  std::string Name(const char* prefix) {
    names_.push_back(UniqueName(prefix));
    return names_.back();
  }
  std::vector<std::string> names_;
};

TEST_F(NamedEventTest, SetInOneProcessWakesAWaiterInAnother) {
  const std::string name = Name("Global\\");
  auto event = NamedEvent::Create(name.c_str(), EventReset::Manual, false);
  ASSERT_NE(event, nullptr);
  auto ready = NamedEvent::Create(Name("Global\\").c_str(), EventReset::Manual, false);
  const std::string readyName = names_.back();
  ASSERT_NE(ready, nullptr);

  std::thread setter([&] {
    // Set only once the child is about to wait, so the wake-up crosses processes.
    ready->Wait(-1);
    event->Set();
  });
  auto result = qvtest::RunInChild([&] {
    auto own = NamedEvent::Open(name.c_str());
    auto go = NamedEvent::Open(readyName.c_str());
    if (!own || !go) return std::string("open failed");
    if (own->Wait(0)) return std::string("set too early");
    go->Set();
    return std::string(own->Wait(10000) ? "woken" : "timeout");
  });
  setter.join();
  EXPECT_EQ(result.output, "woken");
}

TEST_F(NamedEventTest, ManualResetStaysSetUntilReset) {
  auto event = NamedEvent::Create(Name("Global\\").c_str(), EventReset::Manual, false);
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(event->Wait(0));
  EXPECT_FALSE(event->Wait(20));
  event->Set();
  EXPECT_TRUE(event->Wait(0));
  EXPECT_TRUE(event->Wait(-1));
  event->Reset();
  EXPECT_FALSE(event->Wait(0));
}

TEST_F(NamedEventTest, AutoResetReleasesOneWaitPerSet) {
  const std::string name = Name("Local\\");
  auto event = NamedEvent::Create(name.c_str(), EventReset::Auto, true);
  ASSERT_NE(event, nullptr);
  EXPECT_TRUE(event->Wait(0));
  EXPECT_FALSE(event->Wait(0));

  // Two waiters: each set releases exactly one of them.
  std::mutex mutex;
  std::condition_variable changed;
  int woken = 0;
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      if (!event->Wait(10000)) return;
      std::lock_guard<std::mutex> lock(mutex);
      ++woken;
      changed.notify_all();
    });
  }
  auto other = NamedEvent::Open(name.c_str());
  ASSERT_NE(other, nullptr);
  other->Set();
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return woken >= 1; }));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a wrong second wake
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(woken, 1);
  }
  other->Set();
  for (auto& w : waiters) w.join();
  EXPECT_EQ(woken, 2);
  EXPECT_FALSE(event->Wait(0));
}

TEST_F(NamedEventTest, SecondCreateOpensTheSameEvent) {
  const std::string name = Name("Global\\");
  auto first = NamedEvent::Create(name.c_str(), EventReset::Manual, false);
  auto second = NamedEvent::Create(name.c_str(), EventReset::Manual, true);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_FALSE(second->Wait(0));  // the existing state wins
  first->Set();
  EXPECT_TRUE(second->Wait(0));
  EXPECT_EQ(NamedEvent::Open(Name("Global\\").c_str()), nullptr);
}

TEST_F(NamedEventTest, ObjectOfAnotherKindBlocksTheName) {
  const std::string name = Name("Global\\");
  // Another kind of shared object under the event's backing name.
  const std::string shm = "/quorvanta-test-global-" + name.substr(7);
  int fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 4096), 0);
  close(fd);
  EXPECT_EQ(NamedEvent::Create(name.c_str(), EventReset::Manual, false), nullptr);
  EXPECT_EQ(NamedEvent::Open(name.c_str()), nullptr);
  EXPECT_EQ(NamedEvent::Create("Global\\bad/name", EventReset::Manual, false), nullptr);
  EXPECT_EQ(NamedEvent::Create("Global\\", EventReset::Manual, false), nullptr);
}

TEST(NamedMutexTest, SecondHolderSeesItAndAKilledHolderLeavesNoLock) {
  const std::string name = UniqueName("QvMutex");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    close(ready[0]);
    char c = platform::CreateNamedMutex(name.c_str()) == platform::NamedMutexResult::Created ? 'y' : 'n';
    qvtest::WriteAll(ready[1], std::string(1, c));
    for (;;) pause();
  }
  close(ready[1]);
  char answer = 0;
  ASSERT_EQ(read(ready[0], &answer, 1), 1);  // the holder has the lock
  EXPECT_EQ(answer, 'y');
  close(ready[0]);
  EXPECT_EQ(platform::CreateNamedMutex(name.c_str()), platform::NamedMutexResult::AlreadyExists);
  kill(holder, SIGKILL);
  int status;
  waitpid(holder, &status, 0);
  EXPECT_EQ(platform::CreateNamedMutex(name.c_str()), platform::NamedMutexResult::Created);
}

TEST(MessageQueueTest, KeepsPostingOrderPerThreadAndLosesNothing) {
  platform::MessageQueue queue;
  constexpr int kThreads = 4, kPerThread = 2000;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&queue, t] {
      for (int i = 0; i < kPerThread; ++i) queue.Post(2000 + t, static_cast<uintptr_t>(i), t);
    });
  }
  std::vector<int> next(kThreads, 0);
  int received = 0;
  bool inOrder = true;
  platform::Message message;
  while (received < kThreads * kPerThread && queue.WaitTake(&message, 10000)) {
    const int t = static_cast<int>(message.lParam);
    inOrder = inOrder && message.id == static_cast<uint32_t>(2000 + t) &&
              message.wParam == static_cast<uintptr_t>(next[t]);
    ++next[t];
    ++received;
  }
  for (auto& p : posters) p.join();
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(received, kThreads * kPerThread);
  EXPECT_FALSE(queue.TryTake(&message));
}

TEST(MessageQueueTest, WakeDescriptorIsReadableExactlyWhileMessagesWait) {
  platform::MessageQueue queue;
  auto readable = [&] {
    pollfd p{queue.WakeFd(), POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  };
  platform::Message message;
  EXPECT_FALSE(readable());
  EXPECT_FALSE(queue.WaitTake(&message, 10));
  queue.Post(1, 0, 0);
  queue.Post(2, 0, 0);
  EXPECT_TRUE(readable());
  ASSERT_TRUE(queue.TryTake(&message));
  EXPECT_EQ(message.id, 1u);
  EXPECT_TRUE(readable());
  ASSERT_TRUE(queue.TryTake(&message));
  EXPECT_EQ(message.id, 2u);
  EXPECT_FALSE(readable());
}

}  // namespace
