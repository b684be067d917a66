// A hidden window gives up its page and web processes; Display makes the page
// again with every page call made meanwhile, before the window is seen.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "page_helpers.h"
#include "page_window.h"
#include "x_session.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new XEnvironment(false, false));

constexpr unsigned kDropMs = 300;

// This test's child processes whose command name starts with prefix.
std::vector<pid_t> Children(const char* prefix) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  while (dirent* entry = readdir(proc)) {
    pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::string name = line.substr(open + 1, close - open - 1);
    char state;
    pid_t parent = 0;
    std::sscanf(line.c_str() + close + 2, "%c %d", &state, &parent);
    if (parent == getpid() && name.rfind(prefix, 0) == 0 && state != 'Z') found.push_back(pid);
  }
  closedir(proc);
  return found;
}

bool Visible(PageWindow& window) { return gtk_widget_get_visible(Gtk(window).Window()); }

class HiddenPageTest : public ::testing::Test {
 protected:
  void Open(PageWindow& window, bool visible) {
    window.SetPageDropDelay(kDropMs);
    window.Open(visible);
    ASSERT_TRUE(WaitPageLoaded(window));
  }
  void HideAndDrop(PageWindow& window) {
    window.Hide();
    ASSERT_TRUE(PumpUntil([&] { return !Gtk(window).HasPage(); }, 5000)) << "the hidden window kept its page";
  }
  // Display, then the page's look once the window is seen.
  std::string DisplayAndLook(PageWindow& window) {
    window.Display();
    if (!PumpUntil([&] { return Visible(window); }, 10000)) return "not shown";
    return Look(window);
  }
  // Runs the calls on a live page until each has run.
  void CallLive(PageWindow& window, const std::vector<std::vector<const char*>>& calls) {
    int pending = 0;
    for (const auto& call : calls) {
      std::vector<const char*> args(call.begin() + 1, call.end());
      ++pending;
      window.CallPageFunction(call[0], args.data(), static_cast<int>(args.size()), [&](int32_t) { --pending; });
    }
    ASSERT_TRUE(PumpUntil([&] { return pending == 0; }));
  }
  void CallHidden(PageWindow& window, const std::vector<std::vector<const char*>>& calls) {
    for (const auto& call : calls) window.Call(call[0], std::vector<const char*>(call.begin() + 1, call.end()));
  }
};

TEST_F(HiddenPageTest, AHiddenWindowEndsItsWebProcessesAndDisplayBringsBackTheStateInItsPlace) {
  PageWindow window;
  Open(window, true);
  Js(window, "external.Show(200, 100)");  // a size and place of its own, which a page made again must keep
  Pump(200);
  int x = 0, y = 0, width = 0, height = 0;
  gtk_window_get_position(GTK_WINDOW(Gtk(window).Window()), &x, &y);
  gtk_window_get_size(GTK_WINDOW(Gtk(window).Window()), &width, &height);
  ASSERT_EQ(width, 200);
  EXPECT_FALSE(Children("WebKitWebProces").empty());

  window.Hide();
  Pump(kDropMs / 3);
  EXPECT_TRUE(Gtk(window).HasPage()) << "a quick hide and show keeps the page";
  ASSERT_TRUE(PumpUntil([&] { return !Gtk(window).HasPage(); }, 5000));
  EXPECT_TRUE(
      PumpUntil([&] { return Children("WebKitWebProces").empty() && Children("WebKitNetworkPr").empty(); }, 5000))
      << "the web processes outlived the page";

  CallHidden(window, {{"connecting", "Connecting"},
                      {"updateTraffic", "1 kB", "2 kB"},
                      {"connected", "Connected"},
                      {"updateTraffic", "3 kB", "4 kB"}});
  EXPECT_FALSE(Gtk(window).HasPage()) << "calls to a hidden window made its page again";
  EXPECT_EQ(DisplayAndLook(window), "rgb(23, 114, 47)|Connected|0101");
  EXPECT_EQ(Js(window, "$('trafficIn').textContent + '/' + $('trafficOut').textContent"), "3 kB/4 kB");
  int x2 = 0, y2 = 0, width2 = 0, height2 = 0;
  gtk_window_get_position(GTK_WINDOW(Gtk(window).Window()), &x2, &y2);
  gtk_window_get_size(GTK_WINDOW(Gtk(window).Window()), &width2, &height2);
  EXPECT_EQ(
      std::to_string(x2) + "," + std::to_string(y2) + " " + std::to_string(width2) + "x" + std::to_string(height2),
      std::to_string(x) + "," + std::to_string(y) + " 200x100");
  EXPECT_EQ(PumpUntil([&] { return !Gtk(window).HasPage(); }, 3 * kDropMs), false) << "a shown window lost its page";
}

