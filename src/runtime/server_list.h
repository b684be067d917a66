#pragma once
// A doubly linked list of owned narrow texts (server entries or update URLs).
// No lock of its own: callers hold ListsLock for the shared lists.
#include <cstddef>

inline constexpr size_t kMaxTokenLength = 254;

struct ServerListEntry {
  ServerListEntry* prev;
  ServerListEntry* next;
  char text[kMaxTokenLength + 1];
};

struct ServerList {
  ServerListEntry* head;
  ServerListEntry* tail;
};

ServerList* NewServerList();
// Releases every entry and the list; a null list is ignored.
void FreeServerList(ServerList* list);
// Makes an entry holding a copy of text (cut at kMaxTokenLength characters).
ServerListEntry* NewServerEntry(const char* text, size_t length);
void FreeServerEntry(ServerListEntry* entry);
void PushFront(ServerList* list, ServerListEntry* entry);
void PushBack(ServerList* list, ServerListEntry* entry);
// Remove and hand over the last / first entry; nullptr when empty (or list null).
ServerListEntry* TakeBack(ServerList* list);
ServerListEntry* TakeFront(ServerList* list);
bool IsEmpty(const ServerList* list);
