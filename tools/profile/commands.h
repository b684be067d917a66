#pragma once
// The subcommands of quorvanta-profile; each returns the process exit code.
#include <string>

int EncodeCommand();
int DecodeCommand(const char* path);
int PageCommand();
int LoadCommand(const char* path);

// Everything on standard input; false on a read error.
bool ReadStandardInput(std::string* text);
// Writes all of text to standard output; false on a write error.
bool WriteStandardOutput(const std::string& text);
