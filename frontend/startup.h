#pragma once
// The start-up and shutdown steps both systems' entries share, in the order
// the entries call them.
#include <cstddef>
#include <string>

// Start-up step 1: crash reporting with the program's record. false with the
// failure's text (UTF-8) in text.
bool InstallCrashReporting(char* text, size_t size);

struct StartFlags {
  bool firstRun = false;
  bool autorun = false;
};

// The text after the program's name, in which the flags are looked for.
std::string JoinArguments(int argc, char** argv);
// Case-sensitive substring search: "-firstrun" counts inside a longer word too.
StartFlags ReadFlags(const std::string& arguments);
// "--help" or "-h" as an argument of its own: the usage is printed and the
// program ends before anything starts (a second instance must not connect).
bool HelpRequested(int argc, char** argv);
// The usage: the flags and the variables both systems read, then the system's own part.
void PrintUsage(const char* systemPart);

// QUORVANTA_HEADLESS=1: no window, page calls and tray states on standard output.
bool HeadlessRequested();

// Winsock, the configuration strings, the single-instance rule, the
// configuration and the shared lists. False when start-up must end, with the
// process's code in *exitCode; a configuration that cannot be loaded ends the
// process here with 1, after its own box.
bool PrepareProcess(int* exitCode);

// A quit request from outside (a signal, the console's ^C) becomes the loop's
// close: WM_CLOSE for a window, the headless "quit" otherwise.
void StartQuitWatcher(bool windowed);

// How long shutdown gives a callback run under way to end; the process ends
// either way, and nothing of the run needs the window.
inline constexpr unsigned kCallbackEndMs = 300;

// Runs the front end without a window until "quit", then shuts down; the exit code.
int RunHeadless(const StartFlags& flags);
