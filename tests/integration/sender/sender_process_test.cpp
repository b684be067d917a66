// CrashSender1402 as a crashing process starts it: the report folder, the
// backtrace of the waiting process, the release through the event, queued
// reports, hostile blocks, and the upload to a loopback server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/named_event.h"
#include "platform/object_name_linux.h"
#include "platform/registry.h"
#include "platform/shared_memory.h"
#include "support/child_process.h"
#include "integration/sender/upload_server.h"
#include "support/crash_block_builder.h"

namespace {

using qvtest::CrashBlockBuilder;
using qvtest::UploadServer;

const std::string kSender = std::string(QV_BINARY_DIR) + "/frontend/CrashSender1402";
constexpr size_t kBlockBytes = 10485760;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string NewGuid(int n) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-1402-4000-8000-%012x", static_cast<unsigned>(getpid()), n);
  return text;
}

class SenderProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace_ = "-sendertest" + std::to_string(getpid());
    setenv("QUORVANTA_OBJECT_NAMESPACE", namespace_.c_str(), 1);
    setenv("QUORVANTA_REGISTRY", (dir_ / "registry.db").c_str(), 1);
    save_ = dir_ / "data/CrashReport/UnsentCrashReports/Quorvanta GUI_0.0.8";
  }
  void TearDown() override {
    for (const std::string& name : events_) platform::RemoveNamedEvent(name.c_str());
    unsetenv("QUORVANTA_OBJECT_NAMESPACE");
    unsetenv("QUORVANTA_REGISTRY");
  }

  std::vector<std::string> Env(const std::vector<std::string>& extra = {}) const {
    std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=" + dir_.path(), "XDG_DATA_HOME=" + (dir_ / "data"),
                                    "QUORVANTA_OBJECT_NAMESPACE=" + namespace_,
                                    "QUORVANTA_REGISTRY=" + (dir_ / "registry.db")};
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
  }

  std::string Folder(const std::string& guid) const { return save_ + "/" + guid; }
  std::string EventName(const std::string& guid) {
    const std::string name = "Local\\CrashReportEvent_" + guid;
    events_.push_back(name);
    events_.push_back(name + "_2");
    return name;
  }

  // The block in shared memory, as the crashing process leaves it.
  std::unique_ptr<platform::SharedMemory> Publish(const std::string& name, CrashBlockBuilder& b) {
    auto memory = platform::SharedMemory::Create(name.c_str(), kBlockBytes);
    if (memory) std::memcpy(memory->Data(), b.bytes().data(), b.bytes().size());
    return memory;
  }

  // A crash of a process that is not the sender's parent: no backtrace is read.
  CrashBlockBuilder Crash(const std::string& guid, const std::string& url = "") {
    auto b = CrashBlockBuilder::Standard(guid, save_, url);
    b.SetCrash(1, 1, 11, 0, 11, 1, 0);
    return b;
  }

  qvtest::TempDir dir_;
  std::string namespace_;
  std::string save_;
  std::vector<std::string> events_;
};

struct ChildSetup {
  std::string blockName;
  std::string eventName;
  std::vector<std::string> env;
  CrashBlockBuilder block;
};

// The frame the backtrace must name: the child waits here as a crashed handler would.
__attribute__((noinline)) std::string SenderTestCrashedFunction(ChildSetup& setup) {
  setup.block.SetCrash(static_cast<uint32_t>(getpid()), static_cast<int32_t>(syscall(SYS_gettid)), 0, 0xC0000005, 11, 1,
                       0);
  auto memory = platform::SharedMemory::Create(setup.blockName.c_str(), kBlockBytes);
  auto event = platform::NamedEvent::Create(setup.eventName.c_str(), platform::EventReset::Auto, false);
  if (!memory || !event) return "no block";
  std::memcpy(memory->Data(), setup.block.bytes().data(), setup.block.bytes().size());
  // A child that gave up root is not dumpable; an ordinary user's program is.
  prctl(PR_SET_DUMPABLE, 1);
  qvtest::Program program = qvtest::StartProgram({kSender, setup.blockName}, setup.env);
  prctl(PR_SET_PTRACER, program.pid);
  const bool released = event->Wait(10000);
  qvtest::ProgramResult result = qvtest::FinishProgram(program);
  platform::RemoveNamedEvent(setup.eventName.c_str());
  asm volatile("" ::: "memory");  // keeps this frame from becoming a tail call
  return std::string(released ? "released" : "not released") + " exit " + std::to_string(result.status) + "\n" +
         result.err;
}

