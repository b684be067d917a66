#include "backtrace.h"

#include <windows.h>
#include <dbghelp.h>
#include <tlhelp32.h>

#include <cinttypes>
#include <cstdio>
#include <vector>
#include "platform/text_win.h"

namespace sender {

namespace {

constexpr int kMaxFrames = 256;
constexpr int kMaxThreads = 1024;

std::vector<DWORD> ThreadsOf(DWORD pid) {
  std::vector<DWORD> threads;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return threads;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more && threads.size() < kMaxThreads;
       more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == pid) threads.push_back(entry.th32ThreadID);
  }
  CloseHandle(snapshot);
  return threads;
}

// "#3  quorvanta.exe+0x1a2b3  Function  file.cpp:42", as much as the symbol engine knows.
std::string FrameLine(HANDLE process, int index, DWORD64 pc) {
  char line[1200];
  IMAGEHLP_MODULEW64 module{};
  module.SizeOfStruct = sizeof module;
  std::string where;
  if (SymGetModuleInfoW64(process, pc, &module)) {
    std::snprintf(line, sizeof line, "%s+0x%" PRIx64, platform::Utf8FromWide(module.ModuleName).c_str(),
                  static_cast<uint64_t>(pc - module.BaseOfImage));
  } else {
    std::snprintf(line, sizeof line, "0x%016" PRIx64, static_cast<uint64_t>(pc));
  }
  where = line;
  alignas(SYMBOL_INFO) char buffer[sizeof(SYMBOL_INFO) + 512];
  auto* symbol = reinterpret_cast<SYMBOL_INFO*>(buffer);
  symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
  symbol->MaxNameLen = 511;
  DWORD64 displacement = 0;
  if (SymFromAddr(process, pc, &displacement, symbol)) where += std::string("  ") + symbol->Name;
  IMAGEHLP_LINE64 source{};
  source.SizeOfStruct = sizeof source;
  DWORD column = 0;
  if (SymGetLineFromAddr64(process, pc, &column, &source) && source.FileName)
    where += "  " + std::string(source.FileName) + ":" + std::to_string(source.LineNumber);
  std::snprintf(line, sizeof line, "#%-3d %s\n", index, where.c_str());
  return line;
}

}  // namespace

std::string ProcessBacktrace(int pid, int crashedThread) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(pid));
  if (!process) {
    return "Process " + std::to_string(pid) + " cannot be read (error " + std::to_string(GetLastError()) + ").\n";
  }
  // Public symbols only: the crashed process waits while this runs, and reading
  // the modules' full debug information (Wine's DWARF, a PDB) may outlast that
  // wait. The program's own frames are named afterwards by quorvanta-symbolize.
  SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_PUBLICS_ONLY);
  const bool symbols = SymInitializeW(process, nullptr, TRUE) != FALSE;
  std::string text = "Process " + std::to_string(pid) + (symbols ? "" : " (no symbols could be loaded)") + "\n";
  for (DWORD tid : ThreadsOf(static_cast<DWORD>(pid))) {
    text += "\nThread " + std::to_string(tid) + (static_cast<int>(tid) == crashedThread ? " (crashed)" : "") + "\n";
    HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION | THREAD_SUSPEND_RESUME, FALSE, tid);
    if (!thread) {
      text += "  cannot be read\n";
      continue;
    }
    // Held still while it is walked; the crashed thread waits for us anyway.
    const bool suspended = SuspendThread(thread) != static_cast<DWORD>(-1);
    alignas(16) CONTEXT context{};
    context.ContextFlags = CONTEXT_FULL;
    if (GetThreadContext(thread, &context)) {
      STACKFRAME64 frame{};
      frame.AddrPC.Offset = context.Rip;
      frame.AddrPC.Mode = AddrModeFlat;
      frame.AddrFrame.Offset = context.Rbp;
      frame.AddrFrame.Mode = AddrModeFlat;
      frame.AddrStack.Offset = context.Rsp;
      frame.AddrStack.Mode = AddrModeFlat;
      for (int n = 0; n < kMaxFrames; ++n) {
        if (!StackWalk64(IMAGE_FILE_MACHINE_AMD64, process, thread, &frame, &context, nullptr, SymFunctionTableAccess64,
                         SymGetModuleBase64, nullptr) ||
            frame.AddrPC.Offset == 0)
          break;
        // A return address points after the call; look up the call itself.
        text += FrameLine(process, n, n == 0 ? frame.AddrPC.Offset : frame.AddrPC.Offset - 1);
      }
    } else {
      text += "  its registers cannot be read\n";
    }
    if (suspended) ResumeThread(thread);
    CloseHandle(thread);
  }
  if (symbols) SymCleanup(process);
  CloseHandle(process);
  return text;
}

bool WriteProcessDump(int pid, int crashedThread, uint64_t pointers, const std::string& path, std::string* error) {
  HANDLE process =
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE, FALSE, static_cast<DWORD>(pid));
  if (!process) {
    *error = "the process cannot be read (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  std::wstring widePath(path.size() + 1, L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, widePath.data(), static_cast<int>(widePath.size()));
  HANDLE file =
      n > 0 ? CreateFileW(widePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
            : INVALID_HANDLE_VALUE;
  if (file == INVALID_HANDLE_VALUE) {
    CloseHandle(process);
    *error = "cannot create " + path;
    return false;
  }
  // The record of the crash lives in the crashed process: dbghelp reads it from there.
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  exception.ThreadId = static_cast<DWORD>(crashedThread);
  exception.ExceptionPointers = reinterpret_cast<PEXCEPTION_POINTERS>(static_cast<uintptr_t>(pointers));
  exception.ClientPointers = TRUE;
  const auto type = static_cast<MINIDUMP_TYPE>(MiniDumpWithThreadInfo | MiniDumpWithUnloadedModules);
  const bool ok = MiniDumpWriteDump(process, static_cast<DWORD>(pid), file, type, pointers ? &exception : nullptr,
                                    nullptr, nullptr) != FALSE;
  const DWORD code = GetLastError();
  CloseHandle(file);
  CloseHandle(process);
  if (!ok) {
    DeleteFileW(widePath.c_str());
    *error = "MiniDumpWriteDump failed (error " + std::to_string(code) + ")";
  }
  return ok;
}

}  // namespace sender
