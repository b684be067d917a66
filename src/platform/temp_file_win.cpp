#include "platform/temp_file.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/text_win.h"

namespace platform {

namespace {

// Copies a UTF-8 text into path; false when it does not fit.
bool Hand(const std::string& text, char* path, size_t pathSize) {
  int n = std::snprintf(path, pathSize, "%s", text.c_str());
  return n >= 0 && static_cast<size_t>(n) < pathSize;
}

// GetTempFileNameW takes up to three characters of the prefix and makes the file.
bool NewFileIn(const std::wstring& dir, const char* prefix, char* path, size_t pathSize) {
  wchar_t made[MAX_PATH];
  if (GetTempFileNameW(dir.c_str(), WideFromUtf8(prefix).c_str(), 0, made) == 0) return false;
  if (!Hand(Utf8FromWide(made), path, pathSize)) {
    DeleteFileW(made);
    return false;
  }
  return true;
}

}  // namespace

bool CreateTempFile(const char* prefix, char* path, size_t pathSize) {
  wchar_t dir[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  if (n == 0 || n > MAX_PATH) return false;
  return NewFileIn(dir, prefix, path, pathSize);
}

bool StageBeside(const char* source, const char* target, char* staged, size_t stagedSize) {
  std::wstring dir = WideFromUtf8(target);
  const size_t slash = dir.find_last_of(L"\\/");
  dir = slash == std::wstring::npos ? L"." : dir.substr(0, slash);
  if (!NewFileIn(dir, "qvs", staged, stagedSize)) return false;
  // Written through, so the staged copy is on disk before it replaces the target.
  const std::wstring wideStaged = WideFromUtf8(staged);
  if (!CopyFileExW(WideFromUtf8(source).c_str(), wideStaged.c_str(), nullptr, nullptr, nullptr,
                   COPY_FILE_NO_BUFFERING)) {
    DeleteFileW(wideStaged.c_str());
    return false;
  }
  return true;
}

bool MoveStaged(const char* staged, const char* target) {
  return MoveFileExW(WideFromUtf8(staged).c_str(), WideFromUtf8(target).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// MOVEFILE_WRITE_THROUGH already waits until the move is on disk.
void SyncDirectoryOf(const char*) {}

bool DeleteFileAt(const char* path) { return DeleteFileW(WideFromUtf8(path).c_str()) != 0; }

std::FILE* OpenFile(const char* path, const char* mode) {
  const std::wstring widePath = WideFromUtf8(path);
  if (widePath.empty()) return nullptr;
  return _wfopen(widePath.c_str(), WideFromUtf8(mode).c_str());
}

std::FILE* OpenRegularFileForReading(const char* path, unsigned long long maxSize) {
  // A reparse point is opened as itself and refused: no link leads elsewhere.
  HANDLE h =
      CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  LARGE_INTEGER size;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      !GetFileSizeEx(h, &size) || static_cast<unsigned long long>(size.QuadPart) > maxSize) {
    CloseHandle(h);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "rb");
  if (!file) _close(fd);
  return file;
}

}  // namespace platform
