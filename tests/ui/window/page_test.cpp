// The page and its bridge in a real window under a private X display.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "page_helpers.h"
#include "page_window.h"
#include "ui/bridge.h"
#include "ui/html_control.h"
#include "x_session.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new XEnvironment(false, false));

constexpr const char* kRed = "rgb(235, 112, 96)";     // #EB7060
constexpr const char* kGreen = "rgb(23, 114, 47)";    // #17722F
constexpr const char* kDarkRed = "rgb(153, 45, 31)";  // #992D1F

std::string Expect(const char* panel, const char* status, const char* shown) {
  return std::string(panel) + "|" + status + "|" + shown;
}

class PageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window.Open();
    ASSERT_TRUE(WaitPageLoaded(window));
    Pump(100);
  }
  // Calls a page function and waits until the page has run it.
  // Presses a button as a user would: not within the double-click time after it appeared.
  void Press(const char* id) {
    std::string shown = std::string("justShown('") + id + "')";
    ASSERT_TRUE(PumpUntil([&] { return Js(window, shown) == "false"; }));
    Js(window, std::string("$('") + id + "').click()");
  }
  void CallAndSettle(const char* name, std::vector<const char*> args) {
    bool done = false;
    window.CallPageFunction(name, args.data(), static_cast<int>(args.size()), [&](int32_t) { done = true; });
    ASSERT_TRUE(PumpUntil([&] { return done; }));
  }
  // Captures the window and returns the colour at the panel's lower right corner.
  std::string PanelPixel(const char* name) {
    Pump(300);  // let the window be drawn
    std::string rect = Js(window,
                          "(function(){var r=$('panel').getBoundingClientRect();"
                          "return Math.round(r.right-4)+','+Math.round(r.bottom-4);})()");
    int x = 0, y = 0;
    std::sscanf(rect.c_str(), "%d,%d", &x, &y);
    GdkPixbuf* shot = CaptureWindow(window, name);
    std::string pixel = PixelAt(shot, x, y);
    if (shot) g_object_unref(shot);
    return pixel;
  }

  PageWindow window;
};

TEST_F(PageTest, LoadsWithTheWaitingLookTitleAndPlace) {
  EXPECT_EQ(Look(window), Expect(kRed, "Waiting for service.", "0000"));
  EXPECT_EQ(Js(window, "$('panel').textContent.trim().indexOf('Status: Waiting')"), "0");
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(Gtk(window).Window())), "html test");
  int width = 0, height = 0;
  gtk_window_get_size(GTK_WINDOW(Gtk(window).Window()), &width, &height);
  EXPECT_EQ(width, 400);
  EXPECT_EQ(height, 300);
  EXPECT_EQ(PanelPixel("page_waiting"), "#EB7060");
  // The contract's fixed sizes and colours.
  EXPECT_EQ(Js(window,
               "getComputedStyle($('panel')).height + ' ' + getComputedStyle($('panel')).fontSize + ' ' + "
               "getComputedStyle($('panel')).fontWeight + ' ' + getComputedStyle($('panel')).color"),
            "110px 23px 700 rgb(255, 255, 255)");
  EXPECT_EQ(Js(window,
               "getComputedStyle(document.body).borderTopWidth + ' ' + getComputedStyle(document.body).borderTopColor"
               " + ' ' + getComputedStyle(document.body).backgroundColor"),
            "5px rgb(23, 114, 47) rgb(72, 176, 100)");
  EXPECT_EQ(Js(window,
               "getComputedStyle($('connect')).width + ' ' + getComputedStyle($('connect')).fontSize + ' ' + "
               "$('connect').textContent + ' ' + $('disconnect').textContent"),
            "150px 18px Connect Disconnect");
  EXPECT_EQ(Js(window, "$('trafficIn').textContent + ' ' + $('trafficOut').textContent"), "in out");
  EXPECT_EQ(
      Js(window, "[HTLEFT,HTRIGHT,HTTOP,HTTOPLEFT,HTTOPRIGHT,HTBOTTOM,HTBOTTOMLEFT,HTBOTTOMRIGHT,HTBORDER].join()"),
      "10,11,12,13,14,15,16,17,18");
  EXPECT_EQ(Js(window, "String(disconnectTimer)"), "false");
}

