#pragma once
// The report's own texts: the folder it lives in, the plain description in
// report.txt, and the registry key dumps. Pure: nothing here touches a file.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "crash_block.h"

namespace sender {

const char* CrashTypeName(int32_t type);
// Name of a structured-exception code, or nullptr when it has none here.
const char* ExceptionCodeName(uint32_t code);
// "SIGSEGV" and the like, or nullptr.
const char* SignalName(int32_t signal);

// "<save dir>/<app>_<version>" with app and version made safe as one folder name.
std::string AppFolder(const CrashBlock& block);
// The report folder: the save directory (which names the app) plus the crash GUID.
std::string ReportFolder(const CrashBlock& block);
// Where a report goes once sent: the last "UnsentCrashReports" of the path
// becomes "SentCrashReports"; without one, a "SentCrashReports" folder beside it.
std::string SentFolder(const std::string& unsentFolder);
// The same for a report the server refused: "RefusedCrashReports", kept for
// the user but never offered again.
std::string RefusedFolder(const std::string& unsentFolder);

struct RegistryValue {
  std::string name;  // empty: the key's default value
  uint32_t type = 0;
  std::string data;  // raw bytes as stored
};

struct RegistryDump {
  std::string keyPath;  // as the block names it
  bool found = false;
  std::vector<RegistryValue> values;
};

// The key in the registry's export style: a bracketed key line, then one
// line per value ("name"="text", dword:hex, or hex bytes).
std::string RegistryText(const RegistryDump& dump);

struct ReportInputs {
  std::time_t time = 0;
  std::vector<RegistryDump> keys;
  std::vector<std::string> fileNotes;  // one line per listed file: copied, missing, refused
};

std::string ReportText(const CrashBlock& block, const ReportInputs& inputs);

}  // namespace sender
