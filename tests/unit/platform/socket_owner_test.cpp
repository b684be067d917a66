// Who owns the far end of a loopback connection: the kernel's answer for
// real connections, and the text table read where sock_diag is missing.
#include "platform/socket_owner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "support/child_process.h"
#include "support/loopback_client.h"

namespace {

// 127.0.0.1 as the table prints it, and a second loopback address.
constexpr uint32_t kLoopback = 0x0100007F;
constexpr uint32_t kLoopback2 = 0x0200007F;

const char kTable[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0100007F:F926 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 101 1 0\n"
    "   1: 0100007F:A1B2 0100007F:F926 01 00000000:00000000 00:00000000 00000000     0        0 102 1 0\n"
    "   2: 0200007F:A1B2 0100007F:F926 01 00000000:00000000 00:00000000 00000000 65534        0 103 1 0\n"
    "   3: 0100007F:F926 0100007F:A1B2 01 00000000:00000000 00:00000000 00000000  1000        0 104 1 0\n"
    "   5: 0100007F:B000 0100007F:F926 06 00000000:00000000 03:00000D2A 00000000     0        0 0 3 0\n"
    "   4: 0100007F:C000 0100007F:F926 01 00000000:00000000 02:000000A4 00000000  4242        0 105 1 0";

TEST(TcpTable, FindsTheOwnerOfExactlyTheConnectionAsked) {
  struct Case {
    uint32_t local;
    uint16_t localPort;
    uint16_t remotePort;
    bool found;
    uint32_t uid;
  };
  // 63782 is 0xF926; the listener's own line (state 0A) never counts.
  const Case cases[] = {
      {kLoopback, 0xA1B2, 63782, true, 0},    {kLoopback2, 0xA1B2, 63782, true, 65534},
      {kLoopback, 0xC000, 63782, true, 4242},  // the last line has no line feed
      {kLoopback, 63782, 0, false, 0},         // only the listener
      {kLoopback, 0xA1B3, 63782, false, 0},   {kLoopback, 0xA1B2, 63783, false, 0},
      {kLoopback, 0xB000, 63782, false, 0},  // closed by its process: no inode, uid 0
  };
  for (const Case& c : cases) {
    uint32_t uid = 12345;
    bool found =
        platform::FindOwnerInTcpTable(kTable, sizeof kTable - 1, c.local, c.localPort, kLoopback, c.remotePort, &uid);
    EXPECT_EQ(found, c.found) << std::hex << c.localPort;
    if (found) {
      EXPECT_EQ(uid, c.uid) << std::hex << c.localPort;
    }
  }
}

TEST(TcpTable, MalformedTextFindsNothing) {
  const char* texts[] = {"",
                         "\n\n",
                         "0: garbage",
                         "   1: 0100007F:A1B2 0100007F:F926",
                         "   1: 0100007F:A1B2 0100007F:F926 01 00000000:00000000 00:00000000 00000000 0 0",
                         "   1: 0100007F:A1B2 0100007F:F926 01 00000000:00000000 00:00000000 00000000 x"};
  for (const char* text : texts) {
    uint32_t uid = 7;
    EXPECT_FALSE(platform::FindOwnerInTcpTable(text, std::strlen(text), kLoopback, 0xA1B2, kLoopback, 63782, &uid))
        << text;
    EXPECT_EQ(uid, 7u);
  }
}

class PeerOwner : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener_, 4), 0);
    ASSERT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length), 0);
    port_ = ntohs(a.sin_port);
  }
  void TearDown() override { close(listener_); }

  int Connect(uint32_t from) const { return qvtest::ConnectLoopback(port_, from); }

  int listener_ = -1;
  uint16_t port_ = 0;
};

TEST_F(PeerOwner, OwnConnectionsFromAnyLoopbackAddressAreOurs) {
  for (uint32_t from : {kLoopback, kLoopback2}) {
    int peer = Connect(from);
    ASSERT_GE(peer, 0);
    int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);
    uint32_t uid = 12345;
    EXPECT_TRUE(platform::TcpPeerOwner(accepted, &uid));
    EXPECT_EQ(uid, geteuid());
    // The kernel's text table gives the same answer for the same ends.
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ASSERT_EQ(getsockname(peer, reinterpret_cast<sockaddr*>(&local), &length), 0);
    std::ifstream in("/proc/net/tcp");
    std::stringstream table;
    table << in.rdbuf();
    const std::string text = table.str();
    uid = 12345;
    EXPECT_TRUE(
        platform::FindOwnerInTcpTable(text.data(), text.size(), from, ntohs(local.sin_port), kLoopback, port_, &uid));
    EXPECT_EQ(uid, geteuid());
    close(peer);
    close(accepted);
  }
}

TEST_F(PeerOwner, AnotherUsersConnectionIsTheirsAndAGoneOneIsNobodys) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  int hold[2];
  ASSERT_EQ(pipe(hold), 0);
  pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    close(hold[1]);
    if (!qvtest::DropRoot()) _exit(1);
    int fd = Connect(kLoopback);
    char c = fd >= 0 ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(1);
    // Keeps the connection until the parent is done looking.
    if (read(hold[0], &c, 1) < 0) _exit(1);
    _exit(0);
  }
  close(ready[1]);
  close(hold[0]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(accepted, 0);
  uint32_t uid = 0;
  EXPECT_TRUE(platform::TcpPeerOwner(accepted, &uid));
  EXPECT_EQ(uid, qvtest::kNobody);
  close(hold[1]);
  int status = 0;
  waitpid(child, &status, 0);
  // The child's socket is closed now (its data could still be queued): the
  // kernel shows such a socket as root's, and that must not count.
  uid = 0;
  EXPECT_FALSE(platform::TcpPeerOwner(accepted, &uid)) << uid;
  close(accepted);
  close(ready[0]);
}

TEST(FileOwner, IsTheFilesOwnerAndNothingForAMissingFile) {
  qvtest::TempDir dir;
  uint32_t uid = 12345;
  EXPECT_TRUE(platform::FileOwner(dir.path().c_str(), &uid));
  EXPECT_EQ(uid, geteuid());
  EXPECT_FALSE(platform::FileOwner((dir / "missing").c_str(), &uid));
  EXPECT_FALSE(platform::FileOwner(nullptr, &uid));
}

}  // namespace
