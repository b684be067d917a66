// The whole stack (tunnel service, stand-in OpenVPN, headless front end) with
// a stranger at its shared objects, and profile entries carried to OpenVPN.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/named_event.h"
#include "support/child_process.h"
#include "support/running_program.h"
#include "tunnel/service_request.h"

namespace {

using qvtest::RunningProgram;
using qvtest::TempDir;

constexpr int kWaitMs = 10000;
constexpr const char* kEvent = "Global\\Quorvanta_ovpn_exit_1";

// Overwrites and resizes every shared object of the namespace, as uid 65534,
// and counts what each attempt got. Crafted words: all ones, a futex owner
// with its waiters bit, a pointer-like pair, zero.
constexpr const char* kScribbler = R"(
ns=$1; rounds=$2
written=0; denied=0; cut=0
for r in $(seq "$rounds"); do
  for f in /dev/shm/quorvanta"$ns"-*; do
    [ -e "$f" ] || continue
    for bytes in random '\377\377\377\377\377\377\377\377' '\001\000\000\200\002\000\000\200' \
                 '\020\340\377\377\377\177\000\000' '\000\000\000\000\000\000\000\000'; do
      if [ "$bytes" = random ]; then
        head -c 8 /dev/urandom | dd of="$f" conv=notrunc status=none 2>/dev/null
      else
        printf "$bytes" | dd of="$f" conv=notrunc status=none 2>/dev/null
      fi
      if [ $? -eq 0 ]; then written=$((written + 1)); else denied=$((denied + 1)); fi
    done
    for size in 0 3 4096 8; do
      if truncate -s "$size" "$f" 2>/dev/null; then cut=$((cut + 1)); else denied=$((denied + 1)); fi
    done
  done
done
echo "stranger: written $written cut $cut denied $denied"
)";

class HostileStack : public ::testing::Test {
 protected:
  void SetUp() override {
    ns_ = "hostile" + std::to_string(getpid());
    env_ = {"QUORVANTA_REGISTRY=" + dir_ / "registry.db",
            "QUORVANTA_PIPE=" + dir_ / "run/QuorvantaPipe",
            "QUORVANTA_OBJECT_NAMESPACE=" + ns_,
            "XDG_RUNTIME_DIR=" + dir_ / "xdg",
            "QUORVANTA_HEADLESS=1",
            "QUORVANTA_MESSAGES=stderr",
            "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    setenv("QUORVANTA_OBJECT_NAMESPACE", ns_.c_str(), 1);
    mkdir((dir_ / "xdg").c_str(), 0700);
    mkdir((dir_ / "etc").c_str(), 0755);
    std::ofstream(dir_ / "etc/config.qvpn") << "client\n";
    const std::string reg = QV_BINARY_DIR "/tools/reg/quorvanta-reg";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {reg, "set", "HKLM\\SOFTWARE\\Quorvanta", "@", "REG_SZ", dir_.path()},
             {reg, "set", "HKLM\\SOFTWARE\\Quorvanta", "config_dir", "REG_SZ", dir_ / "etc/"},
             {reg, "seed-machine-id"}}) {
      auto r = qvtest::RunProgram(args, env_);
      ASSERT_EQ(r.status, 0) << r.err;
    }
    ASSERT_TRUE(service_.Start({QV_TUNNELD, "--socket", dir_ / "run/QuorvantaPipe", "--config-dir", dir_ / "etc",
                                "--openvpn", QV_STANDIN_OPENVPN, "--stop-timeout", "3000", "--dns-hook", "none"}));
    ASSERT_TRUE(service_.WaitForLine("serving", kWaitMs)) << service_.Output();
  }
  void TearDown() override {
    StopFrontEnd();
    service_.Stop(SIGTERM, kWaitMs);
    platform::RemoveNamedEvent(kEvent);
    unsetenv("QUORVANTA_OBJECT_NAMESPACE");
  }

  // data.vpn from plain text, through the profile tool as a vendor makes it.
  void WriteProfile(const std::string& plain) {
    std::ofstream(dir_ / "plain") << plain;
    auto r =
        qvtest::RunProgram({"/bin/sh", "-c", "exec \"$0\" encode <\"$1\" >\"$2\"",
                            QV_BINARY_DIR "/tools/profile/quorvanta-profile", dir_ / "plain", dir_ / "etc/data.vpn"},
                           env_);
    ASSERT_EQ(r.status, 0) << r.err;
  }

  // The front end reads its commands from a pipe the test holds open.
  void StartFrontEnd() {
    const std::string fifo = dir_ / "commands";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    commands_ = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(commands_, 0);
    std::vector<std::string> env = env_;
    ASSERT_TRUE(frontEnd_.Start({"/bin/sh", "-c", "exec \"$0\" <\"$1\"", QV_FRONT_END, fifo}, env));
  }
  void Command(const std::string& text) { qvtest::WriteAll(commands_, text + "\n"); }
  void StopFrontEnd() {
    if (commands_ < 0) return;
    Command("quit");
    frontEnd_.WaitExit(kWaitMs);
    frontEnd_.Stop(SIGKILL, kWaitMs);
    close(commands_);
    commands_ = -1;
  }
  bool Alive(RunningProgram& p) { return p.Running() && !p.WaitExit(0); }

  std::string ns_;
  TempDir dir_;
  std::vector<std::string> env_;
  RunningProgram service_, frontEnd_;
  int commands_ = -1;
};

