// quorvanta-reg as the installer and administrators run it.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace {

const std::string kReg = QV_BINARY_DIR "/tools/reg/quorvanta-reg";

class RegToolTest : public ::testing::Test {
 protected:
  qvtest::ProgramResult Reg(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kReg};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = {"QUORVANTA_REGISTRY=" + db_};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    return qvtest::RunProgram(argv, env);
  }
  qvtest::TempDir dir_;
  std::string db_ = dir_ / "var/registry.db";
};

TEST_F(RegToolTest, SetGetDeleteRoundTrip) {
  EXPECT_EQ(Reg({"get", "HKLM\\SOFTWARE\\Quorvanta", "@"}).status, 1);
  EXPECT_EQ(Reg({"set", "HKLM\\Software\\Quorvanta", "@", "REG_SZ", "/opt/quorvanta"}).status, 0);
  EXPECT_EQ(Reg({"set", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta", "count", "REG_DWORD", "0x1F"}).status, 0);
  EXPECT_EQ(Reg({"set", "SOFTWARE\\Quorvanta", "max", "REG_DWORD", "4294967295"}).status, 0);

  EXPECT_EQ(Reg({"get", "SOFTWARE\\QUORVANTA", "@"}).out, "/opt/quorvanta\n");
  EXPECT_EQ(Reg({"get", "hklm\\SOFTWARE\\Quorvanta", "COUNT"}).out, "31\n");
  EXPECT_EQ(Reg({"get", "SOFTWARE\\Quorvanta", "max"}).out, "4294967295\n");

  EXPECT_EQ(Reg({"delete", "SOFTWARE\\Quorvanta", "count"}).status, 0);
  auto gone = Reg({"get", "SOFTWARE\\Quorvanta", "count"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.out, "");
  EXPECT_NE(gone.err.find("count"), std::string::npos);
  EXPECT_EQ(Reg({"delete", "SOFTWARE\\Quorvanta", "count"}).status, 1);

  EXPECT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\Quorvanta"}).status, 0);
  EXPECT_EQ(Reg({"get", "SOFTWARE\\Quorvanta", "@"}).status, 1);
}

TEST_F(RegToolTest, BadUsageExitsTwoWithTheUsageLine) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"get", "SOFTWARE\\Quorvanta"},
      {"set", "SOFTWARE\\Quorvanta", "x", "REG_BINARY", "00"},
      {"set", "SOFTWARE\\Quorvanta", "x", "REG_DWORD", "4294967296"},
      {"set", "SOFTWARE\\Quorvanta", "x", "REG_DWORD", "-1"},
      {"set", "SOFTWARE\\Quorvanta", "x", "REG_DWORD", "12abc"},
      {"set", "SOFTWARE\\Quorvanta", "x", "REG_DWORD", "0x"},
  };
  for (const auto& args : bad) {
    auto result = Reg(args);
    SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
    EXPECT_EQ(result.status, 2);
    EXPECT_FALSE(result.err.empty());
  }
  EXPECT_NE(Reg({}).err.find("usage: quorvanta-reg"), std::string::npos);
  EXPECT_NE(access(db_.c_str(), F_OK), 0);  // nothing was written
}

TEST_F(RegToolTest, SeedsMachineIdOnceFromTheMachineIdFile) {
  const std::string idFile = dir_ / "machine-id";
  std::ofstream(idFile) << "3D1219C7C4C5404AAA1F6D2A48ADFDA4\n";
  auto seeded = Reg({"seed-machine-id", idFile});
  EXPECT_EQ(seeded.status, 0) << seeded.err;
  EXPECT_EQ(Reg({"get", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid"}).out,
            "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4\n");

  // An existing identity is kept: the machine's VPN login must not change.
  std::ofstream(idFile) << "00000000000000000000000000000000\n";
  EXPECT_EQ(Reg({"seed-machine-id", idFile}).status, 0);
  EXPECT_EQ(Reg({"get", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid"}).out,
            "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4\n");

  EXPECT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid"}).status, 0);
  std::ofstream(idFile) << "not-a-machine-id\n";
  auto bad = Reg({"seed-machine-id", idFile});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find(idFile), std::string::npos);
  auto missing = Reg({"seed-machine-id", dir_ / "nope"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(Reg({"get", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid"}).status, 1);
}

TEST_F(RegToolTest, UnwritableRegistryIsReportedNotIgnored) {
  EXPECT_EQ(Reg({"set", "SOFTWARE\\Quorvanta", "@", "REG_SZ", "/opt/q"}).status, 0);
  ASSERT_EQ(chmod(db_.c_str(), 0444), 0);
  ASSERT_EQ(chmod((dir_ / "var").c_str(), 0555), 0);
  std::vector<std::string> argv = {kReg, "set", "SOFTWARE\\Quorvanta", "x", "REG_SZ", "y"};
  auto result = qvtest::RunProgram(argv, {"QUORVANTA_REGISTRY=" + db_}, /*unprivileged=*/true);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find(db_), std::string::npos);
  EXPECT_EQ(Reg({"get", "SOFTWARE\\Quorvanta", "x"}).status, 1);
}

}  // namespace
