// openvpn.exe stand-in for tests on Windows (and under Wine). It plays an
// OpenVPN 2.6 client's side of the management interface, as recorded from the
// real program, without any network tunnel.
//
// Command line: whatever the service passes. It reads only
//   --service EVENT 1          exits when the named event is set
//   --management HOST PORT     connects there (default 127.0.0.1 63782)
// and records the whole command line (GetCommandLineW, UTF-8, one line) to
// the file named by QV_STANDIN_RECORD, else to standin-cmdline.txt beside itself.
// It records its working directory on the next line ("cwd: ...").
//
// Environment (the service passes its own environment on):
//   QV_STANDIN_MODE   ok       (default) INFO, HOLD, password query, WAIT/AUTH/
//                              ASSIGN_IP/CONNECTED, BYTECOUNT every N s after
//                              "bytecount N"
//                     badpass  after the password: WAIT, AUTH,
//                              ">PASSWORD:Verification Failed: 'Auth'", GET_CONFIG,
//                              EXITING, then closes and exits 0
//                     drop     like ok, then after QV_STANDIN_DROP_MS (default
//                              2000) ms of CONNECTED closes the connection
//                              without EXITING and exits 1 (a dead tunnel)
//                     exit1    prints an options error and exits 1 at once
//                     noconnect exits 1 without connecting
//                     idle     never connects; waits for the exit event, exits 0
//   QV_STANDIN_PASSWORD  if set, any other password behaves as badpass
// Ends (after ">STATE:...,EXITING,...") with status 0 when the exit event is
// set or "signal SIGTERM" arrives; with status 0 when the management side
// closes the connection.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <string>

namespace {

std::string Utf8(const wchar_t* wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

// The environment as the system holds it, in UTF-8.
std::string Env(const char* name, const char* fallback = "") {
  wchar_t wideName[64];
  if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wideName, 64) <= 0) return fallback;
  const wchar_t* v = _wgetenv(wideName);
  return v ? Utf8(v) : fallback;
}

void Record() {
  std::string path = Env("QV_STANDIN_RECORD");
  if (path.empty()) {
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    if (wchar_t* slash = std::wcsrchr(self, L'\\')) slash[1] = L'\0';
    path = Utf8(self) + "standin-cmdline.txt";
  }
  wchar_t cwd[MAX_PATH];
  if (GetCurrentDirectoryW(MAX_PATH, cwd) == 0) cwd[0] = L'\0';
  std::wstring widePath(path.size() + 1, L'\0');
  if (MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, widePath.data(), static_cast<int>(widePath.size())) <= 0)
    return;
  FILE* f = _wfopen(widePath.c_str(), L"ab");
  if (!f) return;
  std::fprintf(f, "%s\ncwd: %s\n", Utf8(GetCommandLineW()).c_str(), Utf8(cwd).c_str());
  std::fclose(f);
}

struct Management {
  SOCKET socket = INVALID_SOCKET;
  WSAEVENT readable = WSA_INVALID_EVENT;
  std::string pending;
  bool closed = false;

  void Send(const std::string& line) {
    std::string out = line + "\r\n";
    const char* p = out.data();
    int left = static_cast<int>(out.size());
    while (left > 0 && !closed) {
      int sent = send(socket, p, left, 0);
      if (sent == SOCKET_ERROR) {
        if (WSAGetLastError() == WSAEWOULDBLOCK) {
          // The front end's buffer is full: wait until it takes more.
          fd_set writable;
          FD_ZERO(&writable);
          FD_SET(socket, &writable);
          select(0, nullptr, &writable, nullptr, nullptr);
          continue;
        }
        closed = true;
        return;
      }
      p += sent;
      left -= sent;
    }
  }

  // Takes what arrived; true while the connection is open.
  bool Receive() {
    WSANETWORKEVENTS events;
    WSAEnumNetworkEvents(socket, readable, &events);
    char buf[1024];
    for (;;) {
      int got = recv(socket, buf, sizeof buf, 0);
      if (got > 0) {
        pending.append(buf, static_cast<size_t>(got));
        continue;
      }
      if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK) closed = true;
      break;
    }
    return !closed;
  }

  bool NextCommand(std::string* line) {
    size_t nl = pending.find('\n');
    if (nl == std::string::npos) return false;
    *line = pending.substr(0, nl);
    pending.erase(0, nl + 1);
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
  }
};

long long Now() { return static_cast<long long>(std::time(nullptr)); }

std::string State(const char* rest) { return ">STATE:" + std::to_string(Now()) + "," + rest; }

}  // namespace

