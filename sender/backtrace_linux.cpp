#include "backtrace.h"

#include <cxxabi.h>
#include <elfutils/libdwfl.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sender {

namespace {

constexpr int kMaxFrames = 256;
constexpr int kMaxThreads = 1024;

struct Walk {
  Dwfl* dwfl;
  int crashedThread;
  std::string* out;
  int frames = 0;
  int threads = 0;
};

std::string Demangled(const char* name) {
  int status = 0;
  char* plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || !plain) return name;
  std::string text = plain;
  std::free(plain);
  return text;
}

int OnFrame(Dwfl_Frame* frame, void* arg) {
  Walk* walk = static_cast<Walk*>(arg);
  Dwarf_Addr pc = 0;
  bool activation = false;
  if (!dwfl_frame_pc(frame, &pc, &activation)) return DWARF_CB_ABORT;
  // A return address points after the call; look up the call itself.
  const Dwarf_Addr lookup = activation ? pc : pc - 1;
  char line[64];
  std::snprintf(line, sizeof line, "  #%-3d 0x%016" PRIx64, walk->frames, static_cast<uint64_t>(pc));
  std::string text = line;
  Dwfl_Module* module = dwfl_addrmodule(walk->dwfl, lookup);
  if (module) {
    const char* symbol = dwfl_module_addrname(module, lookup);
    text += " ";
    text += symbol ? Demangled(symbol) : "??";
    const char* moduleName = dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (moduleName) {
      text += " in ";
      text += moduleName;
    }
    Dwfl_Line* source = dwfl_module_getsrc(module, lookup);
    int lineNumber = 0;
    const char* file = source ? dwfl_lineinfo(source, nullptr, &lineNumber, nullptr, nullptr, nullptr) : nullptr;
    if (file) {
      text += " at ";
      text += file;
      text += ":" + std::to_string(lineNumber);
    }
  } else {
    text += " ??";
  }
  *walk->out += text + "\n";
  return ++walk->frames >= kMaxFrames ? DWARF_CB_ABORT : DWARF_CB_OK;
}

int OnThread(Dwfl_Thread* thread, void* arg) {
  Walk* walk = static_cast<Walk*>(arg);
  const pid_t tid = dwfl_thread_tid(thread);
  *walk->out += "Thread " + std::to_string(tid) + (tid == walk->crashedThread ? " (crashed)" : "") + ":\n";
  walk->frames = 0;
  if (dwfl_thread_getframes(thread, OnFrame, walk) != 0 && walk->frames == 0) {
    *walk->out += std::string("  no frames: ") + dwfl_errmsg(-1) + "\n";
  }
  *walk->out += "\n";
  return ++walk->threads >= kMaxThreads ? DWARF_CB_ABORT : DWARF_CB_OK;
}

}  // namespace

std::string ProcessBacktrace(int pid, int crashedThread) {
  static char* debuginfoPath = nullptr;
  static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr,
                                           &debuginfoPath};
  std::string out = "Process " + std::to_string(pid) + "\n\n";
  // Debian's profile names a debug-info server; a crash must not wait on, or
  // tell, the network. Symbols come from the files on this machine only.
  unsetenv("DEBUGINFOD_URLS");
  Dwfl* dwfl = dwfl_begin(&callbacks);
  if (!dwfl) return out + "cannot start the debug-info library: " + dwfl_errmsg(-1) + "\n";
  const int reported = dwfl_linux_proc_report(dwfl, pid);
  if (reported != 0 || dwfl_report_end(dwfl, nullptr, nullptr) != 0) {
    // The report call gives an errno value; the library's own error is for the rest.
    out += std::string("cannot read the process's modules: ") +
           (reported > 0 ? std::strerror(reported) : dwfl_errmsg(-1)) + "\n";
    dwfl_end(dwfl);
    return out;
  }
  if (dwfl_linux_proc_attach(dwfl, pid, false) != 0) {
    out += std::string("cannot attach to the process: ") + dwfl_errmsg(-1) + "\n";
    dwfl_end(dwfl);
    return out;
  }
  Walk walk{dwfl, crashedThread, &out};
  if (dwfl_getthreads(dwfl, OnThread, &walk) != 0 && walk.threads == 0) {
    out += std::string("cannot list the threads: ") + dwfl_errmsg(-1) + "\n";
  }
  // Ending the session detaches from every thread, so the process runs on.
  dwfl_end(dwfl);
  return out;
}

// Linux has no minidump format; backtrace.txt is the report's stack record.
bool WriteProcessDump(int, int, uint64_t, const std::string&, std::string* error) {
  *error = "no minidump on this system";
  return false;
}

}  // namespace sender
