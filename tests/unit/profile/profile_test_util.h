#pragma once
// Temporary profile files and list snapshots for the profile tests.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "runtime/server_list.h"

namespace profile_test {

inline std::filesystem::path NewTempDir(const char* tag) {
  static std::mt19937_64 rng{std::random_device{}()};
  auto dir = std::filesystem::temp_directory_path() / (std::string("qv-") + tag + "-" + std::to_string(rng()));
  std::filesystem::create_directories(dir);
  return dir;
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Front to back.
inline std::vector<std::string> Entries(const ServerList* list) {
  std::vector<std::string> out;
  for (const ServerListEntry* e = list ? list->head : nullptr; e; e = e->next) out.emplace_back(e->text);
  return out;
}

// Checks the links both ways; returns the count.
inline size_t CheckedCount(const ServerList* list) {
  size_t n = 0;
  const ServerListEntry* prev = nullptr;
  for (const ServerListEntry* e = list->head; e; e = e->next, ++n) {
    if (e->prev != prev) return static_cast<size_t>(-1);
    prev = e;
  }
  return prev == list->tail ? n : static_cast<size_t>(-1);
}

inline std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

struct TempDir {
  std::filesystem::path path;
  explicit TempDir(const char* tag) : path(NewTempDir(tag)) {}
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string File(const char* name) const { return (path / name).string(); }
};

}  // namespace profile_test
