#include "platform/object_name_linux.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

// Appends src to out[*len..size); false when it does not fit with its NUL.
bool Append(char* out, size_t size, size_t* len, const char* src) {
  size_t n = std::strlen(src);
  if (*len + n + 1 > size) return false;
  std::memcpy(out + *len, src, n);
  *len += n;
  out[*len] = '\0';
  return true;
}

}  // namespace

bool ShmObjectName(const char* name, char* out, size_t size, bool* global) {
  const char* base = name;
  *global = false;
  if (std::strncmp(name, "Global\\", 7) == 0) {
    base = name + 7;
    *global = true;
  } else if (std::strncmp(name, "Local\\", 6) == 0) {
    base = name + 6;
  }
  if (*base == '\0' || std::strchr(base, '/') || std::strchr(base, '\\') || size == 0) return false;
  char uid[16];
  unsigned u = static_cast<unsigned>(getuid());
  size_t digits = 0;
  char rev[16];
  do {
    rev[digits++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  for (size_t i = 0; i < digits; ++i) uid[i] = rev[digits - 1 - i];
  uid[digits] = '\0';
  const char* ns = std::getenv("QUORVANTA_OBJECT_NAMESPACE");
  size_t len = 0;
  out[0] = '\0';
  return Append(out, size, &len, "/quorvanta") && Append(out, size, &len, ns ? ns : "") &&
         Append(out, size, &len, *global ? "-global-" : "-") &&
         (*global || (Append(out, size, &len, uid) && Append(out, size, &len, "-"))) &&
         Append(out, size, &len, base);
}

}  // namespace platform
