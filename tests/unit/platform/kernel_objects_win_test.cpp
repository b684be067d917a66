// The Win32 registry, events and the single-instance mutex behave as their
// Linux twins do for the callers that use them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/named_event.h"
#include "platform/named_mutex.h"
#include "platform/registry.h"
// Its macros would rename the registry calls below.
#include <windows.h>
#undef RegOpenKey
#undef RegCreateKey
#undef RegQueryValue
#undef RegSetValue
#undef RegDeleteValue

namespace {

class RegistryWin : public ::testing::Test {
 protected:
  void SetUp() override {
    std::snprintf(path_, sizeof path_, "SOFTWARE\\QuorvantaTest-%u",
                  static_cast<unsigned>(::testing::UnitTest::GetInstance()->random_seed()) ^ 0x5a5au);
    platform::RegDeleteKeyTree(path_);
  }
  void TearDown() override { platform::RegDeleteKeyTree(path_); }
  char path_[128];
};

TEST_F(RegistryWin, ValuesRoundTripWithTheCallersBoundsAndAccess) {
  EXPECT_EQ(platform::RegOpenKey(path_, platform::RegAccess::Read), nullptr);
  platform::RegKey* key = platform::RegCreateKey(path_);
  ASSERT_NE(key, nullptr);
  const char text[] = "C:\\Quorvanta";
  ASSERT_TRUE(platform::RegSetValue(key, "Dir", platform::kRegSz, text, sizeof text));
  // Stored without its terminator, the string still comes back with one.
  ASSERT_TRUE(platform::RegSetValue(key, "Bare", platform::kRegSz, "abc", 3));
  uint32_t one = 1;
  ASSERT_TRUE(platform::RegSetValue(key, "flag", platform::kRegDword, &one, 4));
  EXPECT_FALSE(platform::RegSetValue(key, "bad", platform::kRegDword, &one, 2));
  platform::RegCloseKey(key);

  key = platform::RegOpenKey(path_, platform::RegAccess::Read);
  ASSERT_NE(key, nullptr);
  char out[64];
  uint32_t type = 0, size = sizeof out;
  ASSERT_TRUE(platform::RegQueryValue(key, "dir", &type, out, &size));  // names ignore case
  EXPECT_EQ(type, platform::kRegSz);
  EXPECT_STREQ(out, text);
  size = sizeof out;
  ASSERT_TRUE(platform::RegQueryValue(key, "Bare", &type, out, &size));
  EXPECT_EQ(size, 4u);
  EXPECT_STREQ(out, "abc");
  size = 4;
  EXPECT_FALSE(platform::RegQueryValue(key, "Dir", &type, out, &size));
  EXPECT_EQ(size, sizeof text);
  // A key opened for reading takes no writes.
  EXPECT_FALSE(platform::RegSetValue(key, "Dir", platform::kRegSz, "x", 2));
  char name[32];
  ASSERT_TRUE(platform::RegEnumValueName(key, 0, name, sizeof name));
  EXPECT_STREQ(name, "Bare");
  ASSERT_TRUE(platform::RegEnumValueName(key, 2, name, sizeof name));
  EXPECT_STREQ(name, "flag");
  EXPECT_FALSE(platform::RegEnumValueName(key, 3, name, sizeof name));
  platform::RegCloseKey(key);

  EXPECT_TRUE(platform::RegDeleteKeyTree(path_));
  EXPECT_EQ(platform::RegOpenKey(path_, platform::RegAccess::Read), nullptr);
}

TEST(EventsWin, GlobalEventsAreManualResetAndSharedByName) {
  const char* name = "Global\\QuorvantaTest_event";
  EXPECT_EQ(platform::NamedEvent::Create(name, platform::EventReset::Auto, false), nullptr);
  auto owner = platform::NamedEvent::Replace(name, platform::EventReset::Manual);
  ASSERT_NE(owner, nullptr);
  auto other = platform::NamedEvent::Open(name);
  ASSERT_NE(other, nullptr);
  EXPECT_FALSE(other->Wait(0));
  std::thread setter([&] { owner->Set(); });
  EXPECT_TRUE(other->Wait(5000));
  setter.join();
  EXPECT_TRUE(other->Wait(0));  // manual reset: stays set for every waiter
  other->Reset();
  EXPECT_FALSE(owner->Wait(0));
  EXPECT_EQ(platform::NamedEvent::Open("Global\\QuorvantaTest_none"), nullptr);
}

TEST(EventsWin, LocalAutoResetEventsWakeOneWaitAndANameOfAnotherKindFails) {
  auto event = platform::NamedEvent::Create("Local\\QuorvantaTest_auto", platform::EventReset::Auto, true);
  ASSERT_NE(event, nullptr);
  EXPECT_TRUE(event->Wait(0));
  EXPECT_FALSE(event->Wait(0));
  ASSERT_EQ(platform::CreateNamedMutex("QuorvantaTest_mutex"), platform::NamedMutexResult::Created);
  EXPECT_EQ(platform::NamedEvent::Create("QuorvantaTest_mutex", platform::EventReset::Manual, false), nullptr);
}

TEST(MutexWin, ASecondInstanceSeesTheNameTaken) {
  ASSERT_EQ(platform::CreateNamedMutex("QuorvantaTest_gui"), platform::NamedMutexResult::Created);
  EXPECT_EQ(platform::CreateNamedMutex("QuorvantaTest_gui"), platform::NamedMutexResult::AlreadyExists);
}

// Runs this test program again as "child ROLE"; its exit code, or -1.
int RunChild(const char* role) {
  char self[MAX_PATH];
  if (GetModuleFileNameA(nullptr, self, sizeof self) == 0) return -1;
  char line[MAX_PATH + 64];
  std::snprintf(line, sizeof line, "\"%s\" child %s", self, role);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

TEST(KernelObjectsAcrossProcesses, AnotherProcessSeesTheMutexAndSetsTheEvent) {
  ASSERT_EQ(platform::CreateNamedMutex("QuorvantaTest_instance"), platform::NamedMutexResult::Created);
  EXPECT_EQ(RunChild("mutex"), 2);  // the second instance finds the name taken
  auto event = platform::NamedEvent::Replace("Global\\QuorvantaTest_cross", platform::EventReset::Manual);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(RunChild("event"), 0);
  EXPECT_TRUE(event->Wait(0));
}

}  // namespace

// The child's side: "mutex" exits 2 when the name is taken, "event" sets the parent's event.
int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "child") == 0) {
    if (std::strcmp(argv[2], "mutex") == 0)
      return platform::CreateNamedMutex("QuorvantaTest_instance") == platform::NamedMutexResult::AlreadyExists ? 2 : 1;
    auto event = platform::NamedEvent::Open("Global\\QuorvantaTest_cross");
    if (!event) return 1;
    event->Set();
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
