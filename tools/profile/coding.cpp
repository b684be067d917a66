// encode, decode and page: plain text <-> data.vpn <-> update page.
#include <cstdio>
#include <string>

#include "commands.h"
#include "profile/profile.h"
#include "profile/profile_codec.h"

bool ReadStandardInput(std::string* text) {
  char chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) text->append(chunk, got);
  return !std::ferror(stdin);
}

bool WriteStandardOutput(const std::string& text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) return false;
  return std::fflush(stdout) == 0;
}

namespace {

const char* ResultText(int result) {
  return result == kProfileBadCrc ? "the CRC does not match" : "cannot be opened, is empty or its first line is empty";
}

}  // namespace

int EncodeCommand() {
  std::string plain, dataVpn, error;
  if (!ReadStandardInput(&plain)) {
    std::fputs("quorvanta-profile: cannot read standard input\n", stderr);
    return 1;
  }
  if (!EncodeProfile(plain, &dataVpn, &error)) {
    std::fprintf(stderr, "quorvanta-profile: %s\n", error.c_str());
    return 1;
  }
  return WriteStandardOutput(dataVpn) ? 0 : 1;
}

int DecodeCommand(const char* path) {
  std::string plain;
  int result = DecodeProfileFile(path, &plain);
  if (result != kProfileOk) {
    std::fprintf(stderr, "quorvanta-profile: %s: %s\n", path, ResultText(result));
    return result;
  }
  if (plain.empty() || plain.back() != '\n') plain += '\n';
  return WriteStandardOutput(plain) ? 0 : 1;
}

int PageCommand() {
  std::string dataVpn, page;
  if (!ReadStandardInput(&dataVpn)) {
    std::fputs("quorvanta-profile: cannot read standard input\n", stderr);
    return 1;
  }
  int result = kProfileOk;
  if (!MakeUpdatePage(dataVpn, &page, &result)) {
    std::fprintf(stderr, "quorvanta-profile: standard input: %s\n", ResultText(result));
    return result;
  }
  return WriteStandardOutput(page) ? 0 : 1;
}
