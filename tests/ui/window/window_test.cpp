// The window under a real window manager (openbox) with a panel (trayer)
// that keeps 40 pixels of the screen's bottom out of the work area.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "page_helpers.h"
#include "platform/message_box.h"
#include "platform/message_box_gtk.h"
#include "page_window.h"
#include "x_session.h"

// From gdk/gdkx.h, whose X11 macros clash with the test framework.
extern "C" unsigned long gdk_x11_window_get_xid(GdkWindow* window);

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new XEnvironment(true, true));

std::string Xid(HtmlControl& window) {
  return std::to_string(gdk_x11_window_get_xid(gtk_widget_get_window(Gtk(window).Window())));
}

std::string Property(HtmlControl& window, const char* name) {
  return XSession::Run({"xprop", "-id", Xid(window).c_str(), name});
}

bool Mapped(HtmlControl& window) {
  GdkWindow* w = gtk_widget_get_window(Gtk(window).Window());
  return w && XSession::Run({"xwininfo", "-id", Xid(window).c_str()}).find("IsViewable") != std::string::npos;
}

// The window's outer rectangle on the screen, as "x,y WxH".
std::string Frame(HtmlControl& window) {
  GdkRectangle r;
  gdk_window_get_frame_extents(gtk_widget_get_window(Gtk(window).Window()), &r);
  return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
         std::to_string(r.height);
}

bool WaitFrame(HtmlControl& window, const std::string& expected) {
  return PumpUntil([&] { return Frame(window) == expected; }, 15000);
}

class WindowTest : public ::testing::Test {
 protected:
  void Open(bool visible) {
    window.Open(visible);
    ASSERT_TRUE(WaitPageLoaded(window));
    Pump(200);
  }
  PageWindow window;
};

TEST_F(WindowTest, WorkAreaIsSmallerThanTheScreen) {
  GdkMonitor* monitor = gdk_display_get_primary_monitor(gdk_display_get_default());
  if (!monitor) monitor = gdk_display_get_monitor(gdk_display_get_default(), 0);
  GdkRectangle area;
  gdk_monitor_get_workarea(monitor, &area);
  EXPECT_EQ(area.width, XSession::kWidth);
  EXPECT_EQ(area.height, XSession::kHeight - XSession::kPanelHeight);
}

TEST_F(WindowTest, ShowsAtTheWorkAreasBottomRightAboveOthersWithoutTaskbarEntry) {
  Open(true);
  ASSERT_TRUE(WaitFrame(window, "880,460 400x300")) << Frame(window);
  EXPECT_TRUE(PumpUntil([&] { return Mapped(window); }, 5000));
  std::string state = Property(window, "_NET_WM_STATE");
  EXPECT_NE(state.find("_NET_WM_STATE_ABOVE"), std::string::npos) << state;
  EXPECT_NE(state.find("_NET_WM_STATE_SKIP_TASKBAR"), std::string::npos) << state;
  EXPECT_NE(state.find("_NET_WM_STATE_SKIP_PAGER"), std::string::npos) << state;
  EXPECT_FALSE(gtk_window_get_decorated(GTK_WINDOW(Gtk(window).Window())));
  GdkPixbuf* shot = CaptureWindow(window, "window_placed");
  EXPECT_EQ(PixelAt(shot, 2, 150), "#17722F");  // the page's own border reaches the window's edge
  if (shot) g_object_unref(shot);
}

TEST_F(WindowTest, ShowPlacesBySizeAndKeepsVisibility) {
  Open(false);
  EXPECT_FALSE(gtk_widget_get_visible(Gtk(window).Window()));
  Js(window, "external.Show(200, 100)");
  EXPECT_FALSE(gtk_widget_get_visible(Gtk(window).Window()));  // placing does not show
  window.Display();
  ASSERT_TRUE(WaitFrame(window, "1080,660 200x100")) << Frame(window);
  EXPECT_TRUE(PumpUntil([&] { return Mapped(window); }, 5000));
}

TEST_F(WindowTest, HideAndDisplayKeepThePlace) {
  Open(true);
  ASSERT_TRUE(WaitFrame(window, "880,460 400x300"));
  Js(window, "external.Hide()");
  EXPECT_TRUE(PumpUntil([&] { return !Mapped(window); }, 5000));
  window.Display();
  EXPECT_TRUE(PumpUntil([&] { return Mapped(window); }, 5000));
  EXPECT_TRUE(WaitFrame(window, "880,460 400x300")) << Frame(window);
}

TEST_F(WindowTest, ClickingTheCloseMarkHidesTheWindow) {
  Open(true);
  ASSERT_TRUE(WaitFrame(window, "880,460 400x300")) << Frame(window);
  Pump(300);
  std::string where = Js(window,
                         "(function(){var r=$('close').getBoundingClientRect();"
                         "return Math.round(r.left+r.width/2)+' '+Math.round(r.top+r.height/2);})()");
  int x = 0, y = 0;
  ASSERT_EQ(std::sscanf(where.c_str(), "%d %d", &x, &y), 2) << where;
  std::string sx = std::to_string(880 + x), sy = std::to_string(460 + y);
  XSession::Run({"xdotool", "mousemove", sx.c_str(), sy.c_str(), "click", "1"});
  EXPECT_TRUE(PumpUntil([&] { return !Mapped(window); }, 5000)) << "the close mark did not hide the window";
}

