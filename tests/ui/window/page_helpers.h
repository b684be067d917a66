#pragma once
// Helpers for tests that drive the real window: pumping the main loop,
// reading the page through the test's own scripts, screenshots.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/stat.h>

#include "ui/gtk/html_view_gtk.h"
#include "ui/html_control.h"

// The GTK view behind a window, for what only tests look at.
inline GtkHtmlView& Gtk(const HtmlControl& window) { return static_cast<GtkHtmlView&>(window.view()); }

// Runs the main loop for ms milliseconds.
inline void Pump(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
    g_usleep(2000);
  }
}

// Runs the main loop until done() holds or ms have passed.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
    g_usleep(2000);
  }
  return true;
}

inline std::string Js(HtmlControl& window, const std::string& script) {
  std::string result;
  if (!Gtk(window).EvaluateScript(script.c_str(), &result)) return "error: " + result;
  return result;
}

// Waits until the page's own functions are defined (the page has loaded).
inline bool WaitPageLoaded(HtmlControl& window) {
  return PumpUntil([&] { return Js(window, "typeof disconnected + ' ' + typeof external") == "function object"; });
}

// The page's look: panel colour | status | progress traffic connect disconnect (1 = shown).
inline std::string Look(HtmlControl& window) {
  return Js(window,
            "(function () {"
            "  function d(id) { return getComputedStyle($(id)).display === 'none' ? '0' : '1'; }"
            "  return getComputedStyle($('panel')).backgroundColor + '|' + $('status').textContent + '|' +"
            "    d('progressbar') + d('traffic') + d('connect') + d('disconnect');"
            "})()");
}

inline std::string ScreenshotDir() {
  std::string dir = std::string(QV_BINARY_DIR) + "/screenshots";
  mkdir(dir.c_str(), 0755);
  return dir;
}

// The window's pixels as the X server shows them, saved as <name>.png in the
// build's screenshots folder. Returns the capture (caller unrefs), or null.
inline GdkPixbuf* CaptureWindow(HtmlControl& window, const char* name) {
  GdkWindow* gdkWindow = gtk_widget_get_window(Gtk(window).Window());
  if (!gdkWindow) return nullptr;
  int x, y;
  gdk_window_get_origin(gdkWindow, &x, &y);
  int width = gdk_window_get_width(gdkWindow);
  int height = gdk_window_get_height(gdkWindow);
  GdkPixbuf* shot = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), x, y, width, height);
  if (shot && name) {
    std::string path = ScreenshotDir() + "/" + name + ".png";
    gdk_pixbuf_save(shot, path.c_str(), "png", nullptr, nullptr);
  }
  return shot;
}

inline std::string PixelAt(GdkPixbuf* shot, int x, int y) {
  if (!shot || x < 0 || y < 0 || x >= gdk_pixbuf_get_width(shot) || y >= gdk_pixbuf_get_height(shot)) return "none";
  const guchar* p =
      gdk_pixbuf_get_pixels(shot) + y * gdk_pixbuf_get_rowstride(shot) + x * gdk_pixbuf_get_n_channels(shot);
  char text[16];
  std::snprintf(text, sizeof text, "#%02X%02X%02X", p[0], p[1], p[2]);
  return text;
}
