// Named events, the single-instance lock and the message queue's wake
// descriptor, across threads and processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_queue.h"
#include "platform/named_event.h"
#include "platform/object_name_linux.h"
#include "platform/named_mutex.h"
#include "support/child_process.h"
#include "support/running_program.h"

namespace {

using platform::EventReset;
using platform::NamedEvent;

// Each test gets names of its own, so parallel runs and earlier runs never meet.
std::string UniqueName(const char* prefix) {
  static int counter = 0;
  return std::string(prefix) + "qvtest_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

// The backing file of a name in this test's namespace.
std::string BackingPath(const std::string& name) {
  char path[512];
  bool global;
  if (!platform::ObjectPath(name.c_str(), platform::ObjectKind::Event, path, sizeof path, &global)) return "";
  return path;
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
  // A pipe under the event's backing name: opening it must neither block nor map it.
  const std::string shm = BackingPath(name);
  ASSERT_EQ(mkfifo(shm.c_str(), 0666), 0);
  EXPECT_EQ(NamedEvent::Create(name.c_str(), EventReset::Manual, false), nullptr);
  EXPECT_EQ(NamedEvent::Open(name.c_str()), nullptr);
  // A private object with a foreign tag.
  const std::string local = Name("Local\\");
  int fd = open(BackingPath(local).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 4096), 0);
  close(fd);
  EXPECT_EQ(NamedEvent::Create(local.c_str(), EventReset::Auto, false), nullptr);
  EXPECT_EQ(NamedEvent::Create("Global\\bad/name", EventReset::Manual, false), nullptr);
  EXPECT_EQ(NamedEvent::Create("Global\\", EventReset::Manual, false), nullptr);
}

// Runs fn as the unprivileged account against the object's file, opened for writing.
std::string AsStranger(const std::string& path, const std::function<std::string(int fd)>& fn) {
  return qvtest::RunInChild(
             [&] {
               int fd = open(path.c_str(), O_RDWR);
               if (fd < 0) return std::string("no access");
               std::string out = fn(fd);
               close(fd);
               return out;
             },
             /*unprivileged=*/true)
      .output;
}

TEST_F(NamedEventTest, StrangerBytesReadAsSetOrClearAndNeverStretchAWait) {
  const std::string name = Name("Global\\");
  auto event = NamedEvent::Create(name.c_str(), EventReset::Manual, false);
  ASSERT_NE(event, nullptr);
  struct Case {
    uint32_t tag, state;
    bool set;
  };
  // Crafted words: mutex-like owner values, all ones, a pointer-looking value.
  const Case cases[] = {{0, 0, false},          {0xffffffff, 0xffffffff, true}, {0x80000000u, 0x40000001u, true},
                        {0x12345678, 0, false}, {0, 0x7fffffff, true},          {0xdeadbeef, 2, true}};
  for (const Case& c : cases) {
    const std::string written = AsStranger(BackingPath(name), [&](int fd) {
      const uint32_t words[2] = {c.tag, c.state};
      return std::string(pwrite(fd, words, sizeof words, 0) == 8 ? "written" : "refused");
    });
    ASSERT_EQ(written, "written");
    const long start = qvtest::NowMs();
    EXPECT_EQ(event->Wait(150), c.set) << std::hex << c.tag << " " << c.state;
    EXPECT_LT(qvtest::NowMs() - start, 1000);
    event->Reset();
    EXPECT_FALSE(event->Wait(0));
    event->Set();
    EXPECT_TRUE(event->Wait(0));
    event->Reset();
  }
  // Random bytes, many times: each read is set or clear and bounded.
  const std::string scribbled = AsStranger(BackingPath(name), [](int fd) {
    unsigned seed = 7;
    for (int i = 0; i < 2000; ++i) {
      uint32_t words[2] = {static_cast<uint32_t>(rand_r(&seed)), static_cast<uint32_t>(rand_r(&seed)) & 3u};
      if (pwrite(fd, words, sizeof words, 0) != 8) return std::string("refused");
    }
    return std::string("done");
  });
  EXPECT_EQ(scribbled, "done");
  const long start = qvtest::NowMs();
  event->Wait(100);
  EXPECT_LT(qvtest::NowMs() - start, 1000);
}

TEST_F(NamedEventTest, StrangerWhoTruncatesTheObjectLeavesAWorkingClearEvent) {
  const std::string name = Name("Global\\");
  auto event = NamedEvent::Create(name.c_str(), EventReset::Manual, true);
  ASSERT_NE(event, nullptr);
  auto other = NamedEvent::Open(name.c_str());
  ASSERT_NE(other, nullptr);
  for (off_t size : {off_t(0), off_t(3)}) {
    ASSERT_EQ(AsStranger(BackingPath(name),
                         [&](int fd) { return std::string(ftruncate(fd, size) == 0 ? "cut" : "refused"); }),
              "cut");
    // Every operation survives; the object comes back clear.
    const long start = qvtest::NowMs();
    EXPECT_FALSE(event->Wait(100)) << size;
    EXPECT_LT(qvtest::NowMs() - start, 1000);
    other->Set();
    EXPECT_TRUE(event->Wait(0));
    ASSERT_EQ(AsStranger(BackingPath(name), [](int fd) { return std::string(ftruncate(fd, 0) == 0 ? "cut" : "-"); }),
              "cut");
    other->Reset();
    event->Set();
    EXPECT_TRUE(other->Wait(1000));
    // A new opener takes the cut object too.
    ASSERT_EQ(AsStranger(BackingPath(name), [](int fd) { return std::string(ftruncate(fd, 0) == 0 ? "cut" : "-"); }),
              "cut");
    auto late = NamedEvent::Open(name.c_str());
    ASSERT_NE(late, nullptr);
    late->Set();
    EXPECT_TRUE(event->Wait(0));
  }
  // Stretched: the state stays where it was.
  event->Set();
  ASSERT_EQ(
      AsStranger(BackingPath(name), [](int fd) { return std::string(ftruncate(fd, 1 << 20) == 0 ? "cut" : "-"); }),
      "cut");
  EXPECT_TRUE(event->Wait(0));
  ASSERT_NE(NamedEvent::Open(name.c_str()), nullptr);
  // A waiter blocked when the object is cut is woken by the next set.
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    AsStranger(BackingPath(name), [](int fd) { return std::string(ftruncate(fd, 0) == 0 ? "cut" : "-"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    other->Set();
  });
  event->Reset();
  EXPECT_TRUE(event->Wait(10000));
  setter.join();
}

TEST_F(NamedEventTest, PrivateNamesRefuseObjectsOtherUsersCouldWrite) {
  // Another account cannot even reach the user's private folder to plant one.
  const std::string planted = Name("Local\\");
  const std::string plantedPath = BackingPath(planted);
  if (geteuid() == 0) {
    EXPECT_EQ(qvtest::RunInChild(
                  [&] {
                    int fd = open(plantedPath.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
                    return std::string(fd < 0 ? "no" : "planted");
                  },
                  true)
                  .output,
              "no");
  }
  // One that got there anyway (another account's file, world-writable) is not adopted.
  int fd = open(plantedPath.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
  ASSERT_GE(fd, 0);
  const uint32_t words[2] = {0x51564541, 0};
  ASSERT_EQ(fchmod(fd, 0666), 0);
  ASSERT_EQ(pwrite(fd, words, 8, 0), 8);
  close(fd);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(plantedPath.c_str(), qvtest::kNobody, qvtest::kNobody), 0);
  }
  EXPECT_EQ(NamedEvent::Create(planted.c_str(), EventReset::Auto, false), nullptr);
  EXPECT_EQ(NamedEvent::Open(planted.c_str()), nullptr);

  // The owner's own object loosened to world-writable is refused as well.
  const std::string loosened = Name("Local\\");
  ASSERT_NE(NamedEvent::Create(loosened.c_str(), EventReset::Auto, false), nullptr);
  ASSERT_EQ(chmod(BackingPath(loosened).c_str(), 0666), 0);
  EXPECT_EQ(NamedEvent::Open(loosened.c_str()), nullptr);

  // Private events keep their kind for every opener; "Global\" ones are manual only.
  const std::string manual = Name("Local\\");
  ASSERT_NE(NamedEvent::Create(manual.c_str(), EventReset::Manual, true), nullptr);
  auto opened = NamedEvent::Open(manual.c_str());
  ASSERT_NE(opened, nullptr);
  EXPECT_TRUE(opened->Wait(0));
  EXPECT_TRUE(opened->Wait(0));
  EXPECT_EQ(NamedEvent::Create(Name("Global\\").c_str(), EventReset::Auto, false), nullptr);
}

TEST_F(NamedEventTest, ReplaceBindsANewClearEventAndOldMappingsNotice) {
  const std::string name = Name("Global\\");
  // Left set by an earlier run, made by another account.
  ASSERT_EQ(qvtest::RunInChild(
                [&] {
                  auto e = NamedEvent::Create(name.c_str(), EventReset::Manual, true);
                  return std::string(e ? "made" : "no");
                },
                true)
                .output,
            "made");
  auto stale = NamedEvent::Open(name.c_str());
  ASSERT_NE(stale, nullptr);
  EXPECT_TRUE(stale->IsCurrent());
  auto owned = NamedEvent::Replace(name.c_str(), EventReset::Manual);
  ASSERT_NE(owned, nullptr);
  EXPECT_FALSE(owned->Wait(0));
  EXPECT_FALSE(stale->IsCurrent());
  EXPECT_TRUE(owned->IsCurrent());
  struct stat st;
  ASSERT_EQ(stat(BackingPath(name).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  stale->Set();  // reaches nobody
  EXPECT_FALSE(owned->Wait(0));
  NamedEvent::Open(name.c_str())->Set();
  EXPECT_TRUE(owned->Wait(0));
  platform::RemoveNamedEvent(name.c_str());
  EXPECT_FALSE(owned->IsCurrent());

  // A directory or a link planted under the name gives way too, and nothing is followed.
  const std::string dir = BackingPath(name);
  ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
  std::ofstream(dir + "/inside") << "x";
  EXPECT_EQ(NamedEvent::Create(name.c_str(), EventReset::Manual, false), nullptr);
  auto overDir = NamedEvent::Replace(name.c_str(), EventReset::Manual);
  ASSERT_NE(overDir, nullptr);
  EXPECT_TRUE(overDir->IsCurrent());
  platform::RemoveNamedEvent(name.c_str());
  const std::string target = BackingPath(Name("Global\\"));
  ASSERT_EQ(symlink(target.c_str(), dir.c_str()), 0);
  EXPECT_EQ(NamedEvent::Create(name.c_str(), EventReset::Manual, false), nullptr);
  struct stat none;
  EXPECT_NE(lstat(target.c_str(), &none), 0);  // the link's target was not made
  ASSERT_NE(NamedEvent::Replace(name.c_str(), EventReset::Manual), nullptr);
  ASSERT_EQ(lstat(dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  // Clean up what was moved aside.
  EXPECT_EQ(std::system("rm -rf /dev/shm/.quorvanta-new-*.aside*"), 0);
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

TEST(MessageQueueTest, WakeDescriptorIsReadableExactlyWhileMessagesWait) {
  platform::MessageQueue queue;
  auto readable = [&] {
    pollfd p{queue.WakeHandle(), POLLIN, 0};
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
