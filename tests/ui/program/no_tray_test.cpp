// The program on a desktop without any tray host (GNOME without extensions):
// nothing could bring a hidden window back, so it is minimised instead, a
// second start shows it, and a panel that comes later takes the icon.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_event.h"
#include "runtime/well_known.h"
#include "support/child_process.h"
#include "ui/window/x_session.h"

namespace {

const std::string kProgram = QV_BINARY_DIR "/frontend/quorvanta";
const std::string kReg = QV_BINARY_DIR "/tools/reg/quorvanta-reg";

// A window manager, and no panel until the test starts one.
::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new XEnvironment(true, false));

std::string WindowId() {
  std::string out = XSession::Run({"xdotool", "search", "--name", "^html test$"});
  return out.substr(0, out.find('\n'));
}

// "Normal", "Iconic", or "" for a window the window manager does not manage (hidden).
std::string WmState(const std::string& id) {
  std::string out = XSession::Run({"xprop", "-id", id.c_str(), "WM_STATE"});
  for (const char* state : {"Normal", "Iconic"})
    if (out.find(std::string("window state: ") + state) != std::string::npos) return state;
  return "";
}

// The tray icon's window has left the root for the panel that embeds it.
bool IconDocked() {
  const std::string tree = XSession::Run({"xwininfo", "-root", "-tree"});
  const std::string icon = "\"Quorvanta\": (\"quorvanta\" \"quorvanta\")";
  for (size_t at = tree.find(icon); at != std::string::npos; at = tree.find(icon, at + 1)) {
    const size_t line = tree.rfind('\n', at) + 1;
    const size_t indent = tree.find_first_not_of(' ', line) - line;
    if (indent > 5) return true;  // the root's own children are indented by five
  }
  return false;
}

template <typename Predicate>
bool WaitUntil(Predicate done, int ms = 15000) {
  for (int waited = 0; waited < ms; waited += 100) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return done();
}

class NoTrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(runtime_.c_str(), 0700), 0);
    ASSERT_TRUE(qvtest::SeedFrontEndRegistry(kReg, dir_.path(), Env()));
  }
  void TearDown() override {
    if (first_.pid > 0) {
      kill(first_.pid, SIGKILL);
      qvtest::FinishProgram(first_);
    }
    setenv("QUORVANTA_OBJECT_NAMESPACE", Namespace().c_str(), 1);
    platform::RemoveNamedEvent(kExitEventName);
    unsetenv("QUORVANTA_OBJECT_NAMESPACE");
  }
  std::string Namespace() const { return "-uinotray" + std::to_string(getpid()); }
  std::vector<std::string> Env() const {
    // No session bus: no StatusNotifierItem watcher either.
    return {"QUORVANTA_REGISTRY=" + dir_ / "registry.db",
            "XDG_RUNTIME_DIR=" + runtime_,
            "QUORVANTA_OBJECT_NAMESPACE=" + Namespace(),
            "QUORVANTA_PIPE=" + dir_ / "no-service",
            "DISPLAY=" + g_x->display(),
            "GDK_BACKEND=x11",
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir_ / "no-bus",
            "HOME=" + dir_.path(),
            "XDG_DATA_HOME=" + dir_ / "data",
            "PATH=/usr/bin:/bin"};
  }

  // A second start: its box is answered as a user would, and it ends with -1.
  void StartSecond() {
    qvtest::Program second = qvtest::StartProgram({kProgram}, Env());
    std::string box;
    ASSERT_TRUE(WaitUntil([&] {
      std::string out = XSession::Run({"xdotool", "search", "--onlyvisible", "--name", "^Error$"});
      box = out.substr(0, out.find('\n'));
      return !box.empty();
    })) << "no box";
    XSession::Run({"xdotool", "windowactivate", "--sync", box.c_str()});
    XSession::Run({"xdotool", "key", "Return"});
    EXPECT_EQ(qvtest::FinishProgram(second).status, 255);
  }

  // The window manager's close (Alt+F4), as a user would press it.
  void Close(const std::string& id) {
    XSession::Run({"xdotool", "windowactivate", "--sync", id.c_str()});
    XSession::Run({"xdotool", "key", "--clearmodifiers", "alt+F4"});
  }

  qvtest::TempDir dir_;
  std::string runtime_ = dir_ / "run";
  qvtest::Program first_;
};

TEST_F(NoTrayTest, HidingMinimisesUntilAPanelTakesTheIconAndASecondStartShowsTheWindow) {
  first_ = qvtest::StartProgram({kProgram, "-autorun"}, Env());
  std::string id;
  ASSERT_TRUE(WaitUntil([&] { return !(id = WindowId()).empty(); })) << "the page never named its window";
  // The log-in start leaves the window in the task list, not out of reach.
  EXPECT_TRUE(WaitUntil([&] { return WmState(id) == "Iconic"; })) << WmState(id);

  StartSecond();
  EXPECT_TRUE(WaitUntil([&] { return WmState(id) == "Normal"; })) << "the second start did not bring it forward";

  Close(id);
  EXPECT_TRUE(WaitUntil([&] { return WmState(id) == "Iconic"; })) << "a close without a tray should minimise";

  // A panel appears: the icon docks, and a hide hides again.
  g_x->StartPanel();
  StartSecond();
  ASSERT_TRUE(WaitUntil([&] { return WmState(id) == "Normal"; }));
  ASSERT_TRUE(WaitUntil(IconDocked)) << "the panel never took the icon";
  Close(id);
  EXPECT_TRUE(WaitUntil([&] { return WmState(id).empty(); })) << WmState(id);
}

}  // namespace