TEST_F(SenderProcess, CrashedProcessGetsAReportFolderWithItsBacktraceFilesAndKeys) {
  const std::string guid = NewGuid(1);
  platform::RegKey* key = platform::RegCreateKey("SOFTWARE\\Quorvanta");
  ASSERT_NE(key, nullptr);
  ASSERT_TRUE(platform::RegSetValue(key, "config_dir", platform::kRegSz, "/etc/quorvanta", 15));
  platform::RegCloseKey(key);
  const std::string log = dir_ / "app.log";
  std::ofstream(log) << "log line\n";
  std::ofstream(dir_ / "one.txt") << "1";
  std::ofstream(dir_ / "two.txt") << "2";
  mkfifo((dir_ / "pipe.log").c_str(), 0600);

  // A debug-info server named by the environment is never asked.
  UploadServer debugInfo(404);
  std::string url = debugInfo.Url();
  url = url.substr(0, url.find("/crash"));
  ChildSetup setup{guid, EventName(guid), Env({"DEBUGINFOD_URLS=" + url}), CrashBlockBuilder::Standard(guid, save_)};
  setup.block.AddFile(log, "app.log", "the log");
  setup.block.AddFile(dir_ / "*.txt", "*.txt", "");
  setup.block.AddFile(log, "../escaped.log", "");
  setup.block.AddFile(log, "report.txt", "");
  setup.block.AddFile(dir_ / "pipe.log", "pipe.log", "");
  setup.block.AddFile(dir_ / "missing.log", "missing.log", "", 0, 0);
  setup.block.AddProperty("Server", "nl-1");
  setup.block.AddKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta", "quorvanta.reg");
  setup.block.AddKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta", "../../key.reg");

  qvtest::ChildResult child = qvtest::RunInChild([&] { return SenderTestCrashedFunction(setup); });
  ASSERT_EQ(child.output.rfind("released exit 0", 0), 0u) << child.output;

  const std::string folder = Folder(guid);
  const std::string report = ReadFile(folder + "/report.txt");
  EXPECT_NE(report.find("Application: Quorvanta GUI"), std::string::npos) << report;
  EXPECT_NE(report.find("Crash type: 0 (structured exception)"), std::string::npos);
  EXPECT_NE(report.find("Exception code: 0xC0000005 (access violation)"), std::string::npos);
  EXPECT_NE(report.find("Signal: 11 (SIGSEGV)"), std::string::npos);
  EXPECT_NE(report.find("Server = nl-1"), std::string::npos);
  EXPECT_NE(report.find("\"config_dir\"=\"/etc/quorvanta\""), std::string::npos);

  const std::string backtrace = ReadFile(folder + "/backtrace.txt");
  EXPECT_NE(backtrace.find("(crashed)"), std::string::npos) << backtrace;
  EXPECT_NE(backtrace.find("SenderTestCrashedFunction"), std::string::npos) << backtrace;

  EXPECT_EQ(ReadFile(folder + "/app.log"), "log line\n");
  EXPECT_EQ(ReadFile(folder + "/one.txt"), "1");
  EXPECT_EQ(ReadFile(folder + "/two.txt"), "2");
  EXPECT_NE(ReadFile(folder + "/quorvanta.reg").find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta]"), std::string::npos);
  // Nothing outside the folder, no FIFO, and the report's own names kept.
  EXPECT_FALSE(Exists(save_ + "/escaped.log"));
  EXPECT_FALSE(Exists(save_ + "/key.reg"));
  EXPECT_FALSE(Exists(folder + "/pipe.log"));
  EXPECT_FALSE(Exists(folder + "/missing.log"));
  EXPECT_NE(report.find("../escaped.log <- " + log + ": refused"), std::string::npos) << report;
  EXPECT_NE(report.find("report.txt <- " + log + ": refused"), std::string::npos);
  EXPECT_NE(report.find("pipe.log <- "), std::string::npos);
  EXPECT_NE(report.find("missing.log <- "), std::string::npos);
  EXPECT_FALSE(Exists(folder + "/screenshot.png"));
  EXPECT_TRUE(debugInfo.Requests().empty());
}

