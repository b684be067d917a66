#pragma once
// Shared pieces of the update and callback tests: scratch directories, files,
// profiles and update pages, the shared lists.
#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/shared_state.h"
#include "profile/profile_codec.h"
#include "runtime/server_list.h"

namespace qvtest {

class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qvupdate-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) path_ = buffer.data();
  }
  ~ScratchDir() {
    if (!path_.empty() && std::system(("rm -rf '" + path_ + "'").c_str()) != 0) {
    }
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(path_.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
      }
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The data.vpn text of a plain profile.
inline std::string Profile(const std::string& plain) {
  std::string dataVpn, error;
  if (!EncodeProfile(plain, &dataVpn, &error)) return "encode failed: " + error;
  return dataVpn;
}

// Line 1 and the CRC digits of a data.vpn text.
inline std::string ProfileLine(const std::string& dataVpn) { return dataVpn.substr(0, dataVpn.find('\n')); }
inline std::string ProfileCrc(const std::string& dataVpn) {
  size_t lf = dataVpn.find('\n');
  return dataVpn.substr(lf + 1, dataVpn.find_first_not_of("0123456789", lf + 1) - lf - 1);
}

// The block of an update page: the Base64 line cut into lines of width.
inline std::string Block(const std::string& dataVpn, size_t width = 64, const std::string& crc = "") {
  std::string line = ProfileLine(dataVpn);
  std::string block = "<!--\n";
  for (size_t p = 0; p < line.size(); p += width) block += line.substr(p, width) + "\n";
  return block + "!!" + (crc.empty() ? ProfileCrc(dataVpn) : crc) + "-->\n";
}

inline std::string Page(const std::string& dataVpn) {
  return "<!DOCTYPE html>\n<html><body>\n<p>A newer profile.</p>\n" + Block(dataVpn) + "</body></html>\n";
}

inline std::vector<std::string> Entries(const ServerList* list) {
  std::vector<std::string> texts;
  for (const ServerListEntry* e = list ? list->head : nullptr; e; e = e->next) texts.push_back(e->text);
  std::sort(texts.begin(), texts.end());
  return texts;
}

inline void FillList(ServerList* list, const std::vector<std::string>& texts) {
  for (const std::string& t : texts) PushBack(list, NewServerEntry(t.c_str(), t.size()));
}

// Fresh shared lists holding the given entries.
inline void ResetSharedLists(const std::vector<std::string>& servers, const std::vector<std::string>& urls) {
  FreeSharedLists();
  CreateSharedLists();
  std::lock_guard<std::mutex> lock(ListsLock);
  FillList(Servers, servers);
  FillList(UpdateUrls, urls);
}

inline std::vector<std::string> SharedServers() {
  std::lock_guard<std::mutex> lock(ListsLock);
  return Entries(Servers);
}
inline std::vector<std::string> SharedUrls() {
  std::lock_guard<std::mutex> lock(ListsLock);
  return Entries(UpdateUrls);
}

// Counts finished update workers (the done hook) and lets a test wait for them.
class WorkerCounter {
 public:
  static void Hook(void* self) { static_cast<WorkerCounter*>(self)->Done(); }
  void Done() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  bool WaitFor(int count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return count_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

}  // namespace qvtest
