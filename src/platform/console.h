#pragma once
// Standard input and output for a program built as a windowed (GUI) program.

namespace platform {

// A Windows GUI program has standard handles only when its starter gave it
// some (pipes, files). Without them it takes its parent's console, when the
// parent has one, so that the headless mode and --help can still be used from
// a command prompt. True when standard output is usable afterwards.
bool UseParentConsole();

}  // namespace platform
