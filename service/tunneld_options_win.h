#pragma once
// The service's command line on Windows.
#include <cstdio>

#include "supervisor.h"
// After the project headers: its macros clash with names they declare.
#include <windows.h>

namespace tunneld {

enum class Mode { Service, Console, Install, Uninstall };

struct ServiceOptions {
  Mode mode = Mode::Service;
  char pipe[256] = {};
  char configDir[MAX_PATH] = {};
  char openvpn[MAX_PATH] = {};
  int stopTimeoutMs = kDefaultStopTimeoutMs;
};

void Usage(FILE* to);
// false on an unknown option or a bad value; --help prints the usage and exits.
bool ParseOptions(int argc, char** argv, ServiceOptions* o);
// This program's own path.
bool ProgramPath(wchar_t* out, DWORD count);

}  // namespace tunneld
