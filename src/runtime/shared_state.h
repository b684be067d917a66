#pragma once
// Process-wide state shared by the user-interface thread and the workers.
#include <mutex>

struct ServerList;

inline constexpr int kPathSize = 260;
inline constexpr int kMachineIdSize = 60;

// Filled once by LoadConfiguration before any worker exists; read-only afterwards.
extern char ConfigDirectory[kPathSize];
extern char ProfilePath[kPathSize];
extern char MachineId[kMachineIdSize];

// Guarded by ListsLock. Null before start-up creates them and after shutdown
// has freed them; every user treats null as an empty list.
extern ServerList* Servers;
extern ServerList* UpdateUrls;

// Lock order: UpdateLock before ProfileLock, UpdateLock before ListsLock;
// ProfileLock and ListsLock are never held together. The locks are never
// destroyed, so a worker still running at exit cannot reach a dead lock.
extern std::mutex ListsLock;
extern std::mutex ProfileLock;
extern std::mutex UpdateLock;

// Creates the two empty lists (start-up).
void CreateSharedLists();
// Frees both lists under ListsLock and leaves the pointers null (shutdown).
void FreeSharedLists();
