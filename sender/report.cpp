#include "report.h"

#include "paths.h"

#include <cstdio>

namespace sender {

namespace {

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string Hex64(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(value));
  return text;
}

// Quotes a text for one line of the registry export: backslash and quote escaped,
// line breaks and other control characters written as escapes so no line is forged.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '\\' || c == '"') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + "\"";
}

// One line of report.txt never spans two: outside text has its breaks escaped.
std::string OneLine(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c < 0x20 && c != '\t')
      out.push_back('?');
    else
      out.push_back(static_cast<char>(c));
  }
  return out;
}

}  // namespace

const char* CrashTypeName(int32_t type) {
  static const char* const kNames[] = {
      "structured exception",
      "terminate() called",
      "unexpected() called",
      "pure virtual function called",
      "operator new or heap allocation failed",
      "reserved",
      "invalid parameter passed to a run-time function",
      "SIGABRT",
      "SIGFPE",
      "SIGILL",
      "SIGINT",
      "SIGSEGV",
      "SIGTERM",
  };
  if (type < 0 || type > 12) return "unknown crash type";
  return kNames[type];
}

const char* ExceptionCodeName(uint32_t code) {
  switch (code) {
    case 0xC0000005:
      return "access violation";
    case 0xC0000006:
      return "in-page error";
    case 0xC000001D:
      return "illegal instruction";
    case 0xC000008C:
      return "array bounds exceeded";
    case 0xC000008E:
      return "floating-point divide by zero";
    case 0xC000008F:
      return "floating-point inexact result";
    case 0xC0000090:
      return "floating-point invalid operation";
    case 0xC0000091:
      return "floating-point overflow";
    case 0xC0000093:
      return "floating-point underflow";
    case 0xC0000094:
      return "integer divide by zero";
    case 0xC0000095:
      return "integer overflow";
    case 0xC0000096:
      return "privileged instruction";
    case 0xC00000FD:
      return "stack overflow";
    case 0xC0000409:
      return "stack buffer overrun";
    case 0x80000002:
      return "datatype misalignment";
    case 0x80000003:
      return "breakpoint";
    default:
      return nullptr;
  }
}

const char* SignalName(int32_t signal) {
  switch (signal) {
    case 1:
      return "SIGHUP";
    case 2:
      return "SIGINT";
    case 3:
      return "SIGQUIT";
    case 4:
      return "SIGILL";
    case 5:
      return "SIGTRAP";
    case 6:
      return "SIGABRT";
    case 7:
      return "SIGBUS";
    case 8:
      return "SIGFPE";
    case 9:
      return "SIGKILL";
    case 11:
      return "SIGSEGV";
    case 13:
      return "SIGPIPE";
    case 15:
      return "SIGTERM";
    default:
      return nullptr;
  }
}

std::string AppFolder(const CrashBlock& block) {
  std::string dir = block.saveDirectory;
  while (dir.size() > 1 && dir.back() == kPathSeparator) dir.pop_back();
  return dir;
}

std::string ReportFolder(const CrashBlock& block) {
  const std::string dir = AppFolder(block);
  return !dir.empty() && dir.back() == kPathSeparator ? dir + block.crashGuid : dir + kPathSeparator + block.crashGuid;
}

std::string QueueFolder(const std::string& unsentFolder, const std::string& queue) {
  const std::string sep(1, kPathSeparator);
  const std::string unsent = sep + "UnsentCrashReports" + sep;
  const size_t at = unsentFolder.rfind(unsent);
  if (at != std::string::npos) {
    return unsentFolder.substr(0, at) + sep + queue + sep + unsentFolder.substr(at + unsent.size());
  }
  const size_t slash = unsentFolder.rfind(kPathSeparator);
  if (slash == std::string::npos) return queue + sep + unsentFolder;
  return unsentFolder.substr(0, slash) + sep + queue + unsentFolder.substr(slash);
}

std::string SentFolder(const std::string& unsentFolder) { return QueueFolder(unsentFolder, "SentCrashReports"); }

