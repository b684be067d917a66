#pragma once
// Windows test helper: runs a program with its standard input a pipe the test
// writes to and its standard output and error gathered in one text.
#include <windows.h>
// windows.h names its registry calls as macros that would rename the
// platform layer's functions of the same names.
#undef RegOpenKey
#undef RegCreateKey
#undef RegQueryValue
#undef RegSetValue
#undef RegDeleteValue

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace qvtest {

// The build names its files by host paths; Wine shows the host's root as Z:.
inline std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path.insert(0, "Z:");
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// The programs' narrow text is UTF-8; the tests speak to the system in UTF-16.
inline std::wstring Wide(const std::string& utf8) {
  std::wstring wide(utf8.size() + 1, L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
  return wide;
}

inline std::string Utf8(const std::wstring& wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(n > 0 ? static_cast<size_t>(n) : 1, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), n, nullptr, nullptr);
  utf8.resize(utf8.size() - 1);
  return utf8;
}

// A whole file, or "" when it cannot be read.
inline std::string ReadFileText(const std::string& path) {
  std::string text;
  FILE* in = _wfopen(Wide(path).c_str(), L"rb");
  if (!in) return text;
  char buffer[4096];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, got);
  std::fclose(in);
  return text;
}

inline bool WriteFileText(const std::string& path, const std::string& text) {
  FILE* out = _wfopen(Wide(path).c_str(), L"wb");
  if (!out) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  return std::fclose(out) == 0 && ok;
}

// A program's path in double quotes, for the head of a command line.
inline std::string Quoted(const std::string& path) {
  std::string quoted(1, '"');
  quoted += path;
  quoted += '"';
  return quoted;
}

// Runs a Unix shell script of the tests (Wine starts Unix programs but hands
// back no exit code) as "SCRIPT OUT ARGS" and waits for the one line it
// writes to OUT; "no answer" when none comes within waitMs.
inline std::string UnixScriptLine(const std::string& script, const std::string& args, int waitMs = 25000) {
  static int calls = 0;
  const std::string out = "/tmp/qv-wine-probe-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++calls);
  DeleteFileA(WindowsPath(out).c_str());
  std::string line = "/bin/sh " + script + " " + out + " " + args;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return "";
  // Wine starts a Unix program without handles and leaves a stray value in
  // hThread: closing it could close a handle of ours that has the same value.
  if (pi.hProcess) {
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  std::string answer = "no answer";
  for (int waited = 0; waited < waitMs; waited += 20, Sleep(20)) {
    std::string text = ReadFileText(WindowsPath(out));
    if (!text.empty() && text.back() == '\n') {
      answer = text.substr(0, text.size() - 1);
      break;
    }
  }
  DeleteFileA(WindowsPath(out).c_str());
  return answer;
}

// The gathered output outlives the Program: a program it started (Wine's
// explorer.exe, started by the first process that makes a window) may inherit
// the output pipe and hold it open long after the program itself has ended.
struct ProgramOutput {
  std::mutex mutex;
  std::condition_variable changed;
  std::string text;
  bool ended = false;  // the pipe's end was read
};

class Program {
 public:
  Program() = default;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program() {
    if (process_.hProcess) {
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 1);
      WaitForSingleObject(process_.hProcess, 10000);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
    CloseInput();
    Drain();
    // A reader still waiting on a pipe that somebody else holds open keeps
    // the output alive by itself and ends with the test process.
    if (reader_.joinable()) reader_.detach();
    if (peek_) CloseHandle(peek_);
  }

  // commandLine names the program first; the environment is this process's.
  bool Start(std::string commandLine) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE outWrite = nullptr, inRead = nullptr, outRead = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &sa, 0)) return false;
    if (!CreatePipe(&inRead, &input_, &sa, 0)) return false;
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = outWrite;
    std::wstring line = Wide(commandLine);
    const bool ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &process_);
    CloseHandle(outWrite);
    CloseHandle(inRead);
    if (!ok) {
      CloseHandle(outRead);
      return false;
    }
    // The reader closes its handle at the pipe's end; this one only looks.
    DuplicateHandle(GetCurrentProcess(), outRead, GetCurrentProcess(), &peek_, 0, FALSE, DUPLICATE_SAME_ACCESS);
    reader_ = std::thread([output = output_, outRead] {
      char buffer[512];
      DWORD got = 0;
      while (ReadFile(outRead, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        std::lock_guard<std::mutex> lock(output->mutex);
        output->text.append(buffer, got);
        output->changed.notify_all();
      }
      CloseHandle(outRead);
      std::lock_guard<std::mutex> lock(output->mutex);
      output->ended = true;
      output->changed.notify_all();
    });
    return true;
  }

  bool Write(const std::string& text) {
    DWORD written = 0;
    return input_ && WriteFile(input_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
  }
  void CloseInput() {
    if (input_) CloseHandle(input_);
    input_ = nullptr;
  }

  // Waits until text has appeared count times in the output.
  bool WaitFor(const std::string& text, size_t count = 1, int ms = 20000) {
    std::unique_lock<std::mutex> lock(output_->mutex);
    return output_->changed.wait_for(lock, std::chrono::milliseconds(ms),
                                     [&] { return CountIn(output_->text, text) >= count; });
  }
  size_t Count(const std::string& text) {
    std::lock_guard<std::mutex> lock(output_->mutex);
    return CountIn(output_->text, text);
  }
  std::string Output() {
    std::lock_guard<std::mutex> lock(output_->mutex);
    return output_->text;
  }

  DWORD Id() const { return process_.dwProcessId; }

  // The exit code, or -2 when the program has not ended within ms. Once it
  // has, its output is complete, even when a program it started holds the
  // pipe open.
  long long Wait(int ms = 20000) {
    if (WaitForSingleObject(process_.hProcess, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) return -2;
    CloseInput();
    Drain();
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return static_cast<int>(code);  // -1 comes back as 0xFFFFFFFF
  }

 private:
  static size_t CountIn(const std::string& output, const std::string& text) {
    size_t n = 0;
    for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1)) ++n;
    return n;
  }

  // After the program's end: until the pipe's end is read or, when another
  // process holds the pipe, until nothing is left in it to read.
  void Drain() {
    if (!reader_.joinable()) return;
    for (int quiet = 0, waited = 0; waited < 5000; waited += 50) {
      {
        std::unique_lock<std::mutex> lock(output_->mutex);
        if (output_->changed.wait_for(lock, std::chrono::milliseconds(50), [&] { return output_->ended; })) {
          lock.unlock();
          reader_.join();
          return;
        }
      }
      DWORD available = 0;
      const bool peeked = peek_ && PeekNamedPipe(peek_, nullptr, 0, nullptr, &available, nullptr) != FALSE;
      // Twice empty in a row: the reader has taken the last bytes in too.
      quiet = peeked && available == 0 ? quiet + 1 : 0;
      if (quiet >= 2) return;
    }
  }

  PROCESS_INFORMATION process_{};
  HANDLE input_ = nullptr;
  HANDLE peek_ = nullptr;  // a second handle to the output pipe, to see what is left in it
  std::thread reader_;
  std::shared_ptr<ProgramOutput> output_ = std::make_shared<ProgramOutput>();
};

}  // namespace qvtest