TEST_F(PageTest, EveryImageLoadsWithItsSize) {
  EXPECT_EQ(Js(window,
               "Array.prototype.map.call(document.images, function (i) {"
               "  return i.getAttribute('src') + '=' + i.naturalWidth + 'x' + i.naturalHeight; }).join(' ')"),
            "IMGS/logogreen.png=138x38 IMGS/progressbar.gif=128x15 IMGS/arrow-down-circle.png=25x25 "
            "IMGS/arrow-up-circle.png=25x25 IMGS/banner.jpg=372x80");
}

TEST_F(PageTest, StateFunctionsSetTheirLooks) {
  CallAndSettle("connecting", {"Connecting"});
  EXPECT_EQ(Look(window), Expect(kRed, "Connecting", "1001"));
  EXPECT_EQ(PanelPixel("page_connecting"), "#EB7060");

  CallAndSettle("connected", {"Connected"});
  EXPECT_EQ(Look(window), Expect(kGreen, "Connected", "0001"));  // no traffic line before the first count
  EXPECT_EQ(PanelPixel("page_connected"), "#17722F");

  CallAndSettle("updateTraffic", {"512 Bytes", "12 kB"});
  EXPECT_EQ(Look(window), Expect(kGreen, "Connected", "0101"));
  EXPECT_EQ(Js(window, "$('trafficIn').textContent + '/' + $('trafficOut').textContent"), "512 Bytes/12 kB");
  EXPECT_EQ(PanelPixel("page_traffic"), "#17722F");

  CallAndSettle("disconnecting", {"Disconnecting"});
  EXPECT_EQ(Look(window), Expect(kRed, "Disconnecting", "1000"));
  EXPECT_EQ(PanelPixel("page_disconnecting"), "#EB7060");

  CallAndSettle("disconnected", {"Disconnected"});
  EXPECT_EQ(Look(window), Expect(kDarkRed, "Disconnected", "0010"));
  EXPECT_EQ(PanelPixel("page_disconnected"), "#992D1F");
}

TEST_F(PageTest, TrafficShowsInAnyLookAndTheNextStateHidesIt) {
  CallAndSettle("updateTraffic", {"1 kB", "2 kB"});
  EXPECT_EQ(Look(window), Expect(kRed, "Waiting for service.", "0100"));
  CallAndSettle("connecting", {"Connecting"});
  EXPECT_EQ(Look(window), Expect(kRed, "Connecting", "1001"));
  CallAndSettle("updateTraffic", {"3 MB", "4 MB"});
  EXPECT_EQ(Look(window), Expect(kRed, "Connecting", "1101"));  // progress stays, traffic shows
  CallAndSettle("connected", {"Connected"});
  EXPECT_EQ(Look(window), Expect(kGreen, "Connected", "0101"));  // connected leaves the traffic line
  CallAndSettle("disconnected", {"Disconnected"});
  EXPECT_EQ(Look(window), Expect(kDarkRed, "Disconnected", "0010"));
}

TEST_F(PageTest, TextsAreSetAsPlainText) {
  CallAndSettle("connecting", {"<b id=\"injected\">bold</b> & more"});
  EXPECT_EQ(Js(window, "$('status').textContent"), "<b id=\"injected\">bold</b> & more");
  EXPECT_EQ(Js(window, "String(document.getElementById('injected'))"), "null");
  CallAndSettle("updateTraffic", {"<i>1</i>", "\xE9t\xE9"});  // narrow texts are Latin-1
  EXPECT_EQ(Js(window, "$('trafficIn').textContent + '|' + $('trafficOut').textContent"), "<i>1</i>|\xC3\xA9t\xC3\xA9");
}

