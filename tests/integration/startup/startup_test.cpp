// The program started as a real process: single instance, configuration
// failures and their exit codes.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "runtime/signal.h"
#include "platform/named_event.h"
#include "support/child_process.h"

namespace {

const std::string kProgram = QV_BINARY_DIR "/frontend/quorvanta";
const std::string kReg = QV_BINARY_DIR "/tools/reg/quorvanta-reg";

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = dir_ / "run";
    ASSERT_EQ(mkdir(runtime_.c_str(), 0777), 0);
    ASSERT_EQ(chmod(runtime_.c_str(), 0777), 0);  // the unprivileged run needs its lock there
    db_ = dir_ / "registry.db";
    // Crash reports stay in the test's folder, writable by the unprivileged run too.
    ASSERT_EQ(mkdir(data_.c_str(), 0777), 0);
    ASSERT_EQ(chmod(data_.c_str(), 0777), 0);
    setenv("QUORVANTA_OBJECT_NAMESPACE", Namespace().c_str(), 1);
  }
  void TearDown() override {
    for (pid_t pid : running_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    platform::RemoveNamedEvent(kExitEventName);  // made by the instances' main window
  }
  static std::string Namespace() { return "-startup" + std::to_string(getpid()); }
  std::vector<std::string> Env() const {
    std::vector<std::string> env = {"QUORVANTA_MESSAGES=stderr",
                                    "QUORVANTA_REGISTRY=" + db_,
                                    "XDG_RUNTIME_DIR=" + runtime_,
                                    "XDG_DATA_HOME=" + data_,
                                    "QUORVANTA_OBJECT_NAMESPACE=" + Namespace(),
                                    "PATH=/usr/bin:/bin"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    return env;
  }
  void Reg(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kReg};
    argv.insert(argv.end(), args.begin(), args.end());
    auto result = qvtest::RunProgram(argv, Env());
    ASSERT_EQ(result.status, 0) << result.err;
  }
  void Install() {
    Reg({"set", "HKLM\\SOFTWARE\\Quorvanta", "@", "REG_SZ", dir_.path()});
    Reg({"set", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", "REG_SZ",
         "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4"});
  }
  qvtest::ProgramResult Run(bool unprivileged = false) { return qvtest::RunProgram({kProgram}, Env(), unprivileged); }
  // Starts an instance and returns once it holds the single-instance lock.
  qvtest::Program StartFirst() {
    qvtest::Program program = qvtest::StartProgram({kProgram, "-autorun"}, Env());
    running_.push_back(program.pid);
    const std::string lock = runtime_ + "/QuorvantaGui.lock";
    // No event tells us when another process took an flock; look at it for a bounded time.
    for (int i = 0; i < 1000; ++i) {
      int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0;
        close(fd);
        if (held) return program;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "first instance never took the lock";
    return program;
  }
  static bool StillRunning(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }
  std::string RegGet(const char* key, const char* name) {
    auto result = qvtest::RunProgram({kReg, "get", key, name}, Env());
    return result.status == 0 ? result.out : "<missing>";
  }

  qvtest::TempDir dir_;
  std::string runtime_;
  std::string db_;
  std::string data_ = dir_ / "data";
  std::vector<pid_t> running_;
};

TEST_F(StartupTest, SecondInstanceIsRefusedAndTheFirstRunsOn) {
  Install();
  qvtest::Program first = StartFirst();
  auto second = Run();
  EXPECT_EQ(second.status, 255);  // -1 as a process status
  EXPECT_EQ(second.err, "Error: Another instance of this application is running\n");
  EXPECT_TRUE(StillRunning(first.pid));
  // The configuration was loaded by the first: the default directory was stored.
  EXPECT_EQ(RegGet("HKLM\\SOFTWARE\\Quorvanta", "config_dir"), dir_.path() + "/config\n");

  kill(first.pid, SIGKILL);
  auto ended = qvtest::FinishProgram(first);
  running_.clear();
  EXPECT_EQ(ended.status, -SIGKILL);
  EXPECT_EQ(ended.err, "");  // it showed no message of its own
  // A killed instance leaves no stale lock behind.
  qvtest::Program third = StartFirst();
  EXPECT_TRUE(StillRunning(third.pid));
}

// Asking for the usage beside a running instance prints it and starts nothing.
TEST_F(StartupTest, HelpPrintsTheUsageAndStartsNothing) {
  Install();
  qvtest::Program first = StartFirst();
  for (const char* flag : {"--help", "-h"}) {
    auto help = qvtest::RunProgram({kProgram, flag}, Env());
    EXPECT_EQ(help.status, 0) << flag;
    EXPECT_EQ(help.out.rfind("usage: quorvanta", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("QUORVANTA_REGISTRY"), std::string::npos);
    EXPECT_NE(help.out.find("data.vpn"), std::string::npos);
    EXPECT_EQ(help.err, "") << flag;
  }
  EXPECT_TRUE(StillRunning(first.pid));
}

TEST_F(StartupTest, RunsWithoutADisplay) {
  Install();
  qvtest::Program program = StartFirst();
  EXPECT_TRUE(StillRunning(program.pid));
}

TEST_F(StartupTest, ConfigurationFailuresEndWithCodeOne) {
  auto noRegistry = Run();
  EXPECT_EQ(noRegistry.status, 1);
  EXPECT_EQ(noRegistry.err, "Quorvanta: Error opening registry for reading.\n");
  EXPECT_NE(access(db_.c_str(), F_OK), 0);  // nothing was created

  Reg({"set", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", "REG_SZ", "id"});
  Reg({"set", "HKLM\\SOFTWARE\\Quorvanta", "ref", "REG_SZ", ""});
  auto noBase = Run();
  EXPECT_EQ(noBase.status, 1);
  EXPECT_EQ(noBase.err, "Quorvanta: Error opening registry for reading.\n");

  Reg({"set", "HKLM\\SOFTWARE\\Quorvanta", "@", "REG_SZ", dir_.path()});
  Reg({"delete", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid"});
  auto noMachineId = Run();
  EXPECT_EQ(noMachineId.status, 1);
  EXPECT_EQ(noMachineId.err, "Quorvanta: Error reading machine id.\n");

  Reg({"set", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", "REG_SZ", std::string(60, 'f')});
  auto longMachineId = Run();
  EXPECT_EQ(longMachineId.status, 1);
  EXPECT_EQ(longMachineId.err, "Quorvanta: Error reading machine id.\n");
}

TEST_F(StartupTest, UserWithoutWriteAccessCannotStoreTheDefault) {
  Install();
  // Root runs the program as nobody; an ordinary user, who owns the file, loses
  // its write permission instead.
  ASSERT_EQ(chmod(db_.c_str(), geteuid() == 0 ? 0644 : 0444), 0);
  auto result = Run(/*unprivileged=*/geteuid() == 0);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Quorvanta: Failed to open the registry for writing.\n");
}

TEST_F(StartupTest, DefaultThatCannotBeStoredEndsTheStart) {
  Install();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
  // The file stays writable; only the value write itself is refused.
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TRIGGER refuse BEFORE INSERT ON reg_values "
                         "BEGIN SELECT RAISE(ABORT, 'refused'); END;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  auto result = Run();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Quorvanta: Error reading and setting registry key config_dir.\n");
}

TEST_F(StartupTest, CorruptRegistryIsAnUnreadableOne) {
  FILE* file = std::fopen(db_.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fputs("SQLite format 3 but not really\n", file);
  std::fclose(file);
  auto result = Run();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Quorvanta: Error opening registry for reading.\n");
}

}  // namespace
