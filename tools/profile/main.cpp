// quorvanta-profile: makes, checks and wraps data.vpn profiles (vendor tooling).
#include <cstdio>
#include <cstring>

#include "platform/binary_stdio.h"
#include "commands.h"

namespace {

int Usage() {
  std::fputs("usage: quorvanta-profile encode <plain >data.vpn | decode FILE | load FILE | page <data.vpn >page\n",
             stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  platform::SetBinaryStdio();
  if (argc < 2) return Usage();
  const char* command = argv[1];
  if (argc == 2 && std::strcmp(command, "encode") == 0) return EncodeCommand();
  if (argc == 2 && std::strcmp(command, "page") == 0) return PageCommand();
  if (argc == 3 && std::strcmp(command, "decode") == 0) return DecodeCommand(argv[2]);
  if (argc == 3 && std::strcmp(command, "load") == 0) return LoadCommand(argv[2]);
  return Usage();
}
