#pragma once
// A per-user named mutex used as the single-instance guard. Held until the
// process ends; a crashed holder leaves no stale lock.
namespace platform {

enum class NamedMutexResult { Created, AlreadyExists, Failed };

// Takes the name for this process for the rest of its life.
NamedMutexResult CreateNamedMutex(const char* name);

}  // namespace platform
