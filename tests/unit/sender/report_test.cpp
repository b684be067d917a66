// The report's folder names and texts.
#include <gtest/gtest.h>

#include "crash_block.h"
#include "report.h"
#include "support/crash_block_builder.h"

namespace {

using sender::CrashBlock;

constexpr const char* kGuid = "0f8fad5b-d9cb-469f-a165-70867728950e";

CrashBlock Parsed(qvtest::CrashBlockBuilder& b) {
  CrashBlock block;
  std::string error;
  EXPECT_TRUE(sender::ParseCrashBlock(b.bytes().data(), b.bytes().size(), &block, &error)) << error;
  return block;
}

// The save directory already names the application and its version.
TEST(ReportFolders, FolderIsSaveDirectoryAndGuid) {
  auto b = qvtest::CrashBlockBuilder::Standard(kGuid, "/data/CrashReport/UnsentCrashReports/Quorvanta GUI_0.0.8/");
  CrashBlock block = Parsed(b);
  EXPECT_EQ(sender::ReportFolder(block),
            std::string("/data/CrashReport/UnsentCrashReports/Quorvanta GUI_0.0.8/") + kGuid);

  auto named = qvtest::CrashBlockBuilder::Standard(kGuid, "/data/r");
  named.SetString(qvtest::CrashBlockBuilder::kAppName, "../../..");
  named.SetString(qvtest::CrashBlockBuilder::kAppVersion, "/etc");
  block = Parsed(named);
  EXPECT_EQ(sender::ReportFolder(block), std::string("/data/r/") + kGuid);
}

TEST(ReportFolders, SentReportsLeaveTheUnsentFolder) {
  EXPECT_EQ(sender::SentFolder("/d/CrashReport/UnsentCrashReports/A_1/A_1/g"),
            "/d/CrashReport/SentCrashReports/A_1/A_1/g");
  EXPECT_EQ(sender::SentFolder("/d/reports/A_1/g"), "/d/reports/A_1/SentCrashReports/g");
}

TEST(ReportText, DescribesTheCrashWithNamesForTypeCodeAndSignal) {
  auto b = qvtest::CrashBlockBuilder::Standard(kGuid, "/data/r");
  b.AddProperty("Server", "nl-1");
  b.AddProperty("Note", "line one\nCrash type: forged");
  b.SetCrash(77, 78, 0, 0xC0000005, 11, 1, 0x2a);
  CrashBlock block = Parsed(b);
  sender::ReportInputs inputs;
  inputs.time = 0;
  inputs.fileNotes.push_back("a.log <- /var/log/a.log: copied");
  const std::string text = sender::ReportText(block, inputs);
  EXPECT_NE(text.find("Application: Quorvanta GUI\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Version: 0.0.8\n"), std::string::npos);
  EXPECT_NE(text.find("Time: 1970-01-01 00:00:00 UTC\n"), std::string::npos);
  EXPECT_NE(text.find("Crash type: 0 (structured exception)\n"), std::string::npos);
  EXPECT_NE(text.find("Exception code: 0xC0000005 (access violation)\n"), std::string::npos);
  EXPECT_NE(text.find("Signal: 11 (SIGSEGV)\n"), std::string::npos);
  EXPECT_NE(text.find("Faulting address: 0x000000000000002A\n"), std::string::npos);
  EXPECT_NE(text.find("Thread: 78\n"), std::string::npos);
  EXPECT_NE(text.find("  Server = nl-1\n"), std::string::npos);
  EXPECT_NE(text.find("a.log <- /var/log/a.log: copied"), std::string::npos);
  // Outside text cannot add a line of its own.
  EXPECT_EQ(text.find("\nCrash type: forged"), std::string::npos);
}

TEST(ReportText, InvalidParameterAndFloatingPointCrashesCarryTheirFields) {
  auto b = qvtest::CrashBlockBuilder::Standard(kGuid, "/data/r");
  b.Put32(144, b.AddString("count > 0"));
  b.Put32(148, b.AddString("FormatText"));
  b.Put32(152, b.AddString("format.cpp"));
  b.Put32(156, 42);
  b.SetCrash(1, 1, 6, 0, 0, 0, 0);
  std::string text = sender::ReportText(Parsed(b), {});
  EXPECT_NE(text.find("Crash type: 6 (invalid parameter passed to a run-time function)"), std::string::npos);
  EXPECT_NE(text.find("Expression: count > 0\n"), std::string::npos);
  EXPECT_NE(text.find("Function: FormatText\n"), std::string::npos);
  EXPECT_NE(text.find("Source line: 42\n"), std::string::npos);
  EXPECT_NE(text.find("Signal: none\n"), std::string::npos);

  // kill -SEGV from outside: the address field holds the sender's pid, not an address.
  auto sent = qvtest::CrashBlockBuilder::Standard(kGuid, "/data/r");
  sent.SetCrash(1, 1, 11, 0, 11, 0, 0x3d02);
  text = sender::ReportText(Parsed(sent), {});
  EXPECT_NE(text.find("Faulting address: none (the signal was sent"), std::string::npos) << text;

  auto f = qvtest::CrashBlockBuilder::Standard(kGuid, "/data/r");
  f.Put32(160, 0x83);
  f.SetCrash(1, 1, 8, 0, 8, 0, 0);
  text = sender::ReportText(Parsed(f), {});
  EXPECT_NE(text.find("Crash type: 8 (SIGFPE)"), std::string::npos);
  EXPECT_NE(text.find("Floating-point subcode: 0x00000083"), std::string::npos);
}

TEST(ReportText, EveryCrashTypeHasItsName) {
  const char* expected[] = {"structured exception",
                            "terminate() called",
                            "unexpected() called",
                            "pure virtual function called",
                            "operator new or heap allocation failed",
                            "reserved",
                            "invalid parameter passed to a run-time function",
                            "SIGABRT",
                            "SIGFPE",
                            "SIGILL",
                            "SIGINT",
                            "SIGSEGV",
                            "SIGTERM"};
  for (int type = 0; type <= 12; ++type) EXPECT_STREQ(sender::CrashTypeName(type), expected[type]);
  EXPECT_STREQ(sender::CrashTypeName(13), "unknown crash type");
  EXPECT_STREQ(sender::CrashTypeName(-1), "unknown crash type");
  EXPECT_STREQ(sender::ExceptionCodeName(0xC00000FD), "stack overflow");
  EXPECT_STREQ(sender::ExceptionCodeName(0xC0000094), "integer divide by zero");
  EXPECT_EQ(sender::ExceptionCodeName(123), nullptr);
}

TEST(ReportText, RegistryKeysAreWrittenInExportStyle) {
  sender::RegistryDump dump;
  dump.keyPath = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta";
  dump.found = true;
  dump.values.push_back({"", 1, std::string("C:\\dir\0", 7)});
  dump.values.push_back({"count", 4, std::string("\x0a\x00\x00\x00", 4)});
  dump.values.push_back({"say \"hi\"", 1, "a\nb"});
  dump.values.push_back({"blob", 3, "\x01\xff"});
  EXPECT_EQ(sender::RegistryText(dump),
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta]\n"
            "@=\"C:\\\\dir\"\n"
            "\"count\"=dword:0000000a\n"
            "\"say \\\"hi\\\"\"=\"a\\x0ab\"\n"
            "\"blob\"=hex(3):01,ff\n");
  dump.found = false;
  EXPECT_EQ(sender::RegistryText(dump),
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta]\n; the key does not exist or cannot be read\n");
}

}  // namespace
