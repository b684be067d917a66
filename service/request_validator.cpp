#include "request_validator.h"

#include <cstring>

namespace tunneld {

namespace {

// The request is the front end's command line, tokens separated by single
// blanks. It carries no quoting: no field may hold a blank or a quote, so a
// quote character is simply refused.
struct Tokens {
  int count = 0;
  const char* token[kMaxRequestArgs + 1];
};

bool Equal(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// 1..65535 in plain decimal.
bool IsPort(const char* s) {
  size_t n = std::strlen(s);
  if (n == 0 || n > 5) return false;
  unsigned value = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!IsDigit(s[i])) return false;
    value = value * 10 + static_cast<unsigned>(s[i] - '0');
  }
  return value >= 1 && value <= 65535;
}

// Letters, digits, hyphens and underscores in dot-separated labels of at most
// 63 characters; no label starts or ends with a hyphen, so the name can never
// be read as an option. Dotted IPv4 literals pass as well.
bool IsDnsName(const char* s) {
  size_t n = std::strlen(s);
  if (n == 0 || n > 253) return false;
  size_t label = 0;
  for (size_t i = 0; i <= n; ++i) {
    char c = s[i];
    if (c == '.' || c == '\0') {
      if (label == 0) return c == '\0' && i == n && n > 1 && s[i - 1] == '.';  // one trailing dot
      if (s[i - 1] == '-') return false;
      label = 0;
      continue;
    }
    if (!(IsAlnum(c) || c == '-' || c == '_')) return false;
    if (label == 0 && c == '-') return false;
    if (++label > 63) return false;
  }
  return true;
}

// An IPv6 literal: hex groups and colons with at most one "::", an optional
// dotted IPv4 tail. The entry format cannot carry one, but OpenVPN takes it.
bool IsIpv6Literal(const char* s) {
  size_t n = std::strlen(s);
  if (n < 2 || n > 45) return false;
  int groups = 0;
  bool doubleColon = false;
  size_t i = 0;
  if (s[0] == ':') {
    if (s[1] != ':') return false;
    doubleColon = true;
    i = 2;
    if (i == n) return true;  // "::"
  }
  while (i < n) {
    size_t start = i;
    while (i < n && IsHex(s[i])) ++i;
    size_t len = i - start;
    if (i < n && s[i] == '.') {
      // IPv4 tail: the rest must be four dotted decimals, counting two groups.
      int parts = 0;
      size_t j = start;
      while (j < n) {
        size_t p = j;
        unsigned value = 0;
        while (j < n && IsDigit(s[j]) && j - p < 3) value = value * 10 + static_cast<unsigned>(s[j++] - '0');
        if (j == p || value > 255) return false;
        ++parts;
        if (j == n) break;
        if (s[j] != '.') return false;
        ++j;
        if (j == n) return false;
      }
      if (parts != 4) return false;
      groups += 2;
      return doubleColon ? groups <= 7 : groups == 8;
    }
    if (len == 0 || len > 4) return false;
    ++groups;
    if (i == n) break;
    if (s[i] != ':') return false;
    ++i;
    if (i < n && s[i] == ':') {
      if (doubleColon) return false;
      doubleColon = true;
      ++i;
      if (i == n) break;
    } else if (i == n) {
      return false;  // a single trailing colon
    }
  }
  return doubleColon ? groups <= 7 : groups == 8;
}

// The protocols a client may name; OpenVPN compares them case-sensitively.
bool IsClientProtocol(const char* s) {
  static const char* const kProtocols[] = {"udp",  "udp4", "udp6",        "tcp",        "tcp4",
                                           "tcp6", "tcp-client", "tcp4-client", "tcp6-client"};
  for (const char* p : kProtocols) {
    if (Equal(s, p)) return true;
  }
  return false;
}

// A scrambling word: letters, digits and a few punctuation marks that mean
// nothing to OpenVPN's option parser, not starting with a hyphen.
bool IsScrambleWord(const char* s) {
  size_t n = std::strlen(s);
  if (n == 0 || s[0] == '-') return false;
  for (size_t i = 0; i < n; ++i) {
    char c = s[i];
    if (!(IsAlnum(c) || c == '-' || c == '_' || c == '.' || c == '+' || c == '=' || c == '@' ||
          c == '%' || c == ',' || c == '~')) {
      return false;
    }
  }
  return true;
}

// "Global\" and a plain name: the service watches this event instead.
bool IsExitEventName(const char* s) {
  static const char kPrefix[] = "Global\\";
  size_t n = std::strlen(s);
  size_t p = sizeof kPrefix - 1;
  if (n <= p || n >= kMaxEventNameSize || std::strncmp(s, kPrefix, p) != 0) return false;
  for (size_t i = p; i < n; ++i) {
    char c = s[i];
    if (!(IsAlnum(c) || c == '_' || c == '-' || c == '.')) return false;
  }
  return true;
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
    if (data[i] < 0x20 || data[i] > 0x7e) return "control or non-ASCII byte in request";
    if (data[i] == '"' || data[i] == '\'') return "quote character in request";
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
  if (!IsExitEventName(event)) return "bad exit event name";
  if (!expect("1")) return "--service flag is not 1";
  if (!expect("--config") || !expect("config.qvpn")) return "--config config.qvpn missing";
  if (!expect("--management") || !expect("127.0.0.1")) return "--management 127.0.0.1 missing";
  if (!IsPort(next())) return "bad management port";
  if (!expect("--management-hold") || !expect("--management-query-passwords") ||
      !expect("--management-client")) {
    return "management options missing";
  }
  if (!expect("--remote")) return "--remote missing";
  const char* host = next();
  if (!IsDnsName(host) && !IsIpv6Literal(host)) return "bad remote host";
  if (!IsPort(next())) return "bad remote port";
  if (!expect("--proto")) return "--proto missing";
  const char* proto = next();
  if (!IsClientProtocol(proto)) return "bad protocol";
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
    if (!IsScrambleWord(next())) return "bad scrambling word";
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
