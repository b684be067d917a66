// The front end in a Wayland session (weston's headless backend): with XWayland
// next to it the window keeps X and its corner; under Wayland alone it still
// runs with a window and says once why it cannot place itself.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace {

const std::string kProgram = QV_BINARY_DIR "/frontend/quorvanta";
const std::string kReg = QV_BINARY_DIR "/tools/reg/quorvanta-reg";
const char kWaylandOnlyLine[] = "no X display (XWayland) next to Wayland";

// Reads a program's standard error until `text` shows up or `ms` pass.
bool ReadUntil(int fd, const std::string& text, std::string* seen, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (seen->find(text) == std::string::npos) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) != 1) return false;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    seen->append(buffer, static_cast<size_t>(n));
  }
  return true;
}

class WaylandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir("/tmp/.X11-unix", 01777);  // XWayland's socket folder, as a desktop session has it
    ASSERT_EQ(mkdir(runtime_.c_str(), 0700), 0);
    ASSERT_TRUE(qvtest::SeedFrontEndRegistry(kReg, dir_.path(), Env()));
    weston_ = qvtest::StartProgram(
        {"/usr/bin/weston", "--backend=headless-backend.so", "--xwayland", "--socket=qv-wayland", "--idle-time=0"},
        {"XDG_RUNTIME_DIR=" + runtime_, "HOME=" + dir_.path(), "PATH=/usr/bin:/bin"});
    std::string log;
    ASSERT_TRUE(ReadUntil(weston_.errFd, "xserver listening on display :", &log, 15000)) << log;
    ReadUntil(weston_.errFd, "\n", &log, 1000);
    size_t at = log.find("display :") + 8;
    xDisplay_ = log.substr(at, log.find_first_not_of(":0123456789", at) - at);
  }
  void TearDown() override {
    for (qvtest::Program* p : {&program_, &weston_}) {
      if (p->pid > 0) {
        kill(p->pid, SIGTERM);
        qvtest::FinishProgram(*p);
      }
    }
  }
  std::vector<std::string> Env(bool withX = false) const {
    std::vector<std::string> env = {"QUORVANTA_REGISTRY=" + dir_ / "registry.db",
                                    "XDG_RUNTIME_DIR=" + runtime_,
                                    "QUORVANTA_OBJECT_NAMESPACE=-wayland" + std::to_string(getpid()),
                                    "QUORVANTA_PIPE=" + dir_ / "no-service",
                                    "WAYLAND_DISPLAY=qv-wayland",
                                    "XDG_DATA_HOME=" + dir_ / "data",
                                    "HOME=" + dir_.path(),
                                    "PATH=/usr/bin:/bin"};
    if (withX) env.push_back("DISPLAY=" + xDisplay_);
    return env;
  }
  // Starts the front end and reads its standard error until the page has loaded.
  std::string StartFrontEnd(bool withX) {
    program_ = qvtest::StartProgram({kProgram}, Env(withX));
    std::string err;
    ReadUntil(program_.errFd, "\x01never", &err, 5000);  // the window is up well within this
    return err;
  }

  qvtest::TempDir dir_;
  std::string runtime_ = dir_ / "run";
  std::string xDisplay_;
  qvtest::Program weston_, program_;
};

TEST_F(WaylandTest, WithXWaylandTheWindowTakesXAndItsCorner) {
  std::string err = StartFrontEnd(true);
  EXPECT_EQ(err.find(kWaylandOnlyLine), std::string::npos) << err;
  EXPECT_EQ(err.find("cannot open the display"), std::string::npos) << err;
  std::string found;
  for (int i = 0; i < 100 && found.empty(); ++i) {
    auto r = qvtest::RunProgram(
        {"/usr/bin/xdotool", "search", "--onlyvisible", "--name", "^html test$", "getwindowgeometry"},
        {"DISPLAY=" + xDisplay_, "PATH=/usr/bin:/bin"});
    if (r.out.find("Geometry: 400x300") != std::string::npos)
      found = r.out;
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_FALSE(found.empty()) << "no 400x300 window on the XWayland display";
}

TEST_F(WaylandTest, UnderWaylandAloneItRunsWithAWindowAndSaysOnceWhy) {
  std::string err = StartFrontEnd(false);
  size_t first = err.find(kWaylandOnlyLine);
  ASSERT_NE(first, std::string::npos) << err;
  EXPECT_EQ(err.find(kWaylandOnlyLine, first + 1), std::string::npos) << err;
  EXPECT_EQ(err.find("cannot open the display"), std::string::npos) << err;
  EXPECT_EQ(kill(program_.pid, 0), 0) << "the front end ended";
}

}  // namespace
