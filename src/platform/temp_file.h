#pragma once
// Temporary files and atomic replacement of a file by another.
#include <cstddef>

namespace platform {

// Creates a new empty file with a unique name starting with prefix in the
// temporary directory ($TMPDIR, else /tmp); writes its path. false on failure.
bool CreateTempFile(const char* prefix, char* path, size_t pathSize);

// Replaces target by source in one step (source disappears); false on failure,
// in which case target is unchanged.
bool ReplaceFile(const char* source, const char* target);

bool DeleteFileAt(const char* path);

}  // namespace platform
