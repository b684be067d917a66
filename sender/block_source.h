#pragma once
// Copies a named crash block into private memory. The owner may shrink the
// object at any time; reading it through a mapping would then fault, so the
// copy is read from the object's file, where a shrink only shortens the read.
#include <string>
#include <vector>

namespace sender {

bool CopyCrashBlock(const char* name, std::vector<unsigned char>* bytes, std::string* error);

}  // namespace sender
