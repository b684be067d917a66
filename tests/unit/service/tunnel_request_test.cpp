// The service accepts only the command line the front end composes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "caller_identity.h"
#include "command_line.h"
#include "request_validator.h"
#include "tunnel/service_request.h"

namespace {

using tunneld::TunnelCommand;
using tunneld::ValidateTunnelRequest;

// The front end's command line for one server entry.
std::string Compose(const std::string& host, const std::string& port, const std::string& proto,
                    const std::string& word = "", const std::string& event = "Global\\Quorvanta_ovpn_exit_1",
                    int mgmtPort = 63782) {
  std::string extra;
  const bool udp = proto == "udp";
  if (udp) extra = "--explicit-exit-notify ";
  if (!word.empty()) extra += "--scramble obfuscate " + word;
  char line[2048];
  std::snprintf(line, sizeof line,
                "openvpn.exe --service %s 1 --config config.qvpn --management 127.0.0.1 %d "
                "--management-hold --management-query-passwords --management-client --remote %s %s "
                "--proto %s --hand-window %d --resolv-retry 0 --verb 4 %s",
                event.c_str(), mgmtPort, host.c_str(), port.c_str(), proto.c_str(), udp ? 5 : 10, extra.c_str());
  return line;
}

const char* Check(const std::string& text, TunnelCommand* out) {
  return ValidateTunnelRequest(reinterpret_cast<const unsigned char*>(text.c_str()), text.size() + 1, out);
}

const char* Check(const std::string& text) {
  TunnelCommand out;
  return Check(text, &out);
}

std::vector<std::string> Args(const TunnelCommand& c) {
  std::vector<std::string> v;
  for (int i = 0; i < c.argc; ++i) v.push_back(c.Arg(i));
  return v;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  size_t at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

TEST(TunnelRequest, UdpRequestBecomesArgvWithoutServiceOption) {
  TunnelCommand c;
  ASSERT_EQ(Check(Compose("vpn1.example.net", "1194", "udp"), &c), nullptr);
  std::vector<std::string> expected = {"--config",
                                       "config.qvpn",
                                       "--management",
                                       "127.0.0.1",
                                       "63782",
                                       "--management-hold",
                                       "--management-query-passwords",
                                       "--management-client",
                                       "--remote",
                                       "vpn1.example.net",
                                       "1194",
                                       "--proto",
                                       "udp",
                                       "--hand-window",
                                       "5",
                                       "--resolv-retry",
                                       "0",
                                       "--verb",
                                       "4",
                                       "--explicit-exit-notify"};
  EXPECT_EQ(Args(c), expected);
  EXPECT_STREQ(c.exitEvent, "Global\\Quorvanta_ovpn_exit_1");
  EXPECT_FALSE(c.scramble);
}

TEST(TunnelRequest, ScrambledTcpRequestKeepsScrambleWord) {
  TunnelCommand c;
  ASSERT_EQ(Check(Compose("10.0.0.7", "443", "tcp", "K3y_w.rd"), &c), nullptr);
  std::vector<std::string> args = Args(c);
  ASSERT_GE(args.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(args.end() - 3, args.end()),
            (std::vector<std::string>{"--scramble", "obfuscate", "K3y_w.rd"}));
  EXPECT_EQ(args[14], "10");  // hand-window
  EXPECT_TRUE(c.scramble);
  ASSERT_EQ(Check(Compose("h.example", "1194", "udp", "w"), &c), nullptr);
  EXPECT_EQ(Args(c).back(), "w");
}

TEST(TunnelRequest, AcceptsEveryCharacterAProfileEntryMayHold) {
  for (const char* proto :
       {"udp", "udp4", "udp6", "tcp", "tcp4", "tcp6", "tcp-client", "tcp4-client", "tcp6-client", "UDP"}) {
    EXPECT_EQ(Check(Compose("127.0.0.1", "1", proto)), nullptr) << proto;
  }
  // A profile token holds anything but white space; OpenVPN takes each field as one argv word.
  for (const std::string& word : {std::string("a"), std::string("vpn-2.de"), std::string("2001:db8::1"),
                                  std::string("h/path#frag"), std::string("a\"b'c`d$e;f|g&h<i>j(k)l{m}n*o?p!q\\r"),
                                  std::string("\x80\xff\xe9t\xe9"), std::string("x-"), std::string(254, 'w')}) {
    EXPECT_EQ(Check(Compose(word, "1194", "udp")), nullptr) << word;
    EXPECT_EQ(Check(Compose("h", word, "tcp")), nullptr) << word;
    TunnelCommand c;
    ASSERT_EQ(Check(Compose("h", "1194", "tcp", word), &c), nullptr) << word;
    EXPECT_EQ(Args(c).back(), word);
  }
}

TEST(TunnelRequest, RefusesForeignNamesPortsAndOptionLikeFields) {
  for (const char* ev : {"Global\\Other-1.event", "Global\\Quorvanta_ovpn_exit_2", "Global\\quorvanta_ovpn_exit_1",
                         "Quorvanta_ovpn_exit_1", "Local\\Quorvanta_ovpn_exit_1", "Global\\", "Global\\a/b"}) {
    EXPECT_NE(Check(Compose("h", "1194", "tcp", "", ev)), nullptr) << ev;
  }
  for (int port : {1, 0, 63781, 63783, 65535, 1194}) {
    EXPECT_NE(Check(Compose("h", "1194", "tcp", "", "Global\\Quorvanta_ovpn_exit_1", port)), nullptr) << port;
  }
  EXPECT_NE(Check(Replace(Compose("h", "1194", "tcp"), " 63782 ", " 063782 ")), nullptr);
  for (const char* field : {"-h", "--up", "-", "--script-security"}) {
    EXPECT_NE(Check(Compose(field, "1194", "udp")), nullptr) << field;
    EXPECT_NE(Check(Compose("h", field, "udp")), nullptr) << field;
    EXPECT_NE(Check(Compose("h", "1194", field)), nullptr) << field;
    EXPECT_NE(Check(Compose("h", "1194", "tcp", field)), nullptr) << field;
  }
  for (const char* proto : {"tcp-server", "tcp4-server", "tcp6-server"}) {
    EXPECT_NE(Check(Compose("h", "1194", proto)), nullptr) << proto;
  }
  EXPECT_NE(Check(Compose(std::string(255, 'h'), "1194", "udp")), nullptr);
  EXPECT_NE(Check(Compose("h", "1194", "tcp", std::string(255, 'w'))), nullptr);
}

TEST(TunnelRequest, RefusesEveryChangeToTheFixedParts) {
  const std::string udp = Compose("h.example", "1194", "udp");
  const std::string tcp = Compose("h.example", "1194", "tcp");
  // Each kind of forbidden option: in place of a fixed one, inserted, or appended.
  const std::vector<std::pair<std::string, std::string>> edits = {
      {"openvpn.exe ", "/bin/sh "},
      {"openvpn.exe ", "openvpn "},
      {"--service Global\\Quorvanta_ovpn_exit_1 1", "--service Global\\Quorvanta_ovpn_exit_1 0"},
      {"--config config.qvpn", "--config /etc/passwd"},
      {"--config config.qvpn", "--config ../config.qvpn"},
      {"--management 127.0.0.1", "--management 0.0.0.0"},
      {"--management-hold ", ""},
      {"--management-client ", "--management-client --up /tmp/x "},
      {"--remote h.example 1194", "--remote h.example 1194 udp"},
      {"--resolv-retry 0", "--resolv-retry infinite"},
      {"--verb 4", "--verb 11"},
      {"--hand-window 5", "--hand-window 10"},
      {"--explicit-exit-notify ", ""},
      {"--explicit-exit-notify ", "--explicit-exit-notify --script-security 2 "},
      {"--proto udp", "--proto udp --dev tap"},
  };
  for (const auto& [from, to] : edits) {
    const std::string& base = from.find("explicit") != std::string::npos ||
                                      from.find("hand-window 5") != std::string::npos ||
                                      from.find("proto udp") != std::string::npos
                                  ? udp
                                  : tcp;
    EXPECT_NE(Check(Replace(base, from, to)), nullptr) << to;
  }
  EXPECT_NE(Check(Replace(tcp, "--hand-window 10", "--hand-window 5")), nullptr);
  EXPECT_NE(Check(tcp + "--explicit-exit-notify "), nullptr);
  EXPECT_NE(Check(tcp + "--scramble xormask K"), nullptr);
  EXPECT_NE(Check(tcp + "--scramble obfuscate K --up x"), nullptr);
  EXPECT_NE(Check(tcp + "--scramble obfuscate K "), nullptr);
  EXPECT_NE(Check(tcp + "--scramble obfuscate"), nullptr);
  EXPECT_NE(Check(tcp + "--up /bin/sh"), nullptr);
  EXPECT_NE(Check(tcp + "--config other.conf "), nullptr);
}

TEST(TunnelRequest, BlanksMustBeExactlyTheTemplates) {
  const std::string tcp = Compose("h", "1194", "tcp");
  ASSERT_EQ(tcp.back(), ' ');
  EXPECT_NE(Check(tcp.substr(0, tcp.size() - 1)), nullptr);  // trailing blank missing
  EXPECT_NE(Check(tcp + " "), nullptr);                      // two trailing blanks
  EXPECT_NE(Check(" " + tcp), nullptr);
  EXPECT_NE(Check(Replace(tcp, "--remote h", "--remote  h")), nullptr);
  EXPECT_NE(Check(Replace(tcp, "--remote h", "--remote\th")), nullptr);
  EXPECT_NE(Check(Compose("h", "1194", "tcp", "w") + " "), nullptr);
}

TEST(TunnelRequest, RefusesControlBytesAnywhere) {
  for (const char* bad : {"\x01", "\x1b", "\x7f", "\t", "\n", "\r", "\x1f"}) {
    EXPECT_NE(Check(Compose(std::string("h") + bad, "1194", "udp")), nullptr);
    EXPECT_NE(Check(Compose("h", "1194", "tcp", std::string("w") + bad)), nullptr);
    EXPECT_NE(Check(Compose("h", std::string("1") + bad, "tcp")), nullptr);
  }
}

TEST(TunnelRequest, RefusesBadFraming) {
  const std::string tcp = Compose("h", "1194", "tcp");
  TunnelCommand c;
  auto bytes = [&](const std::string& s, size_t n) {
    return ValidateTunnelRequest(reinterpret_cast<const unsigned char*>(s.data()), n, &c);
  };
  EXPECT_NE(bytes(tcp, tcp.size()), nullptr);  // unterminated
  EXPECT_NE(bytes("", 0), nullptr);
  std::string twoNuls = tcp + std::string(1, '\0') + "x";
  EXPECT_NE(bytes(twoNuls, twoNuls.size() + 1), nullptr);
  std::string inner = tcp;
  inner[5] = '\0';
  EXPECT_NE(bytes(inner, inner.size() + 1), nullptr);

  // The longest line a well-formed entry gives (three fields of 254) is accepted.
  const std::string longest = Compose(std::string(254, 'h'), std::string(254, 'p'), "tcp", std::string(254, 'w'));
  EXPECT_EQ(bytes(longest, longest.size() + 1), nullptr);
  std::string huge(5000, 'a');
  EXPECT_NE(bytes(huge, huge.size() + 1), nullptr);
}

// The two sides agree: every line the front end composes from a well-formed
// entry is one the service runs, and the service hands OpenVPN its words.
TEST(TunnelRequest, AcceptsWhatTheFrontEndComposes) {
  for (const char* entry : {"vpn.example.net:1194:udp", "10.1.2.3:443:tcp:K3y", "h:1194:udp:word", "h:53:udp6",
                            "h.example:8443:tcp4-client", "::h:1194:udp::", "h:1:tcp:w:extra",
                            "h/x#y:1194:UDP:'\"$(w)`", "h\xe9:openvpn:tcp:w-"}) {
    char text[256];
    std::snprintf(text, sizeof text, "%s", entry);
    char line[1024];
    ASSERT_TRUE(ComposeTunnelCommand(text, "Global\\Quorvanta_ovpn_exit_1", line, sizeof line)) << entry;
    TunnelCommand c;
    EXPECT_EQ(ValidateTunnelRequest(reinterpret_cast<const unsigned char*>(line), std::strlen(line) + 1, &c), nullptr)
        << entry << " -> " << line;
  }
  // What the service would refuse, the front end does not send: StartTunnel
  // then reports the failure instead of waiting for a tunnel that never comes.
  for (const char* entry : {"-h:1194:udp", "h:--up:udp", "h:1194:tcp-server", "h:1194:tcp:-w", "h\x01:1:tcp"}) {
    char text[256];
    std::snprintf(text, sizeof text, "%s", entry);
    char line[1024];
    EXPECT_FALSE(ComposeTunnelCommand(text, "Global\\Quorvanta_ovpn_exit_1", line, sizeof line)) << entry;
  }
}

// --- Callers and the log --------------------------------------------------------

namespace callers {

tunneld::CallerIdentity Caller(const char* name, bool privileged = false) {
  tunneld::CallerIdentity c;
  std::snprintf(c.name, sizeof c.name, "%s", name);
  c.privileged = privileged;
  return c;
}

TEST(CallerRules, OnlyTheSameUserOrAPrivilegedOneReplacesATunnel) {
  const auto owner = Caller("user S-1-5-21-1-2-3-1001");
  EXPECT_TRUE(tunneld::MayReplace(Caller("user S-1-5-21-1-2-3-1001"), owner));
  EXPECT_FALSE(tunneld::MayReplace(Caller("user S-1-5-21-1-2-3-1002"), owner));
  // A name that only starts like the owner's is someone else.
  EXPECT_FALSE(tunneld::MayReplace(Caller("user S-1-5-21-1-2-3-100"), owner));
  EXPECT_FALSE(tunneld::MayReplace(Caller("uid 1000"), Caller("uid 10000")));
  EXPECT_TRUE(tunneld::MayReplace(Caller("user S-1-5-18", true), owner));
  EXPECT_TRUE(tunneld::MayReplace(Caller("uid 0", true), Caller("uid 1000")));
}

TEST(CallerRules, LoggedRequestsShowControlBytesEscapedAndStopAtTheirLimits) {
  const unsigned char raw[] = {'a', '\\', 0x00, 0x1b, 0x7f, 0xff, 'z'};
  char out[64];
  tunneld::Printable(raw, sizeof raw, out, sizeof out);
  EXPECT_STREQ(out, "a\\x5c\\x00\\x1b\\x7f\\xffz");

  std::vector<unsigned char> big(1024, 'x');
  char shown[1400];
  tunneld::Printable(big.data(), big.size(), shown, sizeof shown);
  EXPECT_EQ(std::string(shown), std::string(300, 'x') + "...");

  // A small buffer is never overrun and always terminated.
  std::vector<unsigned char> nasty(200, 0x01);
  char tiny[17];
  std::memset(tiny, '#', sizeof tiny);
  tunneld::Printable(nasty.data(), nasty.size(), tiny, sizeof tiny);
  EXPECT_LT(std::strlen(tiny), sizeof tiny);
  EXPECT_EQ(std::strlen(tiny) % 4, 0u);
}

}  // namespace callers

// --- Windows command lines ---------------------------------------------------

namespace command_line {

// Splits the way CommandLineToArgvW does for every token after the program's.
std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) break;
    std::string token;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') {
        ++backslashes;
        ++i;
      }
      if (i < line.size() && line[i] == '"') {
        token.append(backslashes / 2, '\\');
        if (backslashes % 2) {
          token += '"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          token += '"';  // "" inside quotes is a literal quote
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        token.append(backslashes, '\\');
        if (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) token += line[i++];
      }
    }
    out.push_back(token);
  }
  return out;
}

