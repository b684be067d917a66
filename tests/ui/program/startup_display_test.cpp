// The program itself started on a display: the window, "-autorun", and the
// start-up boxes as real dialogs.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "runtime/signal.h"
#include "platform/named_event.h"
#include "support/child_process.h"
#include "ui/window/x_session.h"

namespace {

const std::string kProgram = QV_BINARY_DIR "/frontend/quorvanta";
const std::string kReg = QV_BINARY_DIR "/tools/reg/quorvanta-reg";

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new XEnvironment(true, true));

// Window ids that xdotool finds for a search (visible ones only when asked).
std::vector<std::string> Find(const char* name, bool visibleOnly) {
  std::vector<const char*> argv = {"xdotool", "search"};
  if (visibleOnly) argv.push_back("--onlyvisible");
  argv.push_back("--name");
  argv.push_back(name);
  std::string out = XSession::Run(argv);
  std::vector<std::string> ids;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    if (end > start) ids.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  return ids;
}

bool WaitFound(const char* name, bool visibleOnly, int ms = 15000) {
  for (int waited = 0; waited < ms; waited += 100) {
    if (!Find(name, visibleOnly).empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

class StartupDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(runtime_.c_str(), 0700), 0);
    ASSERT_TRUE(qvtest::SeedFrontEndRegistry(kReg, dir_.path(), Env()));
  }
  void TearDown() override {
    for (auto& program : running_) {
      kill(program.pid, SIGKILL);
      qvtest::FinishProgram(program);
    }
    // A killed program leaves its exit event behind.
    setenv("QUORVANTA_OBJECT_NAMESPACE", ("-uistartup" + std::to_string(getpid())).c_str(), 1);
    platform::RemoveNamedEvent(kExitEventName);
    unsetenv("QUORVANTA_OBJECT_NAMESPACE");
  }
  std::vector<std::string> Env() const {
    return {"QUORVANTA_REGISTRY=" + dir_ / "registry.db",
            "XDG_RUNTIME_DIR=" + runtime_,
            "QUORVANTA_OBJECT_NAMESPACE=-uistartup" + std::to_string(getpid()),
            "QUORVANTA_PIPE=" + dir_ / "no-service",
            "DISPLAY=" + g_x->display(),
            "GDK_BACKEND=x11",
            "HOME=" + dir_.path(),
            "XDG_DATA_HOME=" + dir_ / "data",
            "PATH=/usr/bin:/bin"};
  }
  qvtest::Program Start(std::vector<std::string> args) {
    args.insert(args.begin(), kProgram);
    qvtest::Program program = qvtest::StartProgram(args, Env());
    running_.push_back(program);
    return program;
  }

  qvtest::TempDir dir_;
  std::string runtime_ = dir_ / "run";
  std::vector<qvtest::Program> running_;
};

TEST_F(StartupDisplayTest, ShowsTheWindowInTheCornerOfTheWorkArea) {
  Start({});
  ASSERT_TRUE(WaitFound("^html test$", true));
  std::string id = Find("^html test$", true)[0];
  std::string geometry = XSession::Run({"xdotool", "getwindowgeometry", id.c_str()});
  EXPECT_NE(geometry.find("Position: 880,460"), std::string::npos) << geometry;
  EXPECT_NE(geometry.find("Geometry: 400x300"), std::string::npos) << geometry;
}

TEST_F(StartupDisplayTest, AutorunKeepsTheWindowHidden) {
  Start({"-autorun"});
  ASSERT_TRUE(WaitFound("^html test$", false));  // the page has loaded and named its window
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_TRUE(Find("^html test$", true).empty());
}

TEST_F(StartupDisplayTest, SecondInstanceShowsItsBoxAsADialogAndEndsWithMinusOne) {
  Start({"-autorun"});
  ASSERT_TRUE(WaitFound("^html test$", false));
  qvtest::Program second = qvtest::StartProgram({kProgram}, Env());
  ASSERT_TRUE(WaitFound("^Error$", true)) << "no dialog";
  std::string id = Find("^Error$", true)[0];
  XSession::Run({"xdotool", "windowactivate", "--sync", id.c_str()});
  XSession::Run({"xdotool", "key", "Return"});  // to the focused dialog, as a user would press it
  bool ended = false;
  for (int i = 0; i < 100 && !ended; ++i) {
    siginfo_t info{};
    ended = waitid(P_PID, static_cast<id_t>(second.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == second.pid;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!ended) kill(second.pid, SIGKILL);
  EXPECT_TRUE(ended) << "the dialog did not close on Enter";
  qvtest::ProgramResult result = qvtest::FinishProgram(second);
  EXPECT_EQ(result.status, 255);  // -1
  EXPECT_EQ(result.err.find("Another instance"), std::string::npos) << "the box went to standard error";
}

TEST_F(StartupDisplayTest, TermFromAnotherProcessEndsTheWindowLikeExit) {
  qvtest::Program program = Start({});
  ASSERT_TRUE(WaitFound("^html test$", true));
  setenv("QUORVANTA_OBJECT_NAMESPACE", ("-uistartup" + std::to_string(getpid())).c_str(), 1);
  auto exitEvent = platform::NamedEvent::Open(kExitEventName);
  unsetenv("QUORVANTA_OBJECT_NAMESPACE");
  ASSERT_NE(exitEvent, nullptr);
  exitEvent->Reset();
  kill(program.pid, SIGTERM);
  bool ended = false;
  for (int i = 0; i < 100 && !ended; ++i) {
    siginfo_t info{};
    ended = waitid(P_PID, static_cast<id_t>(program.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == program.pid;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(ended) << "still running after SIGTERM";
  running_.clear();
  qvtest::ProgramResult result = qvtest::FinishProgram(program);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(exitEvent->Wait(0));
  EXPECT_TRUE(Find("^html test$", false).empty());
}

}  // namespace
