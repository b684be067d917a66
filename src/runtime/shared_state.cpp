#include "runtime/shared_state.h"

#include "runtime/server_list.h"

char ConfigDirectory[kPathSize];
char ProfilePath[kPathSize];
char MachineId[kMachineIdSize];

ServerList* Servers = nullptr;
ServerList* UpdateUrls = nullptr;

std::mutex ListsLock;
std::mutex ProfileLock;
std::mutex UpdateLock;

void CreateSharedLists() {
  std::lock_guard<std::mutex> lock(ListsLock);
  Servers = NewServerList();
  UpdateUrls = NewServerList();
}

void FreeSharedLists() {
  std::lock_guard<std::mutex> lock(ListsLock);
  FreeServerList(Servers);
  FreeServerList(UpdateUrls);
  Servers = nullptr;
  UpdateUrls = nullptr;
}