TEST(WindowsCommandLine, EveryTokenComesBackUnchanged) {
  const std::vector<std::string> tokens = {"--service",  "Global\\Quorvanta_ovpn_exit_1",
                                           "1",          "",
                                           "two words",  "tab\there",
                                           "say \"hi\"", "ends with\\",
                                           "C:\\dir\\",  "\\\\server\\share",
                                           "\\\"",       "a\\\\\"b",
                                           "\"",         "\\",
                                           " ",          "new\nline",
                                           "caf\xc3\xa9"};
  char line[2048];
  size_t used = 0;
  for (const auto& t : tokens) ASSERT_TRUE(tunneld::AppendWindowsArgument(t.c_str(), line, sizeof line, &used));
  EXPECT_EQ(used, std::strlen(line));
  EXPECT_EQ(Split(line), tokens) << line;
  // Plain tokens are written as they are, as OpenVPN's own examples show them.
  used = 0;
  ASSERT_TRUE(tunneld::AppendWindowsArgument("--verb", line, sizeof line, &used));
  ASSERT_TRUE(tunneld::AppendWindowsArgument("4", line, sizeof line, &used));
  EXPECT_STREQ(line, "--verb 4");
}

TEST(WindowsCommandLine, ATokenThatDoesNotFitLeavesTheLineAsItWas) {
  char line[16];
  size_t used = 0;
  ASSERT_TRUE(tunneld::AppendWindowsArgument("openvpn", line, sizeof line, &used));
  EXPECT_FALSE(tunneld::AppendWindowsArgument("\"\"\"\"", line, sizeof line, &used));
  EXPECT_STREQ(line, "openvpn");
  EXPECT_EQ(used, 7u);
  EXPECT_TRUE(tunneld::AppendWindowsArgument("1234567", line, sizeof line, &used));  // exactly full
  EXPECT_FALSE(tunneld::AppendWindowsArgument("", line, sizeof line, &used));
  EXPECT_STREQ(line, "openvpn 1234567");
}

}  // namespace command_line

}  // namespace
