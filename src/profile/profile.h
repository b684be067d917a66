#pragma once
// The connection profile data.vpn: Base64 of the RC4-enciphered token text on
// line 1, the CRC-32 of that line in decimal on line 2.
#include <cstddef>
#include <cstdint>

struct ServerList;

inline constexpr const char* kProfileKey = "Tq7#k2Wm5";

uint32_t Crc32(const void* bytes, size_t length);

// Decodes standard Base64, skipping every character outside the alphabet.
// Returns a new buffer (delete[]) as long as the text; *decoded gets the count.
unsigned char* Base64Decode(const char* text, size_t length, size_t* decoded);

// RC4 with key; returns a new buffer (delete[]) of length + 1 bytes, zero-terminated.
unsigned char* Rc4Crypt(const char* key, const unsigned char* bytes, size_t length);

// Adds the tokens of section 1 to a and of section 2 to b, each at a random end.
// Safe on any bytes: length bounds every read.
// The text ends at length or at its first zero byte; tokens are the runs
// between white space of any length, and a token too long for an entry is
// dropped whole. A null list drops the tokens of its section.
void ParseProfileText(const char* text, size_t length, ServerList* a, ServerList* b);
// The same with a given seed for the front/back draws (tests, fuzzing).
void ParseProfileTextSeeded(const char* text, size_t length, ServerList* a, ServerList* b, uint64_t seed);

enum ProfileResult { kProfileOk = 0, kProfileUnreadable = 1, kProfileBadCrc = 2 };

// Verifies (a and b both null) or loads the profile at path. When a and b are
// the shared Servers and UpdateUrls, entries are added under ListsLock to the
// lists those pointers designate at that moment.
int LoadProfile(const char* path, ServerList* a, ServerList* b);

// Loads into the shared lists (the Connect path): the entries go, under
// ListsLock, to whatever Servers and UpdateUrls hold when they are appended.
int LoadProfileIntoSharedLists(const char* path);
