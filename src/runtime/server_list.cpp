#include "runtime/server_list.h"

#include <cstring>

ServerList* NewServerList() { return new ServerList{nullptr, nullptr}; }

void FreeServerList(ServerList* list) {
  if (!list) return;
  while (ServerListEntry* entry = TakeFront(list)) FreeServerEntry(entry);
  delete list;
}

ServerListEntry* NewServerEntry(const char* text, size_t length) {
  if (length > kMaxTokenLength) length = kMaxTokenLength;
  auto* entry = new ServerListEntry;
  entry->prev = entry->next = nullptr;
  std::memcpy(entry->text, text, length);
  entry->text[length] = '\0';
  return entry;
}

void FreeServerEntry(ServerListEntry* entry) { delete entry; }

void PushFront(ServerList* list, ServerListEntry* entry) {
  entry->prev = nullptr;
  entry->next = list->head;
  if (list->head)
    list->head->prev = entry;
  else
    list->tail = entry;
  list->head = entry;
}

void PushBack(ServerList* list, ServerListEntry* entry) {
  entry->next = nullptr;
  entry->prev = list->tail;
  if (list->tail)
    list->tail->next = entry;
  else
    list->head = entry;
  list->tail = entry;
}

ServerListEntry* TakeBack(ServerList* list) {
  if (!list || !list->tail) return nullptr;
  ServerListEntry* entry = list->tail;
  list->tail = entry->prev;
  if (list->tail)
    list->tail->next = nullptr;
  else
    list->head = nullptr;
  entry->prev = entry->next = nullptr;
  return entry;
}

ServerListEntry* TakeFront(ServerList* list) {
  if (!list || !list->head) return nullptr;
  ServerListEntry* entry = list->head;
  list->head = entry->next;
  if (list->head)
    list->head->prev = nullptr;
  else
    list->tail = nullptr;
  entry->prev = entry->next = nullptr;
  return entry;
}

bool IsEmpty(const ServerList* list) { return !list || !list->head; }
