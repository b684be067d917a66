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

class Program {
 public:
  Program() = default;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program() {
    if (process_.hProcess) {
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 1);
      WaitForSingleObject(process_.hProcess, INFINITE);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
    CloseInput();
    if (reader_.joinable()) reader_.join();
    if (output_read_) CloseHandle(output_read_);
  }

  // commandLine names the program first; the environment is this process's.
  bool Start(std::string commandLine) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE outWrite = nullptr, inRead = nullptr;
    if (!CreatePipe(&output_read_, &outWrite, &sa, 0)) return false;
    if (!CreatePipe(&inRead, &input_, &sa, 0)) return false;
    SetHandleInformation(output_read_, HANDLE_FLAG_INHERIT, 0);
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
    if (!ok) return false;
    reader_ = std::thread([this] {
      char buffer[512];
      DWORD got = 0;
      while (ReadFile(output_read_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        output_.append(buffer, got);
        changed_.notify_all();
      }
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
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return CountLocked(text) >= count; });
  }
  size_t Count(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLocked(text);
  }
  std::string Output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
  }

  DWORD Id() const { return process_.dwProcessId; }

  // The exit code, or -2 when the program has not ended within ms. Once it
  // has, its output is complete (unless a program it started holds it open).
  long long Wait(int ms = 20000) {
    if (WaitForSingleObject(process_.hProcess, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) return -2;
    CloseInput();
    if (reader_.joinable()) reader_.join();
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return static_cast<int>(code);  // -1 comes back as 0xFFFFFFFF
  }

 private:
  size_t CountLocked(const std::string& text) const {
    size_t n = 0;
    for (size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + 1)) ++n;
    return n;
  }

  PROCESS_INFORMATION process_{};
  HANDLE input_ = nullptr;
  HANDLE output_read_ = nullptr;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
};

}  // namespace qvtest
