// quorvanta-profile as the vendor and the tests use it: the real binary.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "profile/profile.h"
#include "runtime/server_list.h"
#include "unit/profile/profile_test_util.h"

namespace {

using profile_test::Entries;
using profile_test::ReadFile;
using profile_test::Sorted;
using profile_test::TempDir;
using profile_test::WriteFile;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

struct ToolRun {
  int exitCode;
  std::string out;
  std::string err;
};

class ProfileToolTest : public ::testing::Test {
 protected:
  TempDir dir{"profile-tool"};

  // Runs the tool with args (already quoted), stdin from the text given.
  ToolRun Tool(const std::string& args, const std::string& input = "") {
    std::string in = dir.File("stdin"), out = dir.File("stdout"), err = dir.File("stderr");
    WriteFile(in, input);
    std::string command =
        std::string("'") + QV_PROFILE_TOOL + "' " + args + " <'" + in + "' >'" + out + "' 2>'" + err + "'";
    int status = std::system(command.c_str());
    return ToolRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
  }

  std::string Quoted(const std::string& path) { return "'" + path + "'"; }
};

// The block reading of the update download, line by line with a 256-byte
// buffer, up to the copy into the temporary file.
std::string ExtractBlocks(const std::string& pagePath) {
  std::FILE* page = std::fopen(pagePath.c_str(), "r");
  if (!page) return {};
  char line[256];
  std::string out;
  bool inBlock = false;
  while (std::fgets(line, sizeof line, page)) {
    size_t length = std::strlen(line);
    if (!inBlock) {
      inBlock = std::strcmp(line, "<!--\n") == 0;
      continue;
    }
    if (length >= 2 && line[0] == '!' && line[1] == '!') {
      out += '\n';
      if (length >= 5) out.append(line + 2, length - 5);
      inBlock = false;
      continue;
    }
    out.append(line, line[length - 1] == '\n' ? length - 1 : length);
  }
  std::fclose(page);
  return out;
}

const char kPlain[] =
    "  srv1.example:1194:udp\n\n\tsrv2.example:443:tcp:mask \r\n"
    "<---->\r\nhttp://upd.example/one   http://upd.example/two\n\n";

TEST_F(ProfileToolTest, EncodedProfileLoadsInTheProgram) {
  ToolRun encoded = Tool("encode", kPlain);
  ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
  std::string path = dir.File("data.vpn");
  WriteFile(path, encoded.out);
  ServerList* servers = NewServerList();
  ServerList* urls = NewServerList();
  EXPECT_EQ(LoadProfile(path.c_str(), servers, urls), kProfileOk);
  EXPECT_EQ(Sorted(Entries(servers)), Sorted({"srv1.example:1194:udp", "srv2.example:443:tcp:mask"}));
  EXPECT_EQ(Sorted(Entries(urls)), Sorted({"http://upd.example/one", "http://upd.example/two"}));
  FreeServerList(servers);
  FreeServerList(urls);

  ToolRun decoded = Tool("decode " + Quoted(path));
  EXPECT_EQ(decoded.exitCode, 0);
  EXPECT_EQ(decoded.out,
            "srv1.example:1194:udp srv2.example:443:tcp:mask <----> http://upd.example/one http://upd.example/two\n");
}

TEST_F(ProfileToolTest, EncodeRefusesWhatCouldNotLoadBack) {
  EXPECT_EQ(Tool("encode", " \n\t\n").exitCode, 1);
  EXPECT_EQ(Tool("encode", "ok " + std::string(kMaxTokenLength + 1, 'h')).exitCode, 1);
  EXPECT_EQ(Tool("encode", std::string("a\0b", 3)).exitCode, 1);
  ToolRun longest = Tool("encode", std::string(kMaxTokenLength, 'h'));
  EXPECT_EQ(longest.exitCode, 0);
}

TEST_F(ProfileToolTest, DecodeJudgesLikeTheLoaderAndNeverTouchesTheFile) {
  std::string path = dir.File("data.vpn");
  std::string good = Tool("encode", kPlain).out;
  std::string bad = good;
  bad[0] = bad[0] == 'A' ? 'B' : 'A';
  const struct {
    std::string content;
    int exitCode;
  } cases[] = {{good, 0}, {bad, 2}, {"", 1}, {"\n123\n", 1}, {"QQ\n", 2}};
  for (const auto& c : cases) {
    WriteFile(path, c.content);
    ToolRun run = Tool("decode " + Quoted(path));
    EXPECT_EQ(run.exitCode, c.exitCode) << c.content;
    ASSERT_TRUE(fs::exists(path)) << c.content;
    EXPECT_EQ(ReadFile(path), c.content);
    if (c.exitCode) {
      EXPECT_FALSE(run.err.empty());
    }
  }
  EXPECT_EQ(Tool("decode " + Quoted(dir.File("absent"))).exitCode, 1);
}

TEST_F(ProfileToolTest, LoadPrintsBothListsWithTheLoadersResult) {
  std::string path = dir.File("data.vpn");
  WriteFile(path, Tool("encode", "s1:1:udp s2:2:tcp <----> http://u.example/").out);
  ToolRun run = Tool("load " + Quoted(path));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(run.out == "server s1:1:udp\nserver s2:2:tcp\nurl http://u.example/\n" ||
              run.out == "server s2:2:tcp\nserver s1:1:udp\nurl http://u.example/\n")
      << run.out;
  WriteFile(path, "\n");
  EXPECT_EQ(Tool("load " + Quoted(path)).exitCode, 1);
  EXPECT_FALSE(fs::exists(path)) << "load deletes like the program";
}

TEST_F(ProfileToolTest, PageCarriesTheProfileThroughTheUpdateReading) {
  std::string plain;
  for (int i = 0; i < 400; ++i) plain += "host" + std::to_string(i) + ".example:1194:udp ";
  plain += "<----> http://upd.example/next";
  std::string vpn = Tool("encode", plain).out;
  ToolRun page = Tool("page", vpn);
  ASSERT_EQ(page.exitCode, 0) << page.err;
  std::string pagePath = dir.File("page.html");
  WriteFile(pagePath, page.out);
  std::string extracted = dir.File("extracted.vpn");
  WriteFile(extracted, ExtractBlocks(pagePath));
  EXPECT_EQ(LoadProfile(extracted.c_str(), nullptr, nullptr), kProfileOk) << ReadFile(extracted);
  ServerList* servers = NewServerList();
  ServerList* urls = NewServerList();
  EXPECT_EQ(LoadProfile(extracted.c_str(), servers, urls), kProfileOk);
  EXPECT_EQ(Entries(servers).size(), 400u);
  EXPECT_EQ(Entries(urls), Strings{"http://upd.example/next"});
  FreeServerList(servers);
  FreeServerList(urls);
}

TEST_F(ProfileToolTest, PageRefusesABrokenProfile) {
  std::string vpn = Tool("encode", kPlain).out;
  vpn[1] = vpn[1] == 'A' ? 'B' : 'A';
  EXPECT_EQ(Tool("page", vpn).exitCode, 2);
  EXPECT_EQ(Tool("page", "\n0\n").exitCode, 1);
  EXPECT_EQ(Tool("page", "").exitCode, 1);
}

TEST_F(ProfileToolTest, BadArgumentsPrintUsage) {
  for (const char* args : {"", "frobnicate", "decode", "load", "encode extra", "decode a b"}) {
    ToolRun run = Tool(args);
    EXPECT_EQ(run.exitCode, 2) << args;
    EXPECT_NE(run.err.find("usage:"), std::string::npos) << args;
  }
}

}  // namespace
