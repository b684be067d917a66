#pragma once
// Test helpers for the process environment, the same on both systems.
#include <string>

namespace qvtest {

// Sets (or, with nullptr, removes) a variable of this process and its children.
void SetEnv(const char* name, const char* value);
// A text unique to this process, for names tests make.
std::string ProcessTag();

}  // namespace qvtest
