#include "platform/temp_file.h"

#include <windows.h>

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

}  // namespace platform
