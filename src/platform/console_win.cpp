#include "platform/console.h"

#include <windows.h>

#include <cstdio>

namespace platform {

namespace {

bool Usable(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

}  // namespace

bool UseParentConsole() {
  // Handles given by the starter are the C run-time's already.
  if (Usable(STD_OUTPUT_HANDLE)) return true;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return false;
  FILE* stream = nullptr;
  if (!Usable(STD_INPUT_HANDLE)) freopen_s(&stream, "CONIN$", "r", stdin);
  freopen_s(&stream, "CONOUT$", "w", stdout);
  if (!Usable(STD_ERROR_HANDLE)) freopen_s(&stream, "CONOUT$", "w", stderr);
  return true;
}

}  // namespace platform