TEST_F(SenderProcess, AnOrdinaryUserGetsTheReportAndBacktraceOfItsOwnProcess) {
  const std::string home = dir_ / "user";
  ASSERT_EQ(mkdir(home.c_str(), 0777), 0);
  ASSERT_EQ(chmod(home.c_str(), 0777), 0);
  const std::string save = home + "/data/CrashReport/UnsentCrashReports/Quorvanta GUI_0.0.8";
  const std::string guid = NewGuid(15);
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=" + home, "XDG_DATA_HOME=" + home + "/data",
                                  "QUORVANTA_OBJECT_NAMESPACE=" + namespace_,
                                  "QUORVANTA_REGISTRY=" + home + "/registry.db"};
  ChildSetup setup{guid, "Local\\CrashReportEvent_" + guid, env, CrashBlockBuilder::Standard(guid, save)};
  qvtest::ChildResult child =
      qvtest::RunInChild([&] { return SenderTestCrashedFunction(setup); }, /*unprivileged=*/true);
  ASSERT_EQ(child.output.rfind("released exit 0", 0), 0u) << child.output;
  const std::string folder = save + "/" + guid;
  EXPECT_NE(ReadFile(folder + "/report.txt").find("Crash type: 0"), std::string::npos);
  EXPECT_NE(ReadFile(folder + "/backtrace.txt").find("SenderTestCrashedFunction"), std::string::npos)
      << ReadFile(folder + "/backtrace.txt");
  struct stat st;
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(SenderProcess, HostileOrBrokenBlocksWriteNothingAndNeverKeepTheProcessWaiting) {
  // A GUID that is a path: refused before anything is made.
  auto traversal = CrashBlockBuilder::Standard("../../../../escape", save_);
  traversal.SetCrash(1, 1, 11, 0, 11, 1, 0);
  auto m1 = Publish("hostile-1", traversal);
  ASSERT_NE(m1, nullptr);
  auto r = qvtest::RunProgram({kSender, "hostile-1"}, Env());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_FALSE(Exists(dir_ / "data"));
  EXPECT_FALSE(Exists(dir_ / "escape"));

  // A relative save directory: no report, but the process is released.
  const std::string guid = NewGuid(2);
  auto event = platform::NamedEvent::Create(EventName(guid).c_str(), platform::EventReset::Auto, false);
  auto relative = CrashBlockBuilder::Standard(guid, "relative/dir");
  relative.SetCrash(1, 1, 11, 0, 11, 1, 0);
  auto m2 = Publish("hostile-2", relative);
  r = qvtest::RunProgram({kSender, "hostile-2"}, Env());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(event->Wait(0));
  EXPECT_FALSE(Exists(dir_ / "relative"));

  // No block, a name with a slash, a wrong command line.
  EXPECT_EQ(qvtest::RunProgram({kSender, "no-such-block"}, Env()).status, 1);
  EXPECT_EQ(qvtest::RunProgram({kSender, "a/b"}, Env()).status, 1);
  EXPECT_EQ(qvtest::RunProgram({kSender}, Env()).status, 2);
  EXPECT_EQ(qvtest::RunProgram({kSender, "a", "b"}, Env()).status, 2);

  // A block another user planted under our name is not read.
  auto planted = Crash(NewGuid(3));
  auto m3 = Publish("planted", planted);
  char path[512];
  bool global = false;
  ASSERT_TRUE(platform::ObjectPath("planted", platform::ObjectKind::Memory, path, sizeof path, &global));
  ASSERT_EQ(chown(path, qvtest::kNobody, qvtest::kNobody), 0);
  r = qvtest::RunProgram({kSender, "planted"}, Env());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not the user's own"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(dir_ / "data"));
}