std::string RefusedFolder(const std::string& unsentFolder) { return QueueFolder(unsentFolder, "RefusedCrashReports"); }

std::string RegistryText(const RegistryDump& dump) {
  std::string out = "[" + OneLine(dump.keyPath) + "]\n";
  if (!dump.found) return out + "; the key does not exist or cannot be read\n";
  for (const RegistryValue& value : dump.values) {
    out += value.name.empty() ? "@" : Quoted(value.name);
    out += "=";
    if (value.type == 4 && value.data.size() == 4) {
      const auto* b = reinterpret_cast<const unsigned char*>(value.data.data());
      char text[24];
      std::snprintf(text, sizeof text, "dword:%08x",
                    b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<unsigned>(b[3]) << 24));
      out += text;
    } else if (value.type == 1) {
      std::string text = value.data;
      while (!text.empty() && text.back() == '\0') text.pop_back();
      out += Quoted(text);
    } else {
      char head[24];
      std::snprintf(head, sizeof head, "hex(%x):", static_cast<unsigned>(value.type));
      out += head;
      for (size_t i = 0; i < value.data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(value.data[i]));
        if (i) out += ",";
        out += byte;
      }
    }
    out += "\n";
  }
  return out;
}

std::string ReportText(const CrashBlock& block, const ReportInputs& inputs) {
  std::string out;
  auto line = [&out](const char* label, const std::string& value) {
    out += label;
    out += ": ";
    out += OneLine(value);
    out += "\n";
  };
  char when[64] = "unknown";
  std::tm utc{};
  if (gmtime_r(&inputs.time, &utc)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);

  line("Application", block.appName);
  line("Version", block.appVersion);
  line("Time", when);
  line("Crash GUID", block.crashGuid);
  line("Executable", block.executablePath);
  line("Process", std::to_string(block.processId));
  line("Crash type", std::to_string(block.exceptionType) + " (" + CrashTypeName(block.exceptionType) + ")");
  std::string code = Hex32(block.exceptionCode);
  if (const char* name = ExceptionCodeName(block.exceptionCode)) code += std::string(" (") + name + ")";
  line("Exception code", code);
  if (block.exceptionType == 8) line("Floating-point subcode", Hex32(block.fpeSubcode));
  if (block.exceptionType == 6) {
    line("Expression", block.expression);
    line("Function", block.function);
    line("Source file", block.sourceFile);
    line("Source line", std::to_string(block.sourceLine));
  }
  if (block.lnx.present) {
    std::string signal = std::to_string(block.lnx.signal);
    if (const char* name = SignalName(block.lnx.signal)) signal += std::string(" (") + name + ")";
    if (block.lnx.signal == 0) signal = "none";
    line("Signal", signal);
    line("Signal code", std::to_string(block.lnx.signalCode));
    // A signal sent by a process (kill, raise) has a code of 0 or below and no faulting address.
    if (block.lnx.signal != 0 && block.lnx.signalCode <= 0) {
      line("Faulting address", "none (the signal was sent, not raised by a fault)");
    } else {
      line("Faulting address", Hex64(block.lnx.faultAddress));
    }
    line("Exception pointers", Hex64(block.lnx.exceptionPointers));
    line("Thread", std::to_string(block.lnx.threadId));
  } else {
    line("Signal", "unknown");
    line("Faulting address", "unknown");
    line("Exception pointers", Hex32(block.exceptionPointers));
    line("Thread", std::to_string(block.threadId));
  }
  if (!block.damage.empty()) line("Block damage", block.damage);

  out += "\nProperties:\n";
  for (const PropertyItem& p : block.properties) out += "  " + OneLine(p.name) + " = " + OneLine(p.value) + "\n";
  out += "\nFiles:\n";
  for (const std::string& note : inputs.fileNotes) out += "  " + OneLine(note) + "\n";
  out += "\nRegistry keys:\n";
  for (const RegistryDump& dump : inputs.keys) out += RegistryText(dump);
  return out;
}

}  // namespace sender
