// Letting go of code and read-only pages: everything the program loaded keeps
// working afterwards, relocated data included, and the pages are given back.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/memory.h"

namespace {

// Read-only data of this program, and relocated data (a table of pointers).
const char kText[] = "The quick brown fox jumps over the lazy dog";
const char* const kWords[] = {"alpha", "beta", "gamma"};

struct Shape {
  virtual ~Shape() = default;
  virtual int Corners() const = 0;
};
struct Square : Shape {
  int Corners() const override { return 4; }
};
struct Triangle : Shape {
  int Corners() const override { return 3; }
};

// kB of this process's resident file-backed, clean pages.
long CleanFileRss() {
  std::ifstream rollup("/proc/self/smaps_rollup");
  std::string line;
  long shared = 0, priv = 0;
  while (std::getline(rollup, line)) {
    std::istringstream in(line);
    std::string key;
    long value = 0;
    in >> key >> value;
    if (key == "Shared_Clean:") shared = value;
    if (key == "Private_Clean:") priv = value;
  }
  return shared + priv;
}

unsigned Checksum(const char* data, size_t size) {
  unsigned sum = 0;
  for (size_t i = 0; i < size; ++i) sum = sum * 31 + static_cast<unsigned char>(data[i]);
  return sum;
}

TEST(ReleaseCodePages, CodeConstantsRelocatedDataAndLibrariesStillWork) {
  const unsigned before = Checksum(kText, sizeof kText);
  std::vector<std::unique_ptr<Shape>> shapes;
  shapes.push_back(std::make_unique<Square>());
  shapes.push_back(std::make_unique<Triangle>());
  std::function<int(int)> twice = [](int x) { return 2 * x; };

  for (int round = 0; round < 3; ++round) {
    platform::ReleaseCodePages();
    EXPECT_EQ(Checksum(kText, sizeof kText), before);
    EXPECT_STREQ(kWords[2], "gamma");
    EXPECT_EQ(shapes[0]->Corners() + shapes[1]->Corners(), 7);
    EXPECT_EQ(twice(21), 42);
    std::map<std::string, int> map{{"one", 1}, {"two", 2}};
    EXPECT_EQ(map.at("two"), 2);
    char text[64];
    std::snprintf(text, sizeof text, "%s %d %.2f", "x", 7, 1.5);
    EXPECT_STREQ(text, "x 7 1.50");
    EXPECT_EQ(std::strlen(kText), sizeof kText - 1);
  }
}

TEST(ReleaseCodePages, WorksWhileOtherThreadsRunAndLoadLibraries) {
  std::atomic<bool> stop{false};
  std::atomic<long> work{0};
  std::thread worker([&] {
    while (!stop) {
      std::string s = std::to_string(work.load()) + kWords[work % 3];
      work += static_cast<long>(s.size() > 0);
      work.notify_all();
    }
  });
  std::thread loader([&] {
    for (int i = 0; i < 20 && !stop; ++i) {
      void* library = dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
      if (library) dlclose(library);
    }
  });
  // The worker is under way before the pages go, however late a loaded machine starts it.
  work.wait(0);
  for (int i = 0; i < 20; ++i) platform::ReleaseCodePages();
  loader.join();
  // ...and still runs after they went.
  const long after = work.load();
  work.wait(after);
  stop = true;
  worker.join();
  EXPECT_GT(work.load(), after);
}

TEST(ReleaseCodePages, GivesCleanPagesBack) {
  const long before = CleanFileRss();
  platform::ReleaseCodePages();
  const long after = CleanFileRss();
  EXPECT_LT(after, before) << "no clean page was given back";
}

}  // namespace