TEST_F(PageTest, DisconnectRunsTheNestedPageCallBeforeReturningAndArmsTheFallback) {
  CallAndSettle("connecting", {"Connecting"});
  // What the page saw: the state right after external.Disconnect() returned, inside the click.
  EXPECT_EQ(Js(window,
               "(function(){ var seen; var real = external; $('disconnect').onclick = function () {"
               "  var r = real.Disconnect(); seen = r + '|' + $('status').textContent + '|' + "
               "getComputedStyle($('disconnect')).display;"
               "  disconnectTimer = setTimeout(function () { disconnected(''); }, 3000); };"
               "  $('disconnect').click(); return seen; })()"),
            "ok|Disconnecting|none");
  ASSERT_EQ(window.calls, std::vector<std::string>{"Disconnect"});
  EXPECT_EQ(window.counts[0], 0);
  EXPECT_NE(Js(window, "String(disconnectTimer)"), "false");
  EXPECT_EQ(Look(window), Expect(kRed, "Disconnecting", "1000"));
  Pump(3300);
  EXPECT_EQ(Look(window), Expect(kDarkRed, "", "0010"));
  EXPECT_EQ(Js(window, "String(disconnectTimer)"), "false");
  EXPECT_EQ(PanelPixel("page_fallback"), "#992D1F");
}

TEST_F(PageTest, TheDisconnectButtonCallsTheProgramAndAnEarlyReportCancelsTheFallback) {
  CallAndSettle("connecting", {"Connecting"});
  Press("disconnect");  // the page's own handler
  ASSERT_EQ(window.calls, std::vector<std::string>{"Disconnect"});
  EXPECT_NE(Js(window, "String(disconnectTimer)"), "false");
  CallAndSettle("disconnected", {"Disconnected"});
  EXPECT_EQ(Js(window, "String(disconnectTimer)"), "false");
  Pump(3300);
  EXPECT_EQ(Look(window), Expect(kDarkRed, "Disconnected", "0010"));
}

TEST_F(PageTest, ConnectingWhileTheFallbackIsPendingCancelsIt) {
  window.reportDisconnecting = false;
  CallAndSettle("connecting", {"Connecting"});
  Press("disconnect");
  CallAndSettle("connecting", {"Connecting"});
  Pump(3300);
  EXPECT_EQ(Look(window), Expect(kRed, "Connecting", "1001"));
}

TEST_F(PageTest, ConnectButtonCallsConnect) {
  CallAndSettle("disconnected", {"Disconnected"});
  Press("connect");
  EXPECT_EQ(window.calls, std::vector<std::string>{"Connect"});
}

TEST_F(PageTest, AButtonAStateChangeJustPutInPlaceIgnoresPressesForTheDoubleClickTime) {
  int doubleClick = 0;
  g_object_get(gtk_settings_get_default(), "gtk-double-click-time", &doubleClick, nullptr);
  EXPECT_EQ(Js(window, "String(qvDoubleClickTime)"), std::to_string(doubleClick));
  for (const char* state : {"disconnected", "connecting"}) {
    const char* button = std::string(state) == "connecting" ? "disconnect" : "connect";
    window.calls.clear();
    CallAndSettle(state, {"text"});
    // Pressed at once: the rest of a double click meant for the button that was there.
    Js(window, std::string("$('") + button + "').click()");
    EXPECT_TRUE(window.calls.empty()) << button;
    // Once the double-click time has passed, the press counts.
    Press(button);
    EXPECT_EQ(window.calls.size(), 1u) << button;
  }
  // Hidden and shown again: the wait starts anew.
  CallAndSettle("disconnecting", {"Disconnecting"});
  CallAndSettle("disconnected", {"Disconnected"});
  window.calls.clear();
  Js(window, "$('connect').click()");
  EXPECT_TRUE(window.calls.empty());
}

TEST_F(PageTest, CallingAFunctionThePageLacksFailsWithoutEffect) {
  int32_t status = 0;
  bool done = false;
  const char* text[] = {"x"};
  window.CallPageFunction("noSuchFunction", text, 1, [&](int32_t s) {
    status = s;
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done; }));
  EXPECT_EQ(status, bridge::kUnknownName);
  EXPECT_EQ(Look(window), Expect(kRed, "Waiting for service.", "0000"));
  done = false;
  window.CallPageFunction("connected", text, 1, [&](int32_t s) {
    status = s;
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done; }));
  EXPECT_EQ(status, bridge::kOk);
}