TEST_F(HostileStack, StrangerScribblingSharedObjectsCannotStopTheServiceOrTheFrontEnd) {
  ASSERT_NO_FATAL_FAILURE(WriteProfile("127.0.0.1:1194:udp"));
  ASSERT_NO_FATAL_FAILURE(StartFrontEnd());
  ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs)) << service_.Output() << frontEnd_.Output();

  // Several rounds over every object, while the front end resets and sets
  // the event through the same objects.
  RunningProgram stranger;
  ASSERT_TRUE(stranger.Start({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh", "-c",
                              kScribbler, "scribbler", ns_, "150"}));
  for (int i = 0; i < 10 && Alive(stranger); ++i) {
    Command(i % 2 ? "connect" : "disconnect");
    stranger.Drain(100);
  }
  ASSERT_TRUE(stranger.WaitExit(120000));
  std::string summary;
  ASSERT_TRUE(stranger.WaitForLine("stranger:", 1000, &summary)) << stranger.Output();
  std::printf("%s\n", summary.c_str());
  // It reached the objects: between tunnels the event is open to all, while
  // one runs it is its user's alone.
  EXPECT_EQ(summary.find("written 0 cut 0 denied 0"), std::string::npos) << summary;

  ASSERT_TRUE(Alive(service_)) << service_.Output();
  ASSERT_TRUE(Alive(frontEnd_)) << frontEnd_.Output();
  // The service still answers at once, and still runs what it is asked.
  setenv("QUORVANTA_PIPE", (dir_ / "run/QuorvantaPipe").c_str(), 1);
  long start = qvtest::NowMs();
  EXPECT_TRUE(SendServiceRequest(nullptr));
  EXPECT_LT(qvtest::NowMs() - start, 1000);
  unsetenv("QUORVANTA_PIPE");

  // Setting the event still stops OpenVPN: the front end's own Disconnect.
  Command("disconnect");
  service_.Drain(500);
  Command("connect");
  ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs)) << service_.Output() << frontEnd_.Output();
  service_.Drain(200);  // the stand-in's trap is set
  // The running tunnel's event cannot even be opened by the stranger.
  auto cut =
      qvtest::RunProgram({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/truncate",
                          "-s", "0", "/dev/shm/quorvanta" + ns_ + "-global-Quorvanta_ovpn_exit_1"},
                         env_);
  EXPECT_NE(cut.status, 0) << "the stranger cut the running tunnel's event";
  start = qvtest::NowMs();
  Command("disconnect");
  ASSERT_TRUE(service_.WaitForLine("the exit event was set", kWaitMs)) << service_.Output() << frontEnd_.Output();
  EXPECT_TRUE(service_.WaitForLine("exited with status 0", kWaitMs)) << service_.Output();
  EXPECT_LT(qvtest::NowMs() - start, 3000);
  EXPECT_TRUE(Alive(service_));
  EXPECT_TRUE(Alive(frontEnd_));
}