TEST_F(HiddenPageTest, TheReplayedStateLooksAsIfEveryCallHadRunInTurn) {
  // The same calls on a page that is there and on one given up and made again.
  const std::vector<std::vector<std::vector<const char*>>> sequences = {
      {{"disconnected", "Disconnected"}},
      {{"connecting", "Connecting"},
       {"connected", "Up"},
       {"updateTraffic", "5 kB", "6 kB"},
       {"disconnecting", "Disconnecting"}},
      {{"connecting", "Connecting"}, {"updateTraffic", "1 kB", "1 kB"}, {"connected", "Connected"}},
      {{"disconnecting", "Disconnecting"},
       {"disconnected", "Disconnected"},
       {"connecting", "Connecting"},
       {"connected", "Connected"},
       {"updateTraffic", "7 kB", "8 kB"},
       {"connected", "Connected again"}},
      {{"updateTraffic", "1 kB", "2 kB"}, {"disconnected", "Gone"}, {"updateTraffic", "9 kB", "9 kB"}},
  };
  PageWindow live, hidden;
  Open(live, true);
  Open(hidden, false);
  for (size_t i = 0; i < sequences.size(); ++i) {
    SCOPED_TRACE("sequence " + std::to_string(i));
    ASSERT_TRUE(PumpUntil([&] { return !Gtk(hidden).HasPage(); }, 5000));
    CallLive(live, sequences[i]);
    CallHidden(hidden, sequences[i]);
    std::string expected = Look(live);
    EXPECT_EQ(DisplayAndLook(hidden), expected);
    EXPECT_EQ(Js(hidden, "$('trafficIn').textContent + '/' + $('trafficOut').textContent"),
              Js(live, "$('trafficIn').textContent + '/' + $('trafficOut').textContent"));
    hidden.Hide();
  }
}

TEST_F(HiddenPageTest, CallsWhileThePageLoadsAgainRunAfterTheMissedOnes) {
  PageWindow window;
  Open(window, false);
  HideAndDrop(window);
  CallHidden(window, {{"connecting", "Connecting"}});
  window.Display();
  EXPECT_TRUE(Gtk(window).HasPage());
  CallHidden(window, {{"connected", "Connected"}, {"updateTraffic", "1 kB", "2 kB"}});
  EXPECT_FALSE(Visible(window)) << "shown before the page was back";
  ASSERT_TRUE(PumpUntil([&] { return Visible(window); }, 10000));
  EXPECT_EQ(Look(window), "rgb(23, 114, 47)|Connected|0101");
  CallLive(window, {{"disconnected", "Disconnected"}});
  EXPECT_EQ(Look(window), "rgb(153, 45, 31)|Disconnected|0010");
}

TEST_F(HiddenPageTest, HidingBeforeThePageIsBackKeepsTheWindowHiddenAndGivesThePageUpAgain) {
  PageWindow window;
  Open(window, false);
  HideAndDrop(window);
  window.Display();
  window.Hide();
  EXPECT_FALSE(PumpUntil([&] { return Visible(window); }, 1000)) << "a hidden window came up";
  EXPECT_TRUE(PumpUntil([&] { return !Gtk(window).HasPage(); }, 5000));
  CallHidden(window, {{"disconnected", "Disconnected"}});
  EXPECT_EQ(DisplayAndLook(window), "rgb(153, 45, 31)|Disconnected|0010");
}

TEST_F(HiddenPageTest, AWebProcessThatDiesIsReplacedWithTheState) {
  PageWindow window;
  Open(window, true);
  CallLive(window, {{"connecting", "Connecting"}, {"connected", "Connected"}});
  std::vector<pid_t> web = Children("WebKitWebProces");
  ASSERT_EQ(web.size(), 1u);
  kill(web[0], SIGKILL);
  ASSERT_TRUE(PumpUntil([&] {
    std::vector<pid_t> now = Children("WebKitWebProces");
    return now.size() == 1 && now[0] != web[0];
  }));
  ASSERT_TRUE(WaitPageLoaded(window));
  EXPECT_TRUE(PumpUntil([&] { return Look(window) == "rgb(23, 114, 47)|Connected|0001"; })) << Look(window);
  EXPECT_TRUE(Visible(window));
}

}  // namespace