TEST_F(PageTest, BridgeGivesTheTwelveIdentifiers) {
  const char* names[] = {"Show",       "Hide",         "Close",          "SetTitle",
                         "DragWindow", "ResizeWindow", "MinimizeWindow", "ToggleMaximizeNormalWindow",
                         "SetOpacity", "OpenLink",     "Connect",        "Disconnect"};
  for (int i = 0; i < 12; ++i) {
    int32_t id = 0;
    ASSERT_TRUE(window.GetIDsOfNames(names[i], &id)) << names[i];
    EXPECT_EQ(id, 100000 + i) << names[i];
  }
  int32_t id = 0;
  EXPECT_FALSE(window.GetIDsOfNames("connect", &id));  // names are case-sensitive
  EXPECT_FALSE(window.GetIDsOfNames("ShowContextMenu", &id));
  std::string result;
  bool isText = false;
  EXPECT_EQ(window.Invoke(99999, {}, &result, &isText), bridge::kNotImplemented);
  EXPECT_EQ(window.Invoke(100012, {}, &result, &isText), bridge::kNotImplemented);
  EXPECT_EQ(window.Invoke(100010, {}, &result, &isText), bridge::kOk);
  EXPECT_TRUE(isText);
  EXPECT_EQ(result, "ok");
}

TEST_F(PageTest, TextCallsReturnTheirTextOrEmpty) {
  EXPECT_EQ(Js(window, "var r = external.Connect(); typeof r + ':' + r"), "string:ok");
  window.connectResult = nullptr;
  EXPECT_EQ(Js(window, "var r = external.Connect(); typeof r + ':' + r"), "string:");
  EXPECT_EQ(Js(window, "typeof external.SetTitle('t')"), "undefined");  // Raw methods give no result
}

TEST_F(PageTest, TextArgumentsAreNarrowedToTheirLowBytes) {
  Js(window, "external.Connect('abc', '\\u00e9\\u0141x', '\\ud83d\\ude00', 'a\\u0000b', '')");
  ASSERT_EQ(window.calls.size(), 1u);
  EXPECT_EQ(window.counts[0], 5);
  ASSERT_EQ(window.arguments[0].size(), 5u);
  EXPECT_EQ(window.arguments[0][0], "abc");
  EXPECT_EQ(window.arguments[0][1], "\xE9\x41x");  // U+0141 keeps its low byte 0x41
  EXPECT_EQ(window.arguments[0][2], "\x3D");       // surrogates 0xD83D 0xDE00: the second byte is 0, ending the text
  EXPECT_EQ(window.arguments[0][3], "a");          // up to the terminating zero
  EXPECT_EQ(window.arguments[0][4], "");
}

TEST_F(PageTest, TwoHundredFiftySixArgumentsPassAndOneMoreFails) {
  EXPECT_EQ(Js(window, "var a = []; for (var i = 0; i < 256; i++) a.push('v' + i); external.Connect.apply(null, a)"),
            "ok");
  ASSERT_EQ(window.counts.size(), 1u);
  EXPECT_EQ(window.counts[0], 256);
  EXPECT_EQ(window.arguments[0][255], "v255");
  EXPECT_EQ(Js(window,
               "var a = []; for (var i = 0; i < 257; i++) a.push('v' + i);"
               "try { external.Connect.apply(null, a); 'returned' } catch (e) { 'threw' }"),
            "threw");
  EXPECT_EQ(window.counts.size(), 1u);  // the handler did not run
}

TEST_F(PageTest, UnknownNamesThrowInTheScript) {
  EXPECT_EQ(Js(window, "try { external.ShowContextMenu(); 'returned' } catch (e) { 'threw' }"), "threw");
  EXPECT_EQ(Js(window, "try { external.connect(); 'returned' } catch (e) { 'threw' }"), "threw");
  // The page's own context-menu handler fails at its first statement.
  EXPECT_EQ(Js(window, "try { document.oncontextmenu(); 'returned' } catch (e) { 'threw' }"), "threw");
}