TEST_F(WindowTest, PressingOnTheTitleBarMovesTheWindow) {
  Open(true);
  ASSERT_TRUE(WaitFrame(window, "880,460 400x300")) << Frame(window);
  Pump(300);
  XSession::Run({"xdotool", "mousemove", "1000", "470", "mousedown", "1"});
  Pump(300);
  for (int step = 1; step <= 10; ++step) {
    std::string sx = std::to_string(1000 - step * 10), sy = std::to_string(470 - step * 10);
    XSession::Run({"xdotool", "mousemove", sx.c_str(), sy.c_str()});
    Pump(30);
  }
  XSession::Run({"xdotool", "mouseup", "1"});
  EXPECT_TRUE(WaitFrame(window, "780,360 400x300")) << Frame(window);
}

TEST_F(WindowTest, SetOpacitySetsTheWindowsAlpha) {
  Open(true);
  ASSERT_TRUE(WaitFrame(window, "880,460 400x300"));
  Js(window, "external.SetOpacity(50)");
  EXPECT_EQ(window.Alpha(), 127);
  Pump(200);
  EXPECT_NE(Property(window, "_NET_WM_WINDOW_OPACITY").find(std::to_string(127ull * 0xffffffffull / 255)),
            std::string::npos)
      << Property(window, "_NET_WM_WINDOW_OPACITY");
  Js(window, "external.SetOpacity(0)");
  EXPECT_EQ(window.Alpha(), 0);
  EXPECT_TRUE(Mapped(window));  // fully transparent but present
  Js(window, "external.SetOpacity()");
  EXPECT_EQ(window.Alpha(), 255);
  Js(window, "external.SetOpacity(1000)");
  EXPECT_EQ(window.Alpha(), 255);
}

TEST_F(WindowTest, ToggleMaximizeMaximizesThenRestores) {
  Open(true);
  ASSERT_TRUE(WaitFrame(window, "880,460 400x300"));
  Js(window, "external.ToggleMaximizeNormalWindow()");
  EXPECT_TRUE(window.IsMaximizedFlag());
  EXPECT_TRUE(PumpUntil([&] { return Frame(window) == "0,0 1280x760"; }, 5000)) << Frame(window);
  Js(window, "external.ToggleMaximizeNormalWindow()");
  EXPECT_FALSE(window.IsMaximizedFlag());
  EXPECT_TRUE(WaitFrame(window, "880,460 400x300")) << Frame(window);
}

TEST_F(WindowTest, MinimizeIconifies) {
  Open(true);
  ASSERT_TRUE(WaitFrame(window, "880,460 400x300"));
  Js(window, "external.MinimizeWindow()");
  EXPECT_TRUE(PumpUntil(
      [&] {
        return (gdk_window_get_state(gtk_widget_get_window(Gtk(window).Window())) & GDK_WINDOW_STATE_ICONIFIED) != 0;
      },
      5000));
}

TEST_F(WindowTest, SetTitleRenamesTheWindow) {
  Open(true);
  Js(window, "external.SetTitle('Another \\u00e9')");
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(Gtk(window).Window())), "Another \xC3\xA9");
}

}  // namespace

namespace {

// The first open dialog titled caption, or null.
GtkWidget* FindDialog(const char* caption) {
  GtkWidget* found = nullptr;
  GList* all = gtk_window_list_toplevels();
  for (GList* l = all; l; l = l->next) {
    GtkWidget* w = GTK_WIDGET(l->data);
    if (GTK_IS_MESSAGE_DIALOG(w) && gtk_widget_get_visible(w) &&
        g_strcmp0(gtk_window_get_title(GTK_WINDOW(w)), caption) == 0)
      found = w;
  }
  g_list_free(all);
  return found;
}

// What a user sees of a box: read, then OK pressed, by a timer that runs
// inside the dialog's own loop.
struct SeenBox {
  const char* caption = "";
  bool seen = false;
  GtkMessageType type = GTK_MESSAGE_OTHER;
  std::string text;
};

gboolean AnswerBox(gpointer data) {
  SeenBox* box = static_cast<SeenBox*>(data);
  GtkWidget* dialog = FindDialog(box->caption);
  if (!dialog) return G_SOURCE_CONTINUE;
  char* text = nullptr;
  g_object_get(dialog, "message-type", &box->type, "text", &text, nullptr);
  box->text = text ? text : "";
  g_free(text);
  box->seen = true;
  gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  return G_SOURCE_REMOVE;
}

TEST(MessageBoxTest, BoxesAreDialogsAlsoWhenAWorkerAsks) {
  unsetenv("QUORVANTA_MESSAGES");
  platform::InstallGtkMessageBoxes();

  SeenBox box;
  box.caption = "Quorvanta";
  guint timer = g_timeout_add(50, AnswerBox, &box);
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    platform::ShowMessageBox("Quorvanta", "data.vpn file not found or data corrupted", platform::MessageIcon::None);
    returned = true;
  });
  bool ok = PumpUntil([&] { return returned.load(); });
  if (!box.seen) g_source_remove(timer);
  worker.join();  // ends once the box is answered
  ASSERT_TRUE(ok);
  EXPECT_TRUE(box.seen);
  EXPECT_EQ(box.type, GTK_MESSAGE_OTHER);  // no icon
  EXPECT_EQ(box.text, "data.vpn file not found or data corrupted");

  // On the user-interface thread itself the box is shown at once.
  SeenBox error;
  error.caption = "Error";
  g_timeout_add(50, AnswerBox, &error);
  platform::ShowMessageBox("Error", "Another instance of this application is running", platform::MessageIcon::Error);
  EXPECT_TRUE(error.seen);
  EXPECT_EQ(error.type, GTK_MESSAGE_ERROR);
  EXPECT_EQ(error.text, "Another instance of this application is running");
}

}  // namespace
