#pragma once
// Standard input and output as raw bytes, so that a tool's files come out
// byte for byte the same on every system (no CR added before LF on Windows).
namespace platform {

void SetBinaryStdio();

}  // namespace platform
