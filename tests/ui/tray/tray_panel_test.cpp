// The program's tray icon in a real desktop panel: Debian's xfce4-panel with
// its status tray, which draws an item's menu itself from DBusMenu and never
// calls ContextMenu. A right click must show the four items, and Exit must
// end the program.
#include <fcntl.h>
#include <gdk/gdk.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "desktop_session.h"
#include "support/child_process.h"

namespace {

const std::string kProgram = QV_BINARY_DIR "/frontend/quorvanta";
const std::string kReg = QV_BINARY_DIR "/tools/reg/quorvanta-reg";

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new SessionEnvironment(false));

// One panel along the top of the screen holding only the status tray.
constexpr char kPanelConfig[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<channel name=\"xfce4-panel\" version=\"1.0\">\n"
    "  <property name=\"configver\" type=\"int\" value=\"2\"/>\n"
    "  <property name=\"panels\" type=\"array\">\n"
    "    <value type=\"int\" value=\"1\"/>\n"
    "    <property name=\"panel-1\" type=\"empty\">\n"
    "      <property name=\"position\" type=\"string\" value=\"p=6;x=0;y=0\"/>\n"
    "      <property name=\"length\" type=\"uint\" value=\"100\"/>\n"
    "      <property name=\"position-locked\" type=\"bool\" value=\"true\"/>\n"
    "      <property name=\"size\" type=\"uint\" value=\"32\"/>\n"
    "      <property name=\"plugin-ids\" type=\"array\"><value type=\"int\" value=\"1\"/></property>\n"
    "    </property>\n"
    "  </property>\n"
    "  <property name=\"plugins\" type=\"empty\">\n"
    "    <property name=\"plugin-1\" type=\"string\" value=\"systray\"/>\n"
    "  </property>\n"
    "</channel>\n";

// A child that dies with this test process, whatever happens to it.
pid_t SpawnTied(const std::vector<std::string>& args) {
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  const int null = open("/dev/null", O_RDWR);
  dup2(null, 1);
  dup2(null, 2);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

void Stop(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status;
  bool ended = false;
  if (!SpinUntil([&] { return ended = ended || waitpid(pid, &status, WNOHANG) == pid; }, 3000)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  pid = -1;
}

// The screen as it is now.
GdkPixbuf* Screen() {
  GdkWindow* root = gdk_get_default_root_window();
  return gdk_pixbuf_get_from_window(root, 0, 0, gdk_window_get_width(root), gdk_window_get_height(root));
}

const guchar* Pixel(GdkPixbuf* shot, int x, int y) {
  return gdk_pixbuf_get_pixels(shot) + y * gdk_pixbuf_get_rowstride(shot) + x * gdk_pixbuf_get_n_channels(shot);
}

// The centre of the red icon within the panel's strip; false while it is not drawn.
bool FindIcon(int* x, int* y) {
  GdkPixbuf* shot = Screen();
  if (shot == nullptr) return false;
  int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;
  for (int py = 0; py < 40; ++py) {
    for (int px = 0; px < gdk_pixbuf_get_width(shot); ++px) {
      const guchar* p = Pixel(shot, px, py);
      if (p[0] > 170 && p[1] < 90 && p[2] < 90) {
        left = std::min(left, px), right = std::max(right, px);
        top = std::min(top, py), bottom = std::max(bottom, py);
      }
    }
  }
  g_object_unref(shot);
  if (right < 0 || right - left < 8) return false;
  *x = (left + right) / 2;
  *y = (top + bottom) / 2;
  return true;
}

struct Band {
  int top, bottom;
};

// The rows of text in a rectangle of the screen: runs of lines that hold
// pixels clearly darker than the menu's background (greyed text counts).
std::vector<Band> TextRows(int x, int y, int width, int height) {
  std::vector<Band> rows;
  GdkPixbuf* shot = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), x, y, width, height);
  if (shot == nullptr) return rows;
  const guchar* corner = Pixel(shot, width / 2, 2);
  const int background = corner[0] + corner[1] + corner[2];
  bool inRow = false;
  for (int py = 2; py < height - 2; ++py) {
    bool text = false;
    for (int px = 4; px < width - 4 && !text; ++px) {
      const guchar* p = Pixel(shot, px, py);
      text = background - (p[0] + p[1] + p[2]) > 120;
    }
    if (text && !inRow) rows.push_back({py, py});
    if (text) rows.back().bottom = py;
    inRow = text;
  }
  g_object_unref(shot);
  return rows;
}

struct Popup {
  int x = 0, y = 0, width = 0, height = 0;
};

// The menu the panel opened: a new mapped window below the panel.
bool FindPopup(Popup* popup) {
  std::string out;
  std::vector<std::string> ids;
  {
    FILE* list = popen("xdotool search --onlyvisible --name '' 2>/dev/null", "r");
    if (list == nullptr) return false;
    char line[64];
    while (std::fgets(line, sizeof line, list)) ids.push_back(line);
    pclose(list);
  }
  for (std::string& id : ids) {
    id.erase(id.find_last_not_of("\n") + 1);
    std::string command = "xdotool getwindowgeometry " + id + " 2>/dev/null";
    FILE* g = popen(command.c_str(), "r");
    if (g == nullptr) continue;
    Popup found;
    char line[128];
    while (std::fgets(line, sizeof line, g)) {
      std::sscanf(line, " Position: %d,%d", &found.x, &found.y);
      std::sscanf(line, " Geometry: %dx%d", &found.width, &found.height);
    }
    pclose(g);
    if (found.y >= 30 && found.width > 60 && found.height > 60 && found.height < 400) {
      *popup = found;
      return true;
    }
  }
  return false;
}

class TrayPanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string channels = dir_ / "config/xfce4/xfconf/xfce-perchannel-xml";
    ASSERT_EQ(std::system(("mkdir -p '" + channels + "' '" + dir_ / "run" + "'").c_str()), 0);
    chmod((dir_ / "run").c_str(), 0700);
    std::ofstream(channels + "/xfce4-panel.xml") << kPanelConfig;
    // The panel and its configuration daemon (started by the bus) read these.
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (dir_ / "cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    setenv("GTK_A11Y", "none", 1);
    // The configuration daemon is started by the bus, with the bus's environment.
    const std::string update = "{'XDG_CONFIG_HOME': '" + dir_ / "config" + "', 'XDG_CACHE_HOME': '" + dir_ / "cache" +
                               "', 'XDG_DATA_HOME': '" + dir_ / "data" + "'}";
    ASSERT_EQ(
        RunProgram({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                    "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.UpdateActivationEnvironment", update}),
        0);
    ASSERT_TRUE(qvtest::SeedFrontEndRegistry(kReg, dir_.path(), Env()));
    panel_ = SpawnTied({"xfce4-panel", "--disable-wm-check"});
    ASSERT_GT(panel_, 0);
  }
  void TearDown() override {
    if (program_.pid > 0) {
      kill(program_.pid, SIGKILL);
      qvtest::FinishProgram(program_);
    }
    Stop(panel_);
  }
  std::vector<std::string> Env() const {
    return {"QUORVANTA_REGISTRY=" + dir_ / "registry.db",
            "XDG_RUNTIME_DIR=" + dir_ / "run",
            "QUORVANTA_OBJECT_NAMESPACE=-uipanel" + std::to_string(getpid()),
            "QUORVANTA_PIPE=" + dir_ / "no-service",
            "QUORVANTA_SITE=https://vpn.test.example:8443/base/",
            "DISPLAY=" + std::string(std::getenv("DISPLAY")),
            "DBUS_SESSION_BUS_ADDRESS=" + session->busAddress(),
            "GDK_BACKEND=x11",
            "NO_AT_BRIDGE=1",
            "HOME=" + dir_.path(),
            "PATH=/usr/bin:/bin"};
  }

  qvtest::TempDir dir_;
  pid_t panel_ = -1;
  qvtest::Program program_;
};

