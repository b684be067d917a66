// Named shared memory across processes: what one side writes the other reads,
// a user's own object is closed to other users, and the creator's end removes it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/object_name_linux.h"
#include "platform/shared_memory.h"
#include "support/child_process.h"

namespace {

using platform::SharedMemory;

std::string UniqueName() {
  static int counter = 0;
  return "Local\\qvshm_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

TEST(SharedMemoryTest, AnotherProcessSeesTheBytesAndTheCreatorsEndRemovesTheName) {
  setenv("QUORVANTA_OBJECT_NAMESPACE", "-test", 1);
  const std::string name = UniqueName();
  {
    auto block = SharedMemory::Create(name.c_str(), 3 * SharedMemory::Granularity() + 5);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->Data()[0], 0);  // zero-filled
    std::memcpy(block->Data(), "CRD", 3);
    auto result = qvtest::RunInChild([&] {
      auto view = SharedMemory::Open(name.c_str(), true);
      if (!view) return std::string("no view");
      std::string seen(reinterpret_cast<const char*>(view->Data()), 3);
      view->Data()[view->Size() - 1] = 'Z';  // the last byte of an odd size is mapped
      return seen + " " + std::to_string(view->Size());
    });
    EXPECT_EQ(result.output, "CRD " + std::to_string(3 * SharedMemory::Granularity() + 5));
    EXPECT_EQ(block->Data()[block->Size() - 1], 'Z');

    // A stranger cannot even read the user's object.
    if (geteuid() == 0) {
      char path[512];
      bool global;
      ASSERT_TRUE(platform::ObjectPath(name.c_str(), platform::ObjectKind::Memory, path, sizeof path, &global));
      auto stranger = qvtest::RunInChild([&] { return std::string(open(path, O_RDONLY) >= 0 ? "opened" : "refused"); },
                                         /*unprivileged=*/true);
      EXPECT_EQ(stranger.output, "refused");
    }
    // Creating again over a live name starts from a clean object.
    auto again = SharedMemory::Create(name.c_str(), 16);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->Data()[0], 0);
  }
  EXPECT_EQ(SharedMemory::Open(name.c_str(), false), nullptr);
}

// A run killed outright leaves its block behind; the next start removes it,
// but never a block whose creator still lives.
TEST(SharedMemoryTest, TheNextStartRemovesWhatAKilledRunLeft) {
  setenv("QUORVANTA_OBJECT_NAMESPACE", "-test", 1);
  const std::string dead = UniqueName(), alive = UniqueName();
  // Each run is a process of its own: the clean-up runs once per process.
  auto holder = [](const std::string& name) {
    int ready[2];
    if (pipe(ready) != 0) return pid_t{-1};
    const pid_t pid = fork();
    if (pid == 0) {
      auto block = SharedMemory::Create(name.c_str(), 10 << 20);
      char c = block ? 'y' : 'n';
      if (write(ready[1], &c, 1) != 1) _exit(1);
      for (;;) pause();
    }
    char c = 0;
    const bool made = read(ready[0], &c, 1) == 1 && c == 'y';
    close(ready[0]);
    close(ready[1]);
    return made ? pid : pid_t{-1};
  };
  const pid_t living = holder(alive);
  ASSERT_GT(living, 0);
  const pid_t killed = holder(dead);
  ASSERT_GT(killed, 0);
  kill(killed, SIGKILL);
  waitpid(killed, nullptr, 0);
  ASSERT_NE(SharedMemory::Open(dead.c_str(), false), nullptr) << "the killed run left nothing to clean";

  auto next = qvtest::RunInChild(
      [] { return std::string(SharedMemory::Create("Local\\qvshm_next", 4096) ? "made" : "failed"); });
  EXPECT_EQ(next.output, "made");
  EXPECT_EQ(SharedMemory::Open(dead.c_str(), false), nullptr);
  EXPECT_NE(SharedMemory::Open(alive.c_str(), false), nullptr);
  kill(living, SIGKILL);
  waitpid(living, nullptr, 0);
  platform::RemoveSharedMemory(alive.c_str());
}

}  // namespace
