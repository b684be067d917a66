#pragma once
// Temporary files and atomic replacement of a file by another.
#include <cstddef>
#include <cstdio>

namespace platform {

// Creates a new empty file with a unique name starting with prefix in the
// temporary directory ($TMPDIR, else /tmp); writes its path. false on failure.
bool CreateTempFile(const char* prefix, char* path, size_t pathSize);

// Replacing a file in three steps, so that a lock guarding target need only
// be held for the middle one:
// Copies source into a new file beside target (so the move is one rename on
// one file system), with target's permissions, flushed to disk; writes its
// path to staged. false on failure, with nothing left behind.
bool StageBeside(const char* source, const char* target, char* staged, size_t stagedSize);
// Renames staged onto target in one step; false on failure, in which case
// target is unchanged and staged is still there.
bool MoveStaged(const char* staged, const char* target);
// Flushes the directory holding path, so a finished rename survives a power cut.
void SyncDirectoryOf(const char* path);

bool DeleteFileAt(const char* path);

// fopen for a path in the program's narrow text (UTF-8 on Windows too).
std::FILE* OpenFile(const char* path, const char* mode);

// Opens a file of a folder that strangers may write, for reading: only a
// regular file of at most maxSize bytes, never through a link, and never
// waiting on a FIFO or a device. nullptr otherwise.
std::FILE* OpenRegularFileForReading(const char* path, unsigned long long maxSize);

}  // namespace platform
