#include "support/test_env.h"

#include <windows.h>

#include <cstdlib>

namespace qvtest {

// Both the C runtime's copy (getenv) and the process's (children) change.
void SetEnv(const char* name, const char* value) {
  _putenv_s(name, value ? value : "");
  SetEnvironmentVariableA(name, value);
}

std::string ProcessTag() { return std::to_string(GetCurrentProcessId()); }

}  // namespace qvtest
