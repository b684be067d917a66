#pragma once
// Reading of a data.vpn file, shared by the loader and the vendor tooling.
#include <cstddef>
#include <cstdint>

// What a read found. On kProfileOk, data holds the whole file read once
// (delete[]), line 1 is data[0, lineLength) with its line end removed.
struct ProfileFileRead {
  char* data = nullptr;
  size_t lineLength = 0;
  // The file is empty or its first line is only a line feed: the loader deletes it.
  bool deleteFile = false;
};

// Opens and verifies the file under ProfileLock; deletes it (still under the
// lock) only when deleteBroken is set and the read says so. Returns 0, 1 or 2
// as LoadProfile does. The caller releases out->data.
int ReadProfileFile(const char* path, bool deleteBroken, ProfileFileRead* out);

// Deciphers line 1 in place (Base64, then RC4 with kProfileKey); returns the
// length of the plain text, which starts at line.
size_t DecipherProfileLine(char* line, size_t length);