TEST_F(SenderProcess, QueuedModeReleasesAtOnceAndListsOnlyUnsentReports) {
  const std::string guid = NewGuid(4);
  auto event = platform::NamedEvent::Create(EventName(guid).c_str(), platform::EventReset::Auto, false);
  auto queued = CrashBlockBuilder::Standard(guid, save_);
  queued.Put32(168, 1);
  auto memory = Publish(guid + "-tmp", queued);

  // Nothing queued: nothing listed, nothing shown.
  auto r = qvtest::RunProgram({kSender, guid + "-tmp"}, Env());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(event->Wait(0));

  const std::string app = save_ + "/";
  std::string error;
  for (const std::string& name : {NewGuid(10), NewGuid(11), NewGuid(12), std::string("not-a-guid")}) {
    ASSERT_EQ(system(("mkdir -p '" + app + name + "'").c_str()), 0);
    if (name != NewGuid(12)) std::ofstream(app + name + "/report.txt") << "report";
  }
  // One left where an earlier version put it is still offered.
  const std::string legacy = app + "Quorvanta GUI_0.0.8/" + NewGuid(13);
  ASSERT_EQ(system(("mkdir -p '" + legacy + "'").c_str()), 0);
  std::ofstream(legacy + "/report.txt") << "report";
  r = qvtest::RunProgram({kSender, guid + "-tmp"}, Env());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, app + NewGuid(10) + "\n" + app + NewGuid(11) + "\n" + legacy + "\n");
  EXPECT_TRUE(event->Wait(0));
}

TEST_F(SenderProcess, UploadSendsEveryFileAndMovesTheReportToSent) {
  UploadServer server(200);
  const std::string guid = NewGuid(5);
  auto b = Crash(guid, server.Url());
  b.AddProperty("Server", "nl-1");
  auto memory = Publish(guid, b);
  auto r = qvtest::RunProgram({kSender, guid}, Env({"QUORVANTA_CRASH_SEND=1"}));
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string sent = dir_ / "data/CrashReport/SentCrashReports/Quorvanta GUI_0.0.8/" + guid;
  EXPECT_FALSE(Exists(Folder(guid)));
  EXPECT_TRUE(Exists(sent + "/report.txt"));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string& request = requests[0];
  EXPECT_EQ(request.rfind("POST /crash/upload HTTP/1.1\r\n", 0), 0u) << request.substr(0, 200);
  EXPECT_NE(request.find("multipart/form-data; boundary="), std::string::npos);
  EXPECT_NE(request.find("name=\"report.txt\"; filename=\"report.txt\""), std::string::npos);
  EXPECT_NE(request.find("name=\"backtrace.txt\"; filename=\"backtrace.txt\""), std::string::npos);
  EXPECT_NE(request.find("Server = nl-1"), std::string::npos);
  EXPECT_NE(request.find(guid), std::string::npos);
}

TEST_F(SenderProcess, ARefusedOrImpossibleUploadKeepsTheReport) {
  UploadServer refusing(503);
  const std::string guid = NewGuid(6);
  auto b = Crash(guid, refusing.Url());
  auto memory = Publish(guid, b);
  auto r = qvtest::RunProgram({kSender, guid}, Env({"QUORVANTA_CRASH_SEND=1"}));
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("503"), std::string::npos) << r.err;
  EXPECT_TRUE(Exists(Folder(guid) + "/report.txt"));
  EXPECT_EQ(refusing.Requests().size(), 1u);

  // Nobody listening.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
  close(probe);
  const std::string guid2 = NewGuid(7);
  auto closed = Crash(guid2, "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/up");
  auto memory2 = Publish(guid2, closed);
  r = qvtest::RunProgram({kSender, guid2}, Env({"QUORVANTA_CRASH_SEND=1"}));
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Exists(Folder(guid2) + "/report.txt"));

  // Not a web address: never fetched as a file.
  const std::string guid3 = NewGuid(8);
  auto file = Crash(guid3, "file:///etc/passwd");
  auto memory3 = Publish(guid3, file);
  r = qvtest::RunProgram({kSender, guid3}, Env({"QUORVANTA_CRASH_SEND=1"}));
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Exists(Folder(guid3) + "/report.txt"));
}

