// Named shared memory across processes: what one side writes the other reads,
// a user's own object is closed to other users, and the creator's end removes it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

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
      const std::string path = "/dev/shm/quorvanta-test-0-" + name.substr(6);
      auto stranger = qvtest::RunInChild(
          [&] { return std::string(open(path.c_str(), O_RDONLY) >= 0 ? "opened" : "refused"); },
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

}  // namespace
