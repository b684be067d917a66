// data.vpn lives in a folder that the machine's users share: what a stranger
// can plant there under its name.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "profile/profile.h"
#include "profile/profile_codec.h"
#include "runtime/server_list.h"
#include "profile_test_util.h"

namespace {

using profile_test::TempDir;
using profile_test::WriteFile;
namespace fs = std::filesystem;

TEST(SharedProfileFolder, OnlyARegularFileOfBoundedSizeIsRead) {
  TempDir dir{"profile-shared"};
  const std::string path = dir.File("data.vpn");
  std::string good, error;
  ASSERT_TRUE(EncodeProfile("a.example:1194:udp\n<---->\nhttp://u.example/1", &good, &error)) << error;
  const std::string elsewhere = dir.File("elsewhere.vpn");
  WriteFile(elsewhere, good);

  // A FIFO would block the user-interface thread in open for ever.
  ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
  EXPECT_EQ(LoadProfile(path.c_str(), nullptr, nullptr), kProfileUnreadable);
  EXPECT_TRUE(fs::is_fifo(path)) << "what is not ours to read is not ours to delete";
  fs::remove(path);

  // A link may lead to any file the user can read.
  fs::create_symlink(elsewhere, path);
  EXPECT_EQ(LoadProfile(path.c_str(), nullptr, nullptr), kProfileUnreadable);
  EXPECT_TRUE(fs::is_symlink(path));
  fs::remove(path);

  // A sparse giant costs nothing to make and must cost nothing to refuse.
  WriteFile(path, good);
  ASSERT_EQ(truncate(path.c_str(), off_t{1} << 30), 0);
  EXPECT_EQ(LoadProfile(path.c_str(), nullptr, nullptr), kProfileUnreadable);
  EXPECT_TRUE(fs::exists(path));

  WriteFile(path, good);
  ServerList* servers = NewServerList();
  ServerList* urls = NewServerList();
  EXPECT_EQ(LoadProfile(path.c_str(), servers, urls), kProfileOk);
  EXPECT_FALSE(IsEmpty(servers));
  FreeServerList(servers);
  FreeServerList(urls);
}

}  // namespace
