#include "profile/profile_codec.h"

#include <cstring>

#include "profile/profile.h"
#include "profile/profile_file.h"
#include "runtime/server_list.h"

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Lines of the page body; far below the 255 characters the reader takes at once.
constexpr size_t kPageLineLength = 76;

}  // namespace

std::string Base64Encode(const void* bytes, size_t length) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* p = static_cast<const unsigned char*>(bytes);
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  if (length - i == 1) {
    uint32_t v = uint32_t{p[i]} << 16;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += "==";
  } else if (length - i == 2) {
    uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

bool NormalizeProfileText(std::string_view plain, std::string* normalized, std::string* error) {
  normalized->clear();
  if (plain.find('\0') != std::string_view::npos) {
    *error = "the profile text holds a zero byte";
    return false;
  }
  size_t i = 0;
  while (i < plain.size()) {
    while (i < plain.size() && IsSpace(plain[i])) ++i;
    if (i == plain.size()) break;
    size_t start = i;
    while (i < plain.size() && !IsSpace(plain[i])) ++i;
    if (i - start > kMaxTokenLength) {
      *error = "token longer than " + std::to_string(kMaxTokenLength) +
               " characters: " + std::string(plain.substr(start, 40)) + "...";
      return false;
    }
    if (!normalized->empty()) *normalized += ' ';
    normalized->append(plain.substr(start, i - start));
  }
  if (normalized->empty()) {
    *error = "the profile text holds no entry";
    return false;
  }
  return true;
}

bool EncodeProfile(std::string_view plain, std::string* dataVpn, std::string* error) {
  std::string text;
  if (!NormalizeProfileText(plain, &text, error)) return false;
  unsigned char* sealed = Rc4Crypt(kProfileKey, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  std::string line = Base64Encode(sealed, text.size());
  delete[] sealed;
  *dataVpn = line;
  *dataVpn += '\n';
  *dataVpn += std::to_string(Crc32(line.data(), line.size()));
  *dataVpn += '\n';
  return true;
}

int DecodeProfileFile(const char* path, std::string* plain) {
  ProfileFileRead read;
  int result = ReadProfileFile(path, false, &read);
  if (result != kProfileOk) return result;
  size_t n = DecipherProfileLine(read.data, read.lineLength);
  if (plain) plain->assign(read.data, n);
  delete[] read.data;
  return kProfileOk;
}

bool MakeUpdatePage(std::string_view dataVpn, std::string* page, int* result) {
  // Same reading as the loader: line 1 less its line end, then a "%u" number.
  size_t lf = dataVpn.find('\n');
  if (lf == std::string_view::npos) {
    *result = kProfileUnreadable;
    return false;
  }
  std::string_view line = dataVpn.substr(0, lf);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) {
    *result = kProfileUnreadable;
    return false;
  }
  size_t i = lf + 1;
  while (i < dataVpn.size() && IsSpace(dataVpn[i])) ++i;
  uint64_t crc = 0;
  bool valid = true;
  for (; i < dataVpn.size() && dataVpn[i] >= '0' && dataVpn[i] <= '9'; ++i) {
    crc = crc * 10 + static_cast<uint64_t>(dataVpn[i] - '0');
    if (crc > 0xFFFFFFFFull) valid = false, crc = 0xFFFFFFFFull;
  }
  if (!valid || Crc32(line.data(), line.size()) != crc) {
    *result = kProfileBadCrc;
    return false;
  }
  // Only Base64 characters go on the body lines: anything else in line 1 is
  // skipped by the decoder anyway and could end the block early ("!!").
  std::string body;
  for (char c : line)
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=')
      body += c;
  if (body.empty()) {
    *result = kProfileUnreadable;
    return false;
  }
  page->clear();
  *page += "<!DOCTYPE html>\n<html><head><title>Quorvanta</title></head><body>\n<!--\n";
  for (size_t p = 0; p < body.size(); p += kPageLineLength) {
    page->append(body, p, kPageLineLength);
    *page += '\n';
  }
  *page += "!!" + std::to_string(Crc32(body.data(), body.size())) + "-->\n</body></html>\n";
  *result = kProfileOk;
  return true;
}
