#include "ui/headless_window.h"

#include <cstdio>
#include <cstring>

#include "platform/message_queue.h"
#include "platform/ui_loop.h"
#include "runtime/thread.h"
#include "runtime/ui_messages.h"

namespace {

// Commands of the headless stand-in, queued behind the workers' messages.
constexpr uint32_t kCommandConnect = msg::HeadlessConnect;
constexpr uint32_t kCommandDisconnect = msg::HeadlessDisconnect;
constexpr uint32_t kCommandQuit = HeadlessWindow::kQuitMessage;

// Turns standard-input lines into commands; ends quietly at end of input.
void ReadCommands(void*) {
  char line[64];
  while (std::fgets(line, sizeof line, stdin)) {
    line[std::strcspn(line, "\r\n")] = '\0';
    if (std::strcmp(line, "connect") == 0) {
      platform::UiQueue().Post(kCommandConnect, 0, 0);
    } else if (std::strcmp(line, "disconnect") == 0) {
      platform::UiQueue().Post(kCommandDisconnect, 0, 0);
    } else if (std::strcmp(line, "quit") == 0) {
      platform::UiQueue().Post(kCommandQuit, 0, 0);
    }
  }
}

}  // namespace

HeadlessWindow::HeadlessWindow() : view_(stdout), tunnel_(view_, *this) {}

HeadlessWindow::~HeadlessWindow() = default;

int HeadlessWindow::RunWindow(bool) {
  tunnel_.controller().firstRun = firstRun;
  tunnel_.Start(&platform::UiQueue());
  // The listener's diagnostics end without a line feed; end their line so
  // every line of the log that follows starts clean.
  tunnel_.server().WaitListening();
  std::fputs("\n", stdout);
  std::fflush(stdout);
  StartWorker(&ReadCommands, nullptr);
  platform::RunUiLoop(
      +[](const platform::Message& message, void* self) { static_cast<HeadlessWindow*>(self)->Receive(message); },
      this);
  return 0;
}

void HeadlessWindow::Receive(const platform::Message& message) {
  if (tunnel_.HandleMessage(message)) return;
  switch (message.id) {
    case kCommandConnect:
      tunnel_.controller().Connect();
      break;
    case kCommandDisconnect:
      tunnel_.controller().Disconnect();
      break;
    case kCommandQuit:
      platform::QuitUiLoop();
      break;
    default:
      break;
  }
}