int main(int argc, char** argv) {
  Record();
  const std::string mode = Env("QV_STANDIN_MODE", "ok");
  if (mode == "exit1") {
    std::printf(
        "Options error: Unrecognized option or missing or extra parameter(s) in [CMD-LINE]:1: "
        "scramble (2.6.14)\n");
    return 1;
  }
  if (mode == "noconnect") return 1;

  std::string host = "127.0.0.1", port = "63782", eventName;
  bool udp = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--service") == 0 && i + 1 < argc)
      eventName = argv[++i];
    else if (std::strcmp(argv[i], "--management") == 0 && i + 2 < argc) {
      host = argv[++i];
      port = argv[++i];
    } else if (std::strcmp(argv[i], "--proto") == 0 && i + 1 < argc) {
      udp = std::strcmp(argv[++i], "udp") == 0;
    }
  }
  HANDLE exitEvent = nullptr;
  if (!eventName.empty()) {
    exitEvent = OpenEventA(SYNCHRONIZE, FALSE, eventName.c_str());
    if (!exitEvent) std::fprintf(stderr, "stand-in: cannot open the exit event %s\n", eventName.c_str());
  }
  if (mode == "idle") {
    if (!exitEvent) return 1;
    WaitForSingleObject(exitEvent, INFINITE);
    return 0;
  }

  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* addr = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &addr) != 0) return 1;
  Management m;
  m.socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (m.socket == INVALID_SOCKET || connect(m.socket, addr->ai_addr, static_cast<int>(addr->ai_addrlen)) != 0) {
    std::fprintf(stderr, "stand-in: cannot connect to the management port %s:%s\n", host.c_str(), port.c_str());
    return 1;
  }
  freeaddrinfo(addr);
  m.readable = WSACreateEvent();
  WSAEventSelect(m.socket, m.readable, FD_READ | FD_CLOSE);  // makes the socket non-blocking too

  m.Send(">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info");
  m.Send(">HOLD:Waiting for hold release:0");

  const std::string wantPassword = Env("QV_STANDIN_PASSWORD");
  const DWORD dropMs = static_cast<DWORD>(std::atoi(Env("QV_STANDIN_DROP_MS", "2000").c_str()));
  bool connected = false, stopping = false;
  DWORD bytecountMs = 0;
  ULONGLONG nextBytecount = 0, dropAt = 0;
  unsigned long long in = 2904, out = 1055;

  while (!m.closed && !stopping) {
    DWORD wait = INFINITE;
    const ULONGLONG now = GetTickCount64();
    if (connected && bytecountMs) wait = nextBytecount > now ? static_cast<DWORD>(nextBytecount - now) : 0;
    if (dropAt) {
      DWORD d = dropAt > now ? static_cast<DWORD>(dropAt - now) : 0;
      if (d < wait) wait = d;
    }
    HANDLE handles[2] = {m.readable, exitEvent};
    DWORD r = WaitForMultipleObjects(exitEvent ? 2 : 1, handles, FALSE, wait);
    if (r == WAIT_OBJECT_0 + 1) {
      stopping = true;
      break;
    }
    if (r == WAIT_OBJECT_0 && !m.Receive() && m.pending.empty()) break;
    std::string cmd;
    while (!stopping && m.NextCommand(&cmd)) {
      if (cmd == "state on")
        m.Send("SUCCESS: real-time state notification set to ON");
      else if (cmd.rfind("bytecount ", 0) == 0) {
        bytecountMs = static_cast<DWORD>(std::atoi(cmd.c_str() + 10)) * 1000;
        nextBytecount = GetTickCount64() + bytecountMs;
        m.Send("SUCCESS: bytecount interval changed");
      } else if (cmd == "hold off")
        m.Send("SUCCESS: hold flag set to OFF");
      else if (cmd == "hold release") {
        m.Send("SUCCESS: hold release succeeded");
        m.Send(">PASSWORD:Need 'Auth' username/password");
      } else if (cmd.rfind("username 'Auth' ", 0) == 0) {
        m.Send("SUCCESS: 'Auth' username entered, but not yet verified");
      } else if (cmd.rfind("password 'Auth' ", 0) == 0) {
        m.Send("SUCCESS: 'Auth' password entered, but not yet verified");
        const bool good =
            mode != "badpass" && (wantPassword.empty() || cmd == "password 'Auth' '" + wantPassword + "'");
        if (!udp) m.Send(State("TCP_CONNECT,,,,,,"));
        m.Send(State("WAIT,,,,,,"));
        m.Send(State("AUTH,,,,,,"));
        if (!good) {
          m.Send(">PASSWORD:Verification Failed: 'Auth'");
          Sleep(1000);  // the real one waits this long for the server's exit notification
          m.Send(State("GET_CONFIG,,,,,,"));
          m.Send(State("EXITING,exit-with-notification,,,,,"));
          closesocket(m.socket);
          return 0;
        }
        m.Send(State("ASSIGN_IP,,,,,,"));
        m.Send(
            State(udp ? "CONNECTED,SUCCESS,,127.0.0.1,11940,," : "CONNECTED,SUCCESS,,127.0.0.1,11941,127.0.0.1,36092"));
        connected = true;
        nextBytecount = GetTickCount64() + bytecountMs;
        if (mode == "drop") dropAt = GetTickCount64() + dropMs;
      } else if (cmd == "signal SIGTERM") {
        m.Send("SUCCESS: signal SIGTERM thrown");
        stopping = true;
      } else if (!cmd.empty()) {
        m.Send("ERROR: unknown command, enter 'help' for more options");
      }
    }
    const ULONGLONG t = GetTickCount64();
    if (dropAt && t >= dropAt) {
      closesocket(m.socket);
      return 1;
    }
    if (connected && bytecountMs && t >= nextBytecount) {
      m.Send(">BYTECOUNT:" + std::to_string(in) + "," + std::to_string(out));
      in += 40;
      out += 40;
      nextBytecount = t + bytecountMs;
    }
  }
  if (stopping && !m.closed) {
    m.Send(State(udp ? "EXITING,exit-with-notification,,,,," : "EXITING,SIGTERM,,,,,"));
  }
  closesocket(m.socket);
  WSACleanup();
  return 0;
}
