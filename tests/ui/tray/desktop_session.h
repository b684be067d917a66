#pragma once
// A private desktop for the tray tests: an Xvfb on a free display, a session
// bus of its own and, when asked, a system tray (trayer). Everything started
// here is ended by Stop(), also when a test fails.
#include <sys/types.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "ui/tray.h"

class DesktopSession {
 public:
  // Starts the servers, points DISPLAY and DBUS_SESSION_BUS_ADDRESS at them and
  // initialises GTK. false (with a reason in error) when one failed to start.
  bool Start(bool withTray, std::string& error);
  void Stop();
  int display() const { return display_; }
  const std::string& busAddress() const { return busAddress_; }

 private:
  pid_t xvfb_ = -1, bus_ = -1, trayer_ = -1;
  int display_ = -1;
  std::string busAddress_;
};

// Runs the GTK main loop until done() holds or timeoutMs passes; returns done().
bool SpinUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Runs the loop for a while (to let things that must not happen have their chance).
void SpinFor(int ms);
// Runs a program to its end; returns its exit status (-1 when it could not run).
int RunProgram(const std::vector<std::string>& argv);

struct TrayPress {
  uint32_t message;
  int x, y;
};

// Records what the tray reports; like the main window, pops the menu on a
// right press when popOnRightPress is set.
class RecordingHost : public TrayHost {
 public:
  void OnTrayIcon(uint32_t mouseMessage, int x, int y) override;
  void OnCommand(uintptr_t id) override { commands.push_back(id); }
  std::vector<TrayPress> presses;
  std::vector<uintptr_t> commands;
  Tray* popOnRightPress = nullptr;
};

// The one desktop of a test program (with or without a tray host), started
// before its first test.
inline DesktopSession* session = nullptr;

class SessionEnvironment : public ::testing::Environment {
 public:
  explicit SessionEnvironment(bool trayHost) : trayHost_(trayHost) {}
  void SetUp() override {
    setenv("QUORVANTA_SITE", "http://vpn.test.example:8080/", 1);
    session = new DesktopSession;
    std::string error;
    if (!session->Start(trayHost_, error)) FAIL() << error;
  }
  void TearDown() override {
    session->Stop();
    delete session;
    session = nullptr;
  }

 private:
  bool trayHost_;
};
