#include "platform/shared_memory.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "platform/text_win.h"

namespace platform {

// A page-file-backed mapping in the session's namespace, whose default
// security admits only its user and the system.
std::unique_ptr<SharedMemory> SharedMemory::Create(const char* name, size_t size) {
  const std::wstring wide = WideFromUtf8(name);
  if (size == 0 || wide.empty()) return nullptr;
  const unsigned long long whole = size;
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(whole >> 32),
                                      static_cast<DWORD>(whole & 0xFFFFFFFFu), wide.c_str());
  if (!mapping) return nullptr;
  // A name someone made before us is never adopted: its contents are not ours.
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mapping);
    return nullptr;
  }
  void* view = MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size);
  if (!view) {
    CloseHandle(mapping);
    return nullptr;
  }
  return std::unique_ptr<SharedMemory>(new SharedMemory(static_cast<unsigned char*>(view), size, true, name, mapping));
}

std::unique_ptr<SharedMemory> SharedMemory::Open(const char* name, bool writable) {
  const std::wstring wide = WideFromUtf8(name);
  if (wide.empty()) return nullptr;
  const DWORD access = FILE_MAP_READ | (writable ? FILE_MAP_WRITE : 0);
  HANDLE mapping = OpenFileMappingW(access, FALSE, wide.c_str());
  if (!mapping) return nullptr;
  void* view = MapViewOfFile(mapping, access, 0, 0, 0);
  MEMORY_BASIC_INFORMATION info{};
  if (!view || VirtualQuery(view, &info, sizeof info) == 0 || info.RegionSize == 0) {
    if (view) UnmapViewOfFile(view);
    CloseHandle(mapping);
    return nullptr;
  }
  return std::unique_ptr<SharedMemory>(
      new SharedMemory(static_cast<unsigned char*>(view), info.RegionSize, false, name, mapping));
}

SharedMemory::~SharedMemory() {
  UnmapViewOfFile(data_);
  CloseHandle(fd_);
}

size_t SharedMemory::Granularity() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwAllocationGranularity;
}

// The object goes with its last handle: nothing outlives the processes that hold it.
void RemoveSharedMemory(const char*) {}

}  // namespace platform