TEST_F(TrayPanelTest, ARightClickShowsTheFourItemsAndExitEndsTheProgram) {
  program_ = qvtest::StartProgram({kProgram, "-autorun"}, Env());
  int x = 0, y = 0;
  ASSERT_TRUE(SpinUntil([&] { return FindIcon(&x, &y); }, 20000)) << "the icon never showed in the panel";

  ASSERT_EQ(RunProgram({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "3"}), 0);
  Popup menu;
  ASSERT_TRUE(SpinUntil([&] { return FindPopup(&menu); }, 10000)) << "no menu opened";
  std::vector<Band> rows;
  // The host fills the menu once it has read the layout.
  SpinUntil([&] { return (rows = TextRows(menu.x, menu.y, menu.width, menu.height)).size() == 4; }, 5000);
  RunProgram({"import", "-window", "root", QV_BINARY_DIR "/screenshots/tray_panel_menu.png"});
  ASSERT_EQ(rows.size(), 4u) << "the menu does not show four items";

  // The last row is Exit.
  const int exitX = menu.x + menu.width / 3;
  const int exitY = menu.y + (rows[3].top + rows[3].bottom) / 2;
  ASSERT_EQ(RunProgram({"xdotool", "mousemove", std::to_string(exitX), std::to_string(exitY)}), 0);
  SpinFor(200);
  const gint64 clicked = g_get_monotonic_time();
  ASSERT_EQ(RunProgram({"xdotool", "click", "1"}), 0);
  int status = 0;
  bool ended = false;
  SpinUntil([&] { return ended = ended || waitpid(program_.pid, &status, WNOHANG) == program_.pid; }, 10000);
  ASSERT_TRUE(ended) << "Exit did not end the program";
  const gint64 tookMs = (g_get_monotonic_time() - clicked) / 1000;
  std::printf("Exit from the panel's menu ended the program in %ld ms\n", static_cast<long>(tookMs));
  EXPECT_LT(tookMs, 2000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(program_.outFd);
  close(program_.errFd);
  program_.pid = -1;
}

}  // namespace
