#include "request_validator.h"

#include <cstring>

namespace tunneld {

namespace {

// The request is the front end's command line, tokens separated by single
// blanks. It carries no quoting: a profile token never holds white space, and
// OpenVPN reads its argv without unquoting.
struct Tokens {
  int count = 0;
  const char* token[kMaxRequestArgs + 1];
};

bool Equal(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

// A field copied from a profile entry: OpenVPN gets it as one argv word, so
// only a leading hyphen (it would be read as an option) and an entry token's
// length limit matter. Control bytes are refused for the whole request.
bool IsEntryWord(const char* s) {
  size_t n = std::strlen(s);
  return n >= 1 && n <= kMaxEntryWord && s[0] != '-';
}

// A server protocol would make the root OpenVPN listen, so it is never passed
// on; any other word is OpenVPN's to judge (it compares case-sensitively).
bool IsServerProtocol(const char* s) {
  return Equal(s, "tcp-server") || Equal(s, "tcp4-server") || Equal(s, "tcp6-server");
}

}  // namespace

const char* ValidateTunnelRequest(const unsigned char* data, size_t size, TunnelCommand* out) {
  out->argc = 0;
  out->scramble = false;
  out->exitEvent[0] = '\0';
  if (size == 0) return "empty request";
  if (size > kMaxRequestSize) return "request longer than 1024 bytes";
  const void* nul = std::memchr(data, '\0', size);
  if (!nul) return "request not terminated by a NUL";
  if (static_cast<const unsigned char*>(nul) != data + size - 1) return "bytes after the terminating NUL";
  for (size_t i = 0; i + 1 < size; ++i) {
    if (data[i] < 0x20 || data[i] == 0x7f) return "control character in request";
  }

  std::memcpy(out->storage, data, size);
  Tokens t;
  char* p = out->storage;
  t.token[t.count++] = p;
  for (; *p; ++p) {
    if (*p != ' ') continue;
    *p = '\0';
    if (t.count > kMaxRequestArgs) return "too many arguments";
    t.token[t.count++] = p + 1;
  }
  // Fields are non-empty; only the very last token may be empty, and is so
  // exactly when the extra options end with their trailing blank.
  for (int i = 0; i + 1 < t.count; ++i) {
    if (t.token[i][0] == '\0') return "empty argument (doubled, leading or misplaced blank)";
  }

  int i = 0;
  auto next = [&]() -> const char* { return i < t.count ? t.token[i++] : ""; };
  auto expect = [&](const char* word) { return Equal(next(), word); };

  if (!expect("openvpn.exe")) return "does not start with openvpn.exe";
  if (!expect("--service")) return "--service missing";
  const char* event = next();
  if (!Equal(event, kServiceExitEvent)) return "not the service's exit event";
  if (!expect("1")) return "--service flag is not 1";
  if (!expect("--config") || !expect("config.qvpn")) return "--config config.qvpn missing";
  if (!expect("--management") || !expect("127.0.0.1")) return "--management 127.0.0.1 missing";
  if (!Equal(next(), kServiceManagementPort)) return "not the management port";
  if (!expect("--management-hold") || !expect("--management-query-passwords") || !expect("--management-client")) {
    return "management options missing";
  }
  if (!expect("--remote")) return "--remote missing";
  if (!IsEntryWord(next())) return "bad remote host";
  if (!IsEntryWord(next())) return "bad remote port";
  if (!expect("--proto")) return "--proto missing";
  const char* proto = next();
  if (!IsEntryWord(proto) || IsServerProtocol(proto)) return "bad protocol";
  const bool udp = Equal(proto, "udp");
  if (!expect("--hand-window")) return "--hand-window missing";
  if (!expect(udp ? "5" : "10")) return "hand-window does not match the protocol";
  if (!expect("--resolv-retry") || !expect("0") || !expect("--verb") || !expect("4")) {
    return "--resolv-retry 0 --verb 4 missing";
  }
  if (udp && !expect("--explicit-exit-notify")) return "--explicit-exit-notify missing for udp";
  if (i >= t.count) return "missing the blank that ends the line";
  const char* last = next();
  if (Equal(last, "--scramble")) {
    if (!expect("obfuscate")) return "--scramble mode is not obfuscate";
    if (!IsEntryWord(next())) return "bad scrambling word";
    out->scramble = true;
    if (i != t.count) return "extra arguments after the scrambling word";
  } else {
    // Without a scrambling word the line ends with the template's blank.
    if (!Equal(last, "") || i != t.count) return "unexpected extra option";
  }

  std::memcpy(out->exitEvent, event, std::strlen(event) + 1);
  for (int k = 0; k < t.count; ++k) {
    if (k == 0 || (k >= 1 && k <= 3)) continue;  // openvpn.exe, --service NAME 1
    if (t.token[k][0] == '\0') continue;         // the trailing blank
    out->offsets[out->argc++] = static_cast<unsigned short>(t.token[k] - out->storage);
  }
  return nullptr;
}

}  // namespace tunneld
