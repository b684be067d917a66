#include "tunneld_options_win.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "openvpn_lookup.h"
#include "platform/environment.h"
#include "platform/text_win.h"

namespace tunneld {

namespace {

bool Narrow(const wchar_t* wide, char* out, int size) {
  return WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, size, nullptr, nullptr) > 0;
}

}  // namespace

void Usage(FILE* to) {
  std::fprintf(to,
               "usage: quorvanta-tunneld.exe [--console | --install | --uninstall] [--pipe NAME]\n"
               "                             [--config-dir DIR] [--openvpn PATH] [--stop-timeout MS]\n"
               "  (no mode)     run as the QuorvantaTunnel service (the service manager starts it so)\n"
               "  --console     run in this console; Ctrl+C stops it\n"
               "  --install     register the QuorvantaTunnel service (automatic start, LocalSystem)\n"
               "  --uninstall   remove the QuorvantaTunnel service\n"
               "  --pipe        the service pipe (also --socket; default %%QUORVANTA_PIPE%%, else "
               "\\\\.\\pipe\\QuorvantaPipe)\n"
               "  --config-dir  where config.qvpn lives; OpenVPN runs there (default: this program's folder)\n"
               "  --openvpn     the OpenVPN program (default: openvpn.exe in the config dir)\n"
               "  --stop-timeout  how long OpenVPN may take to exit after its exit event is set before it\n"
               "                is terminated (default 5000)\n");
}

bool ProgramPath(wchar_t* out, DWORD count) {
  DWORD n = GetModuleFileNameW(nullptr, out, count);
  return n > 0 && n < count;
}

bool ParseOptions(int argc, char** argv, ServiceOptions* o) {
  const char* env = std::getenv("QUORVANTA_PIPE");
  std::snprintf(o->pipe, sizeof o->pipe, "%s", env && *env ? env : platform::DefaultServiceEndpoint());
  bool dirGiven = false, openvpnGiven = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0 || std::strcmp(a, "/?") == 0) {
      Usage(stdout);
      std::exit(0);
    }
    if (std::strcmp(a, "--console") == 0) {
      o->mode = Mode::Console;
      continue;
    }
    if (std::strcmp(a, "--install") == 0) {
      o->mode = Mode::Install;
      continue;
    }
    if (std::strcmp(a, "--uninstall") == 0) {
      o->mode = Mode::Uninstall;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    int w = 0;
    if (std::strcmp(a, "--pipe") == 0 || std::strcmp(a, "--socket") == 0) {
      w = std::snprintf(o->pipe, sizeof o->pipe, "%s", v);
      if (w < 0 || static_cast<size_t>(w) >= sizeof o->pipe) return false;
    } else if (std::strcmp(a, "--config-dir") == 0) {
      w = std::snprintf(o->configDir, sizeof o->configDir, "%s", v);
      if (w < 0 || static_cast<size_t>(w) >= sizeof o->configDir) return false;
      dirGiven = true;
    } else if (std::strcmp(a, "--openvpn") == 0) {
      w = std::snprintf(o->openvpn, sizeof o->openvpn, "%s", v);
      if (w < 0 || static_cast<size_t>(w) >= sizeof o->openvpn) return false;
      openvpnGiven = true;
    } else if (std::strcmp(a, "--stop-timeout") == 0) {
      char* end;
      long ms = std::strtol(v, &end, 10);
      if (*end || ms < 1 || ms > 600000) return false;
      o->stopTimeoutMs = static_cast<int>(ms);
    } else {
      return false;
    }
  }
  if (!dirGiven) {
    // The installer puts the program, OpenVPN and config.qvpn in one folder.
    wchar_t path[MAX_PATH];
    if (!ProgramPath(path, MAX_PATH)) return false;
    if (wchar_t* slash = std::wcsrchr(path, L'\\')) *slash = L'\0';
    if (!Narrow(path, o->configDir, sizeof o->configDir)) return false;
  }
  if (!openvpnGiven) {
    int w = std::snprintf(o->openvpn, sizeof o->openvpn, "%s\\openvpn.exe", o->configDir);
    if (w < 0 || static_cast<size_t>(w) >= sizeof o->openvpn) return false;
    // None beside config.qvpn: the one OpenVPN's own installer recorded.
    if (GetFileAttributesW(platform::WideFromUtf8(o->openvpn).c_str()) == INVALID_FILE_ATTRIBUTES)
      InstalledOpenVpn(o->openvpn, sizeof o->openvpn);
  }
  return true;
}

}  // namespace tunneld
