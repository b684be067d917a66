// The exit event, across processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "runtime/signal.h"
#include "platform/named_event.h"
#include "support/child_process.h"

namespace {

class SignalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ns_ = "-sigtest" + std::to_string(getpid());
    setenv("QUORVANTA_OBJECT_NAMESPACE", ns_.c_str(), 1);
  }
  void TearDown() override { platform::RemoveNamedEvent(kExitEventName); }
  // What another process sees of the exit event: "missing", "set" or "clear".
  static std::string SeenByAnotherProcess() {
    return qvtest::RunInChild([] {
             auto event = platform::NamedEvent::Open(kExitEventName);
             if (!event) return std::string("missing");
             return std::string(event->Wait(0) ? "set" : "clear");
           })
        .output;
  }
  std::string ns_;
};

TEST_F(SignalTest, CreatedClearAndSetWhenDestroyed) {
  EXPECT_EQ(SeenByAnotherProcess(), "missing");
  {
    Signal signal;
    ASSERT_TRUE(signal.IsValid());
    EXPECT_STREQ(signal.GetName(), "Global\\Quorvanta_ovpn_exit_1");
    EXPECT_EQ(SeenByAnotherProcess(), "clear");
    signal.Set();
    EXPECT_EQ(SeenByAnotherProcess(), "set");
    signal.Reset();
    EXPECT_EQ(SeenByAnotherProcess(), "clear");
  }
  EXPECT_EQ(SeenByAnotherProcess(), "set");
}

TEST_F(SignalTest, EventIsOpenToEveryAccount) {
  Signal signal;
  ASSERT_TRUE(signal.IsValid());
  // The tunnel service runs as another account than the front end.
  auto result = qvtest::RunInChild(
      [] {
        auto event = platform::NamedEvent::Open(kExitEventName);
        if (!event) return std::string("missing");
        event->Set();
        return std::string("set");
      },
      true);
  EXPECT_EQ(result.output, "set");
  auto event = platform::NamedEvent::Open(kExitEventName);
  ASSERT_NE(event, nullptr);
  EXPECT_TRUE(event->Wait(0));
}

TEST_F(SignalTest, NameHeldByAnotherKindLeavesAnInertSignal) {
  const std::string shm = "/dev/shm/quorvanta" + ns_ + "-global-Quorvanta_ovpn_exit_1";
  ASSERT_EQ(mkfifo(shm.c_str(), 0600), 0);
  Signal signal;
  EXPECT_FALSE(signal.IsValid());
  signal.Set();  // does nothing, and does not crash
  signal.Reset();
  EXPECT_STREQ(signal.GetName(), "Global\\Quorvanta_ovpn_exit_1");
  unlink(shm.c_str());
}

TEST_F(SignalTest, FollowsTheEventTheServiceBindsAnew) {
  // The service's event exists: the front end opens it and makes none of its own.
  auto first = platform::NamedEvent::Replace(kExitEventName, platform::EventReset::Manual);
  ASSERT_NE(first, nullptr);
  Signal signal;
  ASSERT_TRUE(signal.IsValid());
  signal.Set();
  EXPECT_TRUE(first->Wait(0));

  // A restarted service replaces the object; the next Reset and Set reach the new one.
  auto second = platform::NamedEvent::Replace(kExitEventName, platform::EventReset::Manual);
  ASSERT_NE(second, nullptr);
  first->Reset();
  signal.Set();
  EXPECT_TRUE(second->Wait(0));
  EXPECT_FALSE(first->Wait(0));
  signal.Reset();
  EXPECT_FALSE(second->Wait(0));

  // The service ended and removed it: the front end makes one, so its Set is not lost.
  platform::RemoveNamedEvent(kExitEventName);
  signal.Set();
  EXPECT_EQ(SeenByAnotherProcess(), "set");
}

}  // namespace
