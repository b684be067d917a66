#include "platform/temp_file.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>

namespace platform {

namespace {

// GetTempFileNameA takes up to three characters of the prefix and makes the file.
bool NewFileIn(const char* dir, const char* prefix, char* path, size_t pathSize) {
  char made[MAX_PATH];
  if (GetTempFileNameA(dir, prefix, 0, made) == 0) return false;
  int n = std::snprintf(path, pathSize, "%s", made);
  if (n < 0 || static_cast<size_t>(n) >= pathSize) {
    DeleteFileA(made);
    return false;
  }
  return true;
}

}  // namespace

bool CreateTempFile(const char* prefix, char* path, size_t pathSize) {
  char dir[MAX_PATH + 1];
  DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n >= sizeof dir) return false;
  return NewFileIn(dir, prefix, path, pathSize);
}

bool StageBeside(const char* source, const char* target, char* staged, size_t stagedSize) {
  char dir[MAX_PATH];
  int n = std::snprintf(dir, sizeof dir, "%s", target);
  if (n < 0 || static_cast<size_t>(n) >= sizeof dir) return false;
  char* slash = std::strrchr(dir, '\\');
  char* forward = std::strrchr(dir, '/');
  if (forward && (!slash || forward > slash)) slash = forward;
  if (slash) *slash = '\0';
  else std::snprintf(dir, sizeof dir, ".");
  if (!NewFileIn(dir, "qvs", staged, stagedSize)) return false;
  // Written through, so the staged copy is on disk before it replaces the target.
  if (!CopyFileExA(source, staged, nullptr, nullptr, nullptr, COPY_FILE_NO_BUFFERING)) {
    DeleteFileA(staged);
    return false;
  }
  return true;
}

bool MoveStaged(const char* staged, const char* target) {
  return MoveFileExA(staged, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// MOVEFILE_WRITE_THROUGH already waits until the move is on disk.
void SyncDirectoryOf(const char*) {}

bool DeleteFileAt(const char* path) { return DeleteFileA(path) != 0; }

std::FILE* OpenRegularFileForReading(const char* path, unsigned long long maxSize) {
  // A reparse point is opened as itself and refused: no link leads elsewhere.
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
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
