#include "profile/profile.h"

// Placeholder until the profile loader lands.
uint32_t Crc32(const void*, size_t) { return 0; }
unsigned char* Base64Decode(const char*, size_t length, size_t* decoded) {
  *decoded = 0;
  return new unsigned char[length + 1]();
}
unsigned char* Rc4Crypt(const char*, const unsigned char*, size_t length) {
  return new unsigned char[length + 1]();
}
void ParseProfileText(const char*, size_t, ServerList*, ServerList*) {}
int LoadProfile(const char*, ServerList*, ServerList*) { return 1; }
int LoadProfileIntoSharedLists(const char*) { return 1; }