TEST_F(SenderProcess, NoConsentOrTheDontSendFlagKeepsTheReportUnsent) {
  UploadServer server(200);
  const std::string guid = NewGuid(9);
  auto b = Crash(guid, server.Url());
  b.Put32(28, 0x43FFF | 0x8000);
  auto memory = Publish(guid, b);
  auto r = qvtest::RunProgram({kSender, guid}, Env({"QUORVANTA_CRASH_SEND=1"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Exists(Folder(guid) + "/report.txt"));

  // Headless without consent: kept, nothing asked.
  const std::string guid2 = NewGuid(13);
  auto quiet = Crash(guid2, server.Url());
  auto memory2 = Publish(guid2, quiet);
  r = qvtest::RunProgram({kSender, guid2}, Env());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Folder(guid2) + "\n");
  EXPECT_TRUE(Exists(Folder(guid2) + "/report.txt"));
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(SenderProcess, StoreArchivesKeepsTheReportAlsoAsOneZipFile) {
  const std::string guid = NewGuid(14);
  auto b = Crash(guid);
  b.Put32(28, 0x43FFF | 0x8000 | 0x80000);
  b.AddProperty("Server", "nl-1");
  auto memory = Publish(guid, b);
  auto r = qvtest::RunProgram({kSender, guid}, Env({"QUORVANTA_CRASH_SEND=1"}));
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string archive = Folder(guid) + ".zip";
  const std::string check =
      "import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
      "print(z.testzip(), sorted(z.namelist()), b'nl-1' in z.read('report.txt'))";
  auto listed = qvtest::RunProgram({"/usr/bin/python3", "-c", check, archive}, Env());
  EXPECT_EQ(listed.out, "None ['backtrace.txt', 'report.txt'] True\n") << listed.err;
  EXPECT_TRUE(Exists(Folder(guid) + "/report.txt"));
  // The archive is not taken for a queued report.
  b.Put32(168, 1);
  auto queued = Publish(guid + "-tmp", b);
  r = qvtest::RunProgram({kSender, guid + "-tmp"}, Env());
  EXPECT_EQ(r.out, Folder(guid) + "\n");
}

// A sender started for a video recording waits for the crash, then reports.
TEST_F(SenderProcess, VideoSenderWaitsForTheVideoEventThenReportsOrJustAcknowledges) {
  for (bool crash : {true, false}) {
    const std::string guid = NewGuid(crash ? 20 : 21);
    const std::string eventName = EventName(guid);
    auto b = CrashBlockBuilder::Standard(guid, save_);
    b.Put32(180, 1);
    qvtest::ChildResult child = qvtest::RunInChild([&]() -> std::string {
      auto memory = platform::SharedMemory::Create(guid.c_str(), kBlockBytes);
      auto main = platform::NamedEvent::Create(eventName.c_str(), platform::EventReset::Auto, false);
      auto video = platform::NamedEvent::Create((eventName + "_2").c_str(), platform::EventReset::Auto, false);
      if (!memory || !main || !video) return "no objects";
      b.Put32(128, static_cast<uint32_t>(getpid()));
      std::memcpy(memory->Data(), b.bytes().data(), b.bytes().size());
      qvtest::Program program = qvtest::StartProgram({kSender, guid}, Env());
      if (crash) {
        b.SetCrash(static_cast<uint32_t>(getpid()), 1, 7, 0, 6, -6, 0);
        std::memcpy(memory->Data(), b.bytes().data(), b.bytes().size());
      }
      video->Set();
      const bool released = main->Wait(10000);
      qvtest::ProgramResult result = qvtest::FinishProgram(program);
      return std::string(released ? "released" : "not released") + " exit " + std::to_string(result.status);
    });
    EXPECT_EQ(child.output, "released exit 0") << crash;
    EXPECT_EQ(Exists(Folder(guid) + "/report.txt"), crash);
    if (crash) {
      EXPECT_NE(ReadFile(Folder(guid) + "/report.txt").find("Crash type: 7 (SIGABRT)"), std::string::npos);
    }
  }
}

}  // namespace
