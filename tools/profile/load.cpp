// load: the program's own loading, printed in list order. Like the program,
// it deletes a profile that is empty or whose first line is empty.
#include <cstdio>
#include <string>

#include "commands.h"
#include "profile/profile.h"
#include "runtime/server_list.h"

namespace {

void Print(const char* kind, const ServerList* list, std::string* out) {
  for (const ServerListEntry* e = list->head; e; e = e->next) {
    *out += kind;
    *out += ' ';
    *out += e->text;
    *out += '\n';
  }
}

}  // namespace

int LoadCommand(const char* path) {
  ServerList* servers = NewServerList();
  ServerList* urls = NewServerList();
  int result = LoadProfile(path, servers, urls);
  std::string out;
  Print("server", servers, &out);
  Print("url", urls, &out);
  FreeServerList(servers);
  FreeServerList(urls);
  if (result != kProfileOk) {
    std::fprintf(stderr, "quorvanta-profile: %s: load failed with result %d\n", path, result);
    return result;
  }
  return WriteStandardOutput(out) ? 0 : 1;
}
