// Replacing a file in steps: the copy beside the target is whole and flushed
// before the one rename that a lock needs to cover.
#include "platform/temp_file.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/child_process.h"

namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

int Entries(const std::string& dir) {
  int n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

TEST(StagedReplace, TheCopyIsBesideTheTargetWholeAndWithItsPermissions) {
  qvtest::TempDir source, target;
  std::string from = source / "data123";
  std::string to = target / "data.vpn";
  std::string bytes(200000, 'b');  // several reads' worth
  Write(from, bytes);
  Write(to, "old");
  ASSERT_EQ(chmod(to.c_str(), 0640), 0);

  char staged[512];
  ASSERT_TRUE(platform::StageBeside(from.c_str(), to.c_str(), staged, sizeof staged));
  EXPECT_EQ(std::string(staged).rfind(to + ".", 0), 0u) << staged;
  EXPECT_EQ(Read(staged), bytes);
  EXPECT_EQ(Read(to), "old");  // nothing replaced yet
  struct stat st;
  ASSERT_EQ(stat(staged, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(Read(from), bytes);  // the source is the caller's to remove

  ASSERT_TRUE(platform::MoveStaged(staged, to.c_str()));
  platform::SyncDirectoryOf(to.c_str());
  EXPECT_EQ(Read(to), bytes);
  EXPECT_EQ(Entries(target.path()), 1);
}

TEST(StagedReplace, FailuresLeaveTheTargetAndNothingElse) {
  qvtest::TempDir dir;
  std::string to = dir / "data.vpn";
  Write(to, "old");
  char staged[512];
  // No source.
  EXPECT_FALSE(platform::StageBeside((dir / "missing").c_str(), to.c_str(), staged, sizeof staged));
  // A target in a folder that does not exist.
  Write(dir / "new", "new");
  EXPECT_FALSE(platform::StageBeside((dir / "new").c_str(), (dir / "gone/data.vpn").c_str(), staged, sizeof staged));
  // A staged path that does not fit.
  char tiny[8];
  EXPECT_FALSE(platform::StageBeside((dir / "new").c_str(), to.c_str(), tiny, sizeof tiny));
  // A move whose staged file has gone.
  EXPECT_FALSE(platform::MoveStaged((dir / "data.vpn.none").c_str(), to.c_str()));
  EXPECT_EQ(Read(to), "old");
  EXPECT_EQ(Entries(dir.path()), 2);  // data.vpn and new
  // A new target takes the usual permissions rather than the temporary file's.
  std::string fresh = dir / "fresh.vpn";
  ASSERT_TRUE(platform::StageBeside((dir / "new").c_str(), fresh.c_str(), staged, sizeof staged));
  struct stat st;
  ASSERT_EQ(stat(staged, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  unlink(staged);
}

}  // namespace
