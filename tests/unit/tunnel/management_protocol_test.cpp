#include "runtime/ui_messages.h"
#include "tunnel/management_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/recorded_session.h"
#include "tunnel/controller_view.h"
#include "tunnel/line_cutter.h"

namespace {

struct RecordingSink : CommandSink {
  std::vector<std::string> sent;
  void Send(const char* text) override { sent.emplace_back(text); }
};

class Handler : public ::testing::Test {
 protected:
  Handler() : handler(sink, "guid-1") { handler.SetNotifyQueue(&queue); }

  void Line(const std::string& text) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    handler.ProcessLine(copy.data());
  }

  std::vector<platform::Message> Posted() {
    std::vector<platform::Message> all;
    platform::Message m;
    while (queue.TryTake(&m)) all.push_back(m);
    return all;
  }

  RecordingSink sink;
  platform::MessageQueue queue;
  ManagementHandler handler;
};

TEST_F(Handler, HoldChainAnswersEachReplyWithTheNextCommand) {
  Line(">HOLD:Waiting for hold release:0");
  Line("SUCCESS: real-time state notification set to ON");
  Line("SUCCESS: bytecount interval changed");
  Line("SUCCESS: hold flag set to OFF");
  Line("SUCCESS: hold release succeeded");
  EXPECT_EQ(sink.sent, (std::vector<std::string>{"state on\n", "bytecount 3\n", "hold off\n", "hold release\n"}));
  EXPECT_TRUE(Posted().empty());
}

TEST_F(Handler, OtherHoldTextsAndUnknownLinesCauseNothing) {
  Line("");
  Line(">HOLD:something else");
  Line(">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info");
  Line(">NOTIFY:info,server-pushed-connection-reset,");
  Line(">FATAL:All connections have been connect-retry-max (2) times unsuccessful, exiting");
  Line("ERROR: unknown command");
  Line("SUCCESS: hold release succeeded");
  Line("SUCCESS: 'Auth' password entered, but not yet verified");
  Line("success: real-time state notification set to ON");  // case matters
  Line("HOLD:Waiting for hold release");                    // not a notification
  EXPECT_TRUE(sink.sent.empty());
  EXPECT_TRUE(Posted().empty());
}

TEST_F(Handler, ReplyTextsAreFoundAnywhereInTheLine) {
  Line("xx SUCCESS: bytecount interval changed");
  EXPECT_EQ(sink.sent, (std::vector<std::string>{"hold off\n"}));
}

TEST_F(Handler, CredentialsAreTheMachineIdAndThePasswordGoesOncePerRequest) {
  Line(">PASSWORD:Need 'Auth' username/password");
  Line("SUCCESS: 'Auth' username entered, but not yet verified");
  EXPECT_TRUE(handler.passwordSent);
  Line("SUCCESS: 'Auth' username entered, but not yet verified");
  EXPECT_EQ(sink.sent, (std::vector<std::string>{"username 'Auth' 'guid-1'\n", "password 'Auth' 'guid-1'\n"}));
  handler.ResetConnection();  // a new management connection
  Line("SUCCESS: 'Auth' username entered, but not yet verified");
  EXPECT_EQ(sink.sent.size(), 3u);
  EXPECT_EQ(sink.sent[2], "password 'Auth' 'guid-1'\n");
}

// A server that restarts (RESTART with explicit-exit-notify) makes OpenVPN ask
// again on the same connection; a tunnel answered only once stays down for ever.
TEST_F(Handler, CredentialsAskedAgainOnTheSameConnectionAreAnsweredAgain) {
  for (int round = 0; round < 3; ++round) {
    Line(">PASSWORD:Need 'Auth' username/password");
    Line("SUCCESS: 'Auth' username entered, but not yet verified");
    Line("SUCCESS: 'Auth' password entered, but not yet verified");
  }
  std::vector<std::string> expected;
  for (int round = 0; round < 3; ++round) {
    expected.push_back("username 'Auth' 'guid-1'\n");
    expected.push_back("password 'Auth' 'guid-1'\n");
  }
  EXPECT_EQ(sink.sent, expected);
  // A stray second reply within one request still gets nothing.
  Line("SUCCESS: 'Auth' username entered, but not yet verified");
  EXPECT_EQ(sink.sent.size(), 6u);
}

TEST_F(Handler, PasswordNotificationsForOtherCredentialsCauseNothing) {
  Line(">PASSWORD:Need 'Private Key' password");
  Line(">PASSWORD:Verification Failed: 'Auth'");
  EXPECT_TRUE(sink.sent.empty());
  Line(">PASSWORD:'Auth' username entered");  // a notification asking for the password
  EXPECT_EQ(sink.sent, (std::vector<std::string>{"password 'Auth' 'guid-1'\n"}));
  EXPECT_FALSE(handler.passwordSent);
}

TEST_F(Handler, MachineIdGoesInUnchanged) {
  RecordingSink s;
  ManagementHandler h(s, "it's \"odd\"");
  char line[] = ">PASSWORD:Need 'Auth' username/password";
  h.ProcessLine(line);
  EXPECT_EQ(s.sent, (std::vector<std::string>{"username 'Auth' 'it's \"odd\"'\n"}));
}

