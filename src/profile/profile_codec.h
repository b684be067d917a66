#pragma once
// Making and reading data.vpn texts: vendor tooling, the update pages of the
// tests, benchmarks. The program itself only reads profiles (profile.h).
#include <cstdint>
#include <string>
#include <string_view>

std::string Base64Encode(const void* bytes, size_t length);

// Plain profile text as the loader reads it back: every run of white space
// becomes one space, none before the first token or after the last. Returns
// false with *error set when the text holds a zero byte, a token longer than
// an entry can hold, or no token at all (an empty profile would be deleted).
bool NormalizeProfileText(std::string_view plain, std::string* normalized, std::string* error);

// The data.vpn text of a plain profile: line 1 the Base64 of the RC4-enciphered
// normalized text, line 2 its CRC-32 in decimal. false as NormalizeProfileText.
bool EncodeProfile(std::string_view plain, std::string* dataVpn, std::string* error);

// Reads and verifies a data.vpn as LoadProfile does, but never deletes it;
// returns 0, 1 or 2 as LoadProfile would and, on 0, the deciphered text.
int DecodeProfileFile(const char* path, std::string* plain);

// An update page carrying line 1 of a data.vpn in the comment block the update
// reads ("<!--" line, Base64 lines, "!!<crc>-->" line). false when dataVpn
// fails the same checks as a profile file (*result gets 1 or 2).
bool MakeUpdatePage(std::string_view dataVpn, std::string* page, int* result);