TEST_F(PageTest, OnlyResourcesOfTheProgramAreServedAndMatchWithoutCase) {
  EXPECT_EQ(Js(window,
               "function get(p) { var x = new XMLHttpRequest(); x.open('GET', p, false);"
               "  try { x.send(); return x.status + ':' + x.responseText.length; } catch (e) { return 'fail'; } }"
               "[get('js/htmlcontrol.JS').split(':')[0], get('IMGS/BANNER.JPG').split(':')[0],"
               " get('IMGS/nothing.png'), get('JS/../main.html').split(':')[0]].join(' ')"),
            "200 200 fail 200");
}

TEST(PageCloseTest, CloseEndsTheLoopWithItsCode) {
  struct Case {
    const char* script;
    int code;
  } cases[] = {{"external.Close()", -1}, {"external.Close(3)", 3}, {"external.Close(1, 2)", -1}};
  for (const Case& c : cases) {
    PageWindow window;
    window.Open();
    ASSERT_TRUE(WaitPageLoaded(window));
    Js(window, c.script);
    EXPECT_EQ(window.Loop(), c.code) << c.script;
  }
}

}  // namespace

namespace {

// Lines an opener stand-in received, one per opened address.
std::string ReadOpened(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "r")) {
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
  }
  return text;
}

TEST(PageLinkTest, BannerAndTextLinkOpenTheSiteWithoutLeavingThePage) {
  std::string dir = ScreenshotDir() + "/../opener-" + std::to_string(getpid());
  mkdir(dir.c_str(), 0755);
  std::string opener = dir + "/opener", opened = dir + "/opened";
  if (FILE* f = std::fopen(opener.c_str(), "w")) {
    std::fprintf(f, "#!/bin/sh\necho \"$1\" >> '%s'\n", opened.c_str());
    std::fclose(f);
  }
  chmod(opener.c_str(), 0755);
  setenv("QUORVANTA_OPENER", opener.c_str(), 1);
  setenv("QUORVANTA_SITE", "http://site.test/a?b=1&c=\"2\"", 1);  // markup characters stay text

  PageWindow window;
  window.Open();
  ASSERT_TRUE(WaitPageLoaded(window));
  EXPECT_EQ(Js(window, "$('sitelink').textContent"), "http://site.test/a?b=1&c=\"2\"");
  Js(window, "$('banner').click()");
  ASSERT_TRUE(PumpUntil([&] { return ReadOpened(opened).find('\n') != std::string::npos; }, 5000));
  Js(window, "$('sitelink').querySelector('a').click()");
  ASSERT_TRUE(PumpUntil([&] { return ReadOpened(opened).size() > ReadOpened(opened).find('\n') + 1; }, 5000));
  EXPECT_EQ(ReadOpened(opened), "http://site.test/a?b=1&c=\"2\"/invite\nhttp://site.test/a?b=1&c=\"2\"\n");
  EXPECT_EQ(Js(window, "location.protocol + ' ' + typeof disconnected"), "res: function");  // still the page
  std::string cleanup = "rm -rf '" + dir + "'";
  EXPECT_EQ(std::system(cleanup.c_str()), 0);
}

TEST(PageLinkTest, ASiteBaseWithATrailingSlashDoesNotDoubleIt) {
  std::string dir = ScreenshotDir() + "/../opener-slash-" + std::to_string(getpid());
  mkdir(dir.c_str(), 0755);
  std::string opener = dir + "/opener", opened = dir + "/opened";
  if (FILE* f = std::fopen(opener.c_str(), "w")) {
    std::fprintf(f, "#!/bin/sh\necho \"$1\" >> '%s'\n", opened.c_str());
    std::fclose(f);
  }
  chmod(opener.c_str(), 0755);
  setenv("QUORVANTA_OPENER", opener.c_str(), 1);
  setenv("QUORVANTA_SITE", "http://site.test/base/", 1);

  PageWindow window;
  window.Open();
  ASSERT_TRUE(WaitPageLoaded(window));
  Js(window, "$('banner').click()");
  ASSERT_TRUE(PumpUntil([&] { return ReadOpened(opened).find('\n') != std::string::npos; }, 5000));
  EXPECT_EQ(ReadOpened(opened), "http://site.test/base/invite\n");
  std::string cleanup = "rm -rf '" + dir + "'";
  EXPECT_EQ(std::system(cleanup.c_str()), 0);
}

}  // namespace
