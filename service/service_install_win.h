#pragma once
// Registers and removes the QuorvantaTunnel service and its event-log source.
namespace tunneld {

// Each gives the program's exit code: 0 done, 3 already so, 1 failed.
int Install();
int Uninstall();

}  // namespace tunneld
