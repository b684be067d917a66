#include "ui/bridge.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bridge {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool DecodeArg(const char* p, size_t len, ScriptArg* out) {
  if (len == 0) return false;
  if (p[0] == 'u') {
    out->type = ScriptArg::Undefined;
    return len == 1;
  }
  if (p[0] == 'n') {
    char buffer[64];
    if (len - 1 >= sizeof buffer) return false;
    std::memcpy(buffer, p + 1, len - 1);
    buffer[len - 1] = '\0';
    char* end = nullptr;
    out->type = ScriptArg::Number;
    out->number = std::strtod(buffer, &end);
    return end != buffer && *end == '\0';
  }
  if (p[0] == 's') {
    if ((len - 1) % 4 != 0) return false;
    out->type = ScriptArg::String;
    out->text.clear();
    out->text.reserve((len - 1) / 4);
    for (size_t i = 1; i < len; i += 4) {
      unsigned unit = 0;
      for (size_t k = 0; k < 4; ++k) {
        int d = HexDigit(p[i + k]);
        if (d < 0) return false;
        unit = unit * 16 + static_cast<unsigned>(d);
      }
      out->text.push_back(static_cast<char16_t>(unit));
    }
    return true;
  }
  return false;
}

void AppendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Length of a valid UTF-8 sequence at p (0 when it is not one).
size_t Utf8Length(const unsigned char* p, size_t left) {
  if (p[0] < 0x80) return 1;
  size_t n = (p[0] & 0xE0) == 0xC0 ? 2 : (p[0] & 0xF0) == 0xE0 ? 3 : (p[0] & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || n > left) return 0;
  for (size_t i = 1; i < n; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

int ScriptArg::AsInt() const {
  double value = number;
  if (type == String)
    value = std::strtod(AsUtf8().c_str(), nullptr);
  else if (type != Number)
    return 0;
  // Out-of-range and NaN numbers would be undefined behaviour in a plain cast.
  if (!(value > -2147483648.0 && value < 2147483648.0)) return 0;
  return static_cast<int>(value);
}

std::string ScriptArg::AsUtf8() const {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      AppendUtf8(&out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendUtf8(&out, 0xFFFD);
    } else {
      AppendUtf8(&out, unit);
    }
  }
  return out;
}

bool DecodeCall(const char* query, ScriptCall* out) {
  out->identifier = 0;
  out->args.clear();
  bool haveId = false;
  const char* p = query;
  while (*p) {
    const char* end = std::strchr(p, '&');
    size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (len > 3 && std::strncmp(p, "id=", 3) == 0) {
      char buffer[16];
      if (len - 3 >= sizeof buffer) return false;
      std::memcpy(buffer, p + 3, len - 3);
      buffer[len - 3] = '\0';
      char* stop = nullptr;
      long id = std::strtol(buffer, &stop, 10);
      if (*stop != '\0' || id < INT32_MIN || id > INT32_MAX) return false;
      out->identifier = static_cast<int32_t>(id);
      haveId = true;
    } else if (len >= 2 && std::strncmp(p, "a=", 2) == 0) {
      ScriptArg arg;
      if (!DecodeArg(p + 2, len - 2, &arg)) return false;
      out->args.push_back(std::move(arg));
    }
    // Other fields (the request counter that defeats caching) are ignored.
    if (!end) break;
    p = end + 1;
  }
  return haveId;
}

std::string Narrow(const std::u16string& wide) {
  std::string out;
  out.reserve(wide.size());
  for (char16_t unit : wide) {
    if (unit == 0) break;
    out.push_back(static_cast<char>(unit & 0xFF));
  }
  return out;
}

std::string Latin1ToUtf8(const char* narrow) {
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(narrow); *p; ++p) AppendUtf8(&out, *p);
  return out;
}

void AppendJsonString(std::string* out, const std::string& s) {
  out->push_back('"');
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t left = s.size();
  while (left > 0) {
    unsigned char c = *p;
    char escape[8];
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out->append(escape);
    } else if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else {
      size_t n = Utf8Length(p, left);
      if (n == 0) {
        std::snprintf(escape, sizeof escape, "\\u%04x", c);  // a stray byte: Latin-1
        out->append(escape);
        n = 1;
      } else {
        out->append(reinterpret_cast<const char*>(p), n);
      }
      p += n;
      left -= n;
      continue;
    }
    ++p;
    --left;
  }
  out->push_back('"');
}

std::string EncodeReply(int32_t status, bool text, const char* result, const std::vector<PageCall>& calls) {
  std::string out = "{\"s\":";
  out += std::to_string(status);
  out += ",\"t\":";
  out += text ? "1" : "0";
  out += ",\"r\":";
  AppendJsonString(&out, result ? Latin1ToUtf8(result) : std::string());
  out += ",\"c\":[";
  for (size_t i = 0; i < calls.size(); ++i) {
    if (i) out += ',';
    out += '[';
    out += std::to_string(calls[i].number);
    out += ',';
    AppendJsonString(&out, calls[i].name);
    out += ",[";
    for (size_t k = 0; k < calls[i].args.size(); ++k) {
      if (k) out += ',';
      AppendJsonString(&out, calls[i].args[k]);
    }
    out += "]]";
  }
  out += "]}";
  return out;
}

}  // namespace bridge
