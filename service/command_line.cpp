#include "command_line.h"

#include <cstring>

namespace tunneld {

namespace {

bool NeedsQuotes(const char* token) {
  if (*token == '\0') return true;  // an empty token exists only inside quotes
  return std::strpbrk(token, " \t\n\v\"") != nullptr;
}

}  // namespace

bool AppendWindowsArgument(const char* token, char* out, size_t outSize, size_t* used) {
  size_t o = *used;
  auto put = [&](char c) {
    if (o + 1 >= outSize) return false;
    out[o++] = c;
    return true;
  };
  auto putMany = [&](char c, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (!put(c)) return false;
    }
    return true;
  };
  bool ok = o == 0 || put(' ');
  if (ok && !NeedsQuotes(token)) {
    for (const char* p = token; ok && *p; ++p) ok = put(*p);
  } else if (ok) {
    ok = put('"');
    for (const char* p = token; ok; ++p) {
      size_t backslashes = 0;
      while (*p == '\\') {
        ++backslashes;
        ++p;
      }
      if (*p == '\0') {
        // Doubled, so the closing quote stays a quote.
        ok = putMany('\\', backslashes * 2);
        break;
      }
      if (*p == '"') {
        ok = putMany('\\', backslashes * 2 + 1) && put('"');
      } else {
        ok = putMany('\\', backslashes) && put(*p);
      }
    }
    ok = ok && put('"');
  }
  if (!ok) {
    if (outSize > *used) out[*used] = '\0';
    return false;
  }
  out[o] = '\0';
  *used = o;
  return true;
}

}  // namespace tunneld
