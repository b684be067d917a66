#include "support/test_env.h"

#include <stdlib.h>
#include <unistd.h>

namespace qvtest {

void SetEnv(const char* name, const char* value) {
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

std::string ProcessTag() { return std::to_string(getpid()); }

}  // namespace qvtest