// Each character class a profile token may hold reaches OpenVPN as written.
TEST_F(HostileStack, EveryCharacterOfAnEntryReachesOpenVpnUnchanged) {
  struct Case {
    std::string entry, expected;
  };
  const std::vector<Case> cases = {
      {"h/x#y!$&()*+,;=?@[]^_`{|}~\"'<>%.-:1194:udp:w\\o#r/d",
       "--remote h/x#y!$&()*+,;=?@[]^_`{|}~\"'<>%.- 1194 --proto udp --hand-window 5 --resolv-retry 0 --verb 4 "
       "--explicit-exit-notify --scramble obfuscate w\\o#r/d"},
      {"vpn\xe9.example:openvpn:tcp6-client:K\xff\x80-",
       "--remote vpn\xe9.example openvpn --proto tcp6-client --hand-window 10 --resolv-retry 0 --verb 4 "
       "--scramble obfuscate K\xff\x80-"},
      {"2001:db8::1:443:UDP", "--remote 2001 db8 --proto 1 --hand-window 10"},
  };
  for (const Case& c : cases) {
    ASSERT_NO_FATAL_FAILURE(WriteProfile(c.entry));
    ASSERT_NO_FATAL_FAILURE(StartFrontEnd());
    std::string line;
    ASSERT_TRUE(service_.WaitForLine(" argv:", kWaitMs, &line)) << service_.Output() << frontEnd_.Output();
    EXPECT_NE(line.find(c.expected), std::string::npos) << c.entry << "\n" << line;
    StopFrontEnd();
    ASSERT_TRUE(service_.WaitForLine("the exit event was set", kWaitMs)) << service_.Output();
  }
  EXPECT_EQ(service_.CountLines("refused"), 0u) << service_.Output();
}

// An OpenVPN that never calls the management port, that ends at once, or
// that refuses --scramble (Debian's build): the front end moves to the next
// server after its bound, and with none left ends disconnected with the
// window shown, instead of connecting for ever.
TEST_F(HostileStack, AStartThatNeverReachesTheManagementPortFailsOverThenEnds) {
  struct Case {
    const char* mode;
    const char* profile;
  };
  // The service's lines since mark; each case reads only its own.
  auto since = [this](size_t mark) { return service_.Output().substr(mark); };
  auto starts = [](const std::string& text) {
    size_t n = 0;
    for (size_t at = text.find("started OpenVPN"); at != std::string::npos; at = text.find("started OpenVPN", at + 1))
      ++n;
    return n;
  };
  auto waitStarts = [&](size_t mark, size_t n, int ms) {
    for (long end = qvtest::NowMs() + ms; qvtest::NowMs() < end; service_.Drain(20)) {
      if (starts(since(mark)) >= n) return true;
    }
    return false;
  };
  for (const Case& c :
       {Case{"", "b.example:1194:udp a.example:1194:udp"}, Case{"exit1", "b.example:1194:udp a.example:1194:udp"},
        Case{"noscramble", "plain.example:1194:udp scrambled.example:1194:udp:K3y"}}) {
    SCOPED_TRACE(c.mode);
    std::ofstream(dir_ / "etc/standin.mode") << c.mode;
    ASSERT_NO_FATAL_FAILURE(WriteProfile(c.profile));
    const size_t mark = service_.Output().size();
    ASSERT_NO_FATAL_FAILURE(StartFrontEnd());
    ASSERT_TRUE(waitStarts(mark, 1, kWaitMs)) << since(mark);
    const long first = qvtest::NowMs();
    ASSERT_TRUE(waitStarts(mark, 2, 15000)) << since(mark) << frontEnd_.Output();
    const long next = qvtest::NowMs() - first;
    std::printf("%s: a failed start to the next server's request: %ld ms\n", *c.mode ? c.mode : "silent", next);
    EXPECT_GE(next, 9000);
    // Disconnected, waiting for the network (tray 7) to try the list again by itself.
    ASSERT_TRUE(frontEnd_.WaitForLine("tray 7", 15000)) << frontEnd_.Output();
    EXPECT_NE(frontEnd_.Output().find("display\npage disconnected Disconnected\ntray 7"), std::string::npos)
        << frontEnd_.Output();
    StopFrontEnd();
    const std::string mine = since(mark);
    EXPECT_EQ(starts(mine), 2u) << mine;
    if (std::string(c.mode) == "noscramble") {
      // Both entries were tried, whatever order the list came in.
      EXPECT_NE(mine.find("--remote scrambled.example"), std::string::npos) << mine;
      EXPECT_NE(mine.find("--remote plain.example"), std::string::npos) << mine;
      EXPECT_NE(mine.find("lacks the --scramble option"), std::string::npos) << mine;
    }
    // The last OpenVPN is stopped before the next case starts.
    service_.Drain(500);
  }
}

}  // namespace