TEST_F(Handler, OnlyConnectedStatePostsTunnelUpEveryTime) {
  for (const char* state : {"CONNECTING", "RESOLVE", "TCP_CONNECT", "WAIT", "AUTH", "GET_CONFIG", "ASSIGN_IP",
                            "ADD_ROUTES", "EXITING", "CONNECTED_NOT", "XCONNECTED"}) {
    Line(std::string(">STATE:1796755937,") + state + ",x,,,,,");
  }
  EXPECT_TRUE(Posted().empty());
  Line(">STATE:1796755937,CONNECTED,SUCCESS,,127.0.0.1,11940,,");
  Line(">STATE:1796755937,CONNECTED,SUCCESS,10.231.77.2,127.0.0.1,11942,,");
  auto posted = Posted();
  ASSERT_EQ(posted.size(), 2u);
  for (const auto& m : posted) {
    EXPECT_EQ(m.id, msg::WM_TUNNEL_UP);
    EXPECT_EQ(m.wParam, 0u);
    EXPECT_EQ(m.lParam, 0);
  }
  // An ignored state name anywhere in the text wins over CONNECTED.
  Line(">STATE:1,CONNECTED,,WAIT,,");
  EXPECT_TRUE(Posted().empty());
  EXPECT_TRUE(sink.sent.empty());
}

TEST_F(Handler, ReconnectingPostsItsReason) {
  const std::pair<const char*, uintptr_t> cases[] = {
      {"ping-restart", msg::ReconnectPingTimeout},
      {"server-pushed-connection-reset", msg::ReconnectServerReset},
      {"connection-reset", msg::ReconnectServerReset},
      {"SIGUSR1", msg::ReconnectAsked},
      {"tls-error", msg::ReconnectTlsError},
      {"connection-failed", msg::ReconnectOther},
      {"", msg::ReconnectOther},
      {"ping-restartx", msg::ReconnectOther},
  };
  for (const auto& [reason, code] : cases) {
    Line(std::string(">STATE:1796756042,RECONNECTING,") + reason + ",,,,,");
    auto posted = Posted();
    ASSERT_EQ(posted.size(), 1u) << reason;
    EXPECT_EQ(posted[0].id, msg::WM_TUNNEL_RECONNECTING);
    EXPECT_EQ(posted[0].wParam, code) << reason;
  }
  // A line cut after the name still counts.
  Line(">STATE:1,RECONNECTING");
  EXPECT_EQ(Posted().size(), 1u);
  EXPECT_TRUE(sink.sent.empty());
}

TEST_F(Handler, ByteCountPostsBoth64BitCountersAndIgnoresLinesWithoutComma) {
  Line(">BYTECOUNT:2904,1055");
  Line(">BYTECOUNT:99999999999,  7xyz");
  Line(">BYTECOUNT:12345");
  Line(">BYTECOUNT:abc,-1");
  Line(">BYTECOUNT:3000000000,5000000000");
  Line(">BYTECOUNT:99999999999999999999999,1");
  auto posted = Posted();
  ASSERT_EQ(posted.size(), 5u);
  EXPECT_EQ(posted[0].id, msg::WM_MGMT_BYTECOUNT);
  EXPECT_EQ(posted[0].wParam, 2904u);
  EXPECT_EQ(posted[0].lParam, 1055);
  EXPECT_EQ(posted[1].wParam, 99999999999u);
  EXPECT_EQ(posted[1].lParam, 7);
  EXPECT_EQ(posted[2].wParam, 0u);
  EXPECT_EQ(posted[2].lParam, 0);  // no count is negative
  EXPECT_EQ(posted[3].wParam, 3000000000u);
  EXPECT_EQ(posted[3].lParam, 5000000000);
  EXPECT_EQ(posted[4].wParam, UINT64_MAX);
}

TEST(ParseCounter, ReadsDecimal64BitCounts) {
  EXPECT_EQ(ParseCounter("  +42abc"), 42u);
  EXPECT_EQ(ParseCounter("2147483648"), 2147483648u);
  EXPECT_EQ(ParseCounter("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(ParseCounter("18446744073709551616"), UINT64_MAX);
  EXPECT_EQ(ParseCounter("-5"), 0u);
  EXPECT_EQ(ParseCounter(""), 0u);
}

TEST(RecordedSession, ReplayedThroughTheCutterGivesTheCapturedAnswers) {
  RecordingSink sink;
  platform::MessageQueue queue;
  ManagementHandler handler(sink, kRecordedMachineId);
  handler.SetNotifyQueue(&queue);
  LineCutter cutter;
  // Receives of an odd size split lines and CR LF pairs at every place.
  const size_t total = sizeof kRecordedSession - 1;
  for (size_t at = 0; at < total; at += 37) {
    size_t n = total - at < 37 ? total - at : 37;
    ASSERT_TRUE(cutter.Feed(kRecordedSession + at, n, [&](char* line) { handler.ProcessLine(line); }));
  }
  std::vector<std::string> expected(std::begin(kRecordedCommands), std::end(kRecordedCommands));
  EXPECT_EQ(sink.sent, expected);
  std::vector<uint32_t> ids;
  platform::Message m;
  std::vector<std::pair<uintptr_t, intptr_t>> counters;
  while (queue.TryTake(&m)) {
    ids.push_back(m.id);
    if (m.id == msg::WM_MGMT_BYTECOUNT) counters.emplace_back(m.wParam, m.lParam);
  }
  EXPECT_EQ(ids, (std::vector<uint32_t>{msg::WM_TUNNEL_UP, msg::WM_MGMT_BYTECOUNT, msg::WM_MGMT_BYTECOUNT,
                                        msg::WM_MGMT_BYTECOUNT, msg::WM_MGMT_BYTECOUNT}));
  EXPECT_EQ(counters.back(), (std::pair<uintptr_t, intptr_t>{2944, 1095}));
}

}  // namespace
