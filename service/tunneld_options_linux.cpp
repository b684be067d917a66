#include "tunneld_options_linux.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/environment.h"

namespace tunneld {

void Usage(FILE* to) {
  std::fprintf(to,
               "usage: quorvanta-tunneld [--socket PATH] [--config-dir DIR] [--openvpn PATH]\n"
               "                         [--dns-hook PATH] [--stop-timeout MS]\n"
               "  --socket      the service socket (default $QUORVANTA_PIPE, else "
               "/run/quorvanta/QuorvantaPipe)\n"
               "  --config-dir  where config.qvpn lives; OpenVPN runs there (default /etc/quorvanta)\n"
               "  --openvpn     the OpenVPN binary (default /usr/sbin/openvpn)\n"
               "  --dns-hook    OpenVPN's route-up and down script that applies the pushed DNS\n"
               "                (default /usr/lib/quorvanta/dns-hook; \"none\" for no hook)\n"
               "  --stop-timeout  how long OpenVPN may take to exit after SIGTERM before SIGKILL "
               "(default 5000)\n");
}

bool ParseOptions(int argc, char** argv, ServiceOptions* o) {
  const char* env = std::getenv("QUORVANTA_PIPE");
  o->socketPath = env && *env ? env : platform::DefaultServiceEndpoint();
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      Usage(stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (std::strcmp(a, "--socket") == 0)
      o->socketPath = v;
    else if (std::strcmp(a, "--config-dir") == 0)
      o->configDir = v;
    else if (std::strcmp(a, "--openvpn") == 0)
      o->openvpn = v;
    else if (std::strcmp(a, "--dns-hook") == 0)
      o->dnsHook = std::strcmp(v, "none") == 0 ? nullptr : v;
    else if (std::strcmp(a, "--stop-timeout") == 0) {
      char* end;
      long ms = std::strtol(v, &end, 10);
      if (*end || ms < 1 || ms > 600000) return false;
      o->stopTimeoutMs = static_cast<int>(ms);
    } else {
      return false;
    }
  }
  return true;
}

void CheckDnsHook(ServiceOptions* o, const char* stateDir) {
  if (!o->dnsHook) return;
  // The hook runs as root: only a file that nobody but root (or the service's
  // own user, in tests) could have changed. OpenVPN splits its command at spaces.
  struct stat st;
  if (lstat(o->dnsHook, &st) != 0) {
    Log("the DNS hook %s is missing (%s): the DNS servers the VPN pushes are not applied", o->dnsHook,
        std::strerror(errno));
    o->dnsHook = nullptr;
  } else if (o->dnsHook[0] != '/' || !S_ISREG(st.st_mode) || (st.st_uid != 0 && st.st_uid != geteuid()) ||
             (st.st_mode & 022) != 0 || std::strchr(o->dnsHook, ' ') || std::strchr(stateDir, ' ') || !*stateDir) {
    Log("not using the DNS hook %s: it must be an absolute path to a file only its owner (root) may "
        "change, and neither it nor %s may hold a space",
        o->dnsHook, stateDir);
    o->dnsHook = nullptr;
  }
}

}  // namespace tunneld
