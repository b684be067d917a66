// quorvanta.exe: the front end on Windows. Its window, and the headless loop
// that stands in for it, are not built for Windows yet; until they are, a
// start says so instead of doing nothing.
#include <cstdlib>
#include <cstring>

#include "platform/message_box.h"

int main() {
  const char* headless = std::getenv("QUORVANTA_HEADLESS");
  const char* text =
      headless && std::strcmp(headless, "1") == 0
          ? "The Quorvanta front end does not run on Windows yet, with or without a window. "
            "Use the Linux build, or quorvanta-tunneld.exe for the tunnel service."
          : "The Quorvanta window is not available on Windows yet. "
            "Use the Linux build for now.";
  platform::ShowMessageBox("Quorvanta", text, platform::MessageIcon::Error);
  return 1;
}
