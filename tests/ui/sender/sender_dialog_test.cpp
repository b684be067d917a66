// CrashSender1402 on a display: the crash dialog sends only when asked, the
// screenshot is taken, and queued reports are offered only when there are some.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/sender/upload_server.h"
#include "platform/shared_memory.h"
#include "support/child_process.h"
#include "support/crash_block_builder.h"
#include "ui/window/x_session.h"

namespace {

const std::string kSender = QV_BINARY_DIR "/frontend/CrashSender1402";

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new XEnvironment(true, false));

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> Find(const char* name) {
  std::string out = XSession::Run({"xdotool", "search", "--onlyvisible", "--name", name});
  std::vector<std::string> ids;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    if (end > start) ids.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  return ids;
}

bool WaitFound(const char* name, int ms = 15000) {
  for (int waited = 0; waited < ms; waited += 100) {
    if (!Find(name).empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// Presses keys in the dialog as a user would, after giving it the focus.
void Press(const char* name, const char* keys) {
  std::string id = Find(name)[0];
  XSession::Run({"xdotool", "windowactivate", "--sync", id.c_str()});
  XSession::Run({"xdotool", "key", keys});
}

class SenderDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUORVANTA_OBJECT_NAMESPACE", namespace_.c_str(), 1); }
  void TearDown() override { unsetenv("QUORVANTA_OBJECT_NAMESPACE"); }

  std::vector<std::string> Env() const {
    return {"PATH=/usr/bin:/bin",
            "HOME=" + dir_.path(),
            "XDG_DATA_HOME=" + dir_ / "data",
            "QUORVANTA_OBJECT_NAMESPACE=" + namespace_,
            "QUORVANTA_REGISTRY=" + dir_ / "registry.db",
            "DISPLAY=" + g_x->display(),
            "GDK_BACKEND=x11"};
  }
  std::string Guid(int n) const {
    char text[40];
    std::snprintf(text, sizeof text, "%08x-1402-4000-9000-%012x", static_cast<unsigned>(getpid()), n);
    return text;
  }
  std::string Folder(const std::string& guid) const { return save_ + "/" + guid; }
  std::unique_ptr<platform::SharedMemory> Publish(const std::string& name, qvtest::CrashBlockBuilder& b) {
    auto memory = platform::SharedMemory::Create(name.c_str(), 10485760);
    if (memory) std::memcpy(memory->Data(), b.bytes().data(), b.bytes().size());
    return memory;
  }
  // Waits for the sender's end, killing it after the bound.
  qvtest::ProgramResult Finish(qvtest::Program program) {
    bool ended = false;
    for (int i = 0; i < 150 && !ended; ++i) {
      siginfo_t info{};
      ended = waitid(P_PID, static_cast<id_t>(program.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
              info.si_pid == program.pid;
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!ended) kill(program.pid, SIGKILL);
    return qvtest::FinishProgram(program);
  }

  qvtest::TempDir dir_;
  std::string namespace_ = "-uisender" + std::to_string(getpid());
  std::string save_ = dir_ / "data/CrashReport/UnsentCrashReports/Quorvanta GUI_0.0.8";
};

TEST_F(SenderDialogTest, CrashDialogSendsOnlyWhenTheUserAsks) {
  qvtest::UploadServer server(200);
  const char* kTitle = "^Quorvanta GUI has stopped working$";

  // Enter keeps the report: nothing is sent.
  const std::string kept = Guid(1);
  auto b = qvtest::CrashBlockBuilder::Standard(kept, save_, server.Url());
  b.Put32(56, 1);
  b.SetCrash(1, 1, 11, 0, 11, 1, 0);
  auto m1 = Publish(kept, b);
  qvtest::Program program = qvtest::StartProgram({kSender, kept}, Env());
  ASSERT_TRUE(WaitFound(kTitle)) << "no dialog";
  Press(kTitle, "Return");
  qvtest::ProgramResult r = Finish(program);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Exists(Folder(kept) + "/report.txt"));
  EXPECT_TRUE(server.Requests().empty());
  std::ifstream png(Folder(kept) + "/screenshot.png", std::ios::binary);
  char signature[8] = {};
  png.read(signature, 8);
  EXPECT_EQ(std::memcmp(signature, "\x89PNG\r\n\x1a\n", 8), 0) << "no screenshot";

  // "Send report" sends it and moves it out of the unsent reports.
  const std::string sent = Guid(2);
  auto s = qvtest::CrashBlockBuilder::Standard(sent, save_, server.Url());
  s.SetCrash(1, 1, 11, 0, 11, 1, 0);
  auto m2 = Publish(sent, s);
  program = qvtest::StartProgram({kSender, sent}, Env());
  ASSERT_TRUE(WaitFound(kTitle)) << "no dialog";
  Press(kTitle, "alt+s");
  r = Finish(program);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(Exists(Folder(sent)));
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(SenderDialogTest, QueuedReportsAreOfferedOnlyWhenThereAreSome) {
  const std::string guid = Guid(3);
  auto b = qvtest::CrashBlockBuilder::Standard(guid, save_);
  b.Put32(168, 1);
  auto memory = Publish(guid + "-tmp", b);

  // Nothing queued: the sender ends without a window.
  qvtest::ProgramResult r = Finish(qvtest::StartProgram({kSender, guid + "-tmp"}, Env()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(Find("^Quorvanta GUI").empty());

  const std::string queued = Folder(Guid(4));
  ASSERT_EQ(system(("mkdir -p '" + queued + "'").c_str()), 0);
  std::ofstream(queued + "/report.txt") << "report";
  qvtest::Program program = qvtest::StartProgram({kSender, guid + "-tmp"}, Env());
  ASSERT_TRUE(WaitFound("^Quorvanta GUI$")) << "no offer";
  Press("^Quorvanta GUI$", "alt+l");
  r = Finish(program);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, queued + "\n");
  EXPECT_TRUE(Exists(queued + "/report.txt"));

  // Later offers it again at the next start; Delete ends the offers.
  program = qvtest::StartProgram({kSender, guid + "-tmp"}, Env());
  ASSERT_TRUE(WaitFound("^Quorvanta GUI$")) << "no second offer";
  Press("^Quorvanta GUI$", "alt+d");
  r = Finish(program);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(Exists(queued));
  r = Finish(qvtest::StartProgram({kSender, guid + "-tmp"}, Env()));
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(Find("^Quorvanta GUI").empty());
}

// A failed send says so on screen; a report the server refused leaves the
// queue, so that it is not offered at every start.
TEST_F(SenderDialogTest, AFailedSendSaysSoAndARefusedReportLeavesTheQueue) {
  const char* kTitle = "^Quorvanta GUI has stopped working$";
  for (int status : {500, 403}) {
    qvtest::UploadServer server(status);
    const std::string guid = Guid(status);
    auto b = qvtest::CrashBlockBuilder::Standard(guid, save_, server.Url());
    b.SetCrash(1, 1, 11, 0, 11, 1, 0);
    auto memory = Publish(guid, b);
    qvtest::Program program = qvtest::StartProgram({kSender, guid}, Env());
    ASSERT_TRUE(WaitFound(kTitle)) << "no dialog";
    Press(kTitle, "alt+s");
    ASSERT_TRUE(WaitFound("^Quorvanta GUI$")) << "no failure shown for " << status;
    Press("^Quorvanta GUI$", "Return");
    qvtest::ProgramResult r = Finish(program);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("the server answered " + std::to_string(status)), std::string::npos) << r.err;
    const std::string refused =
        dir_ / "data/CrashReport/RefusedCrashReports/Quorvanta GUI_0.0.8/" + guid + "/report.txt";
    EXPECT_EQ(Exists(Folder(guid) + "/report.txt"), status == 500);
    EXPECT_EQ(Exists(refused), status == 403);
  }
}

}  // namespace
