// quorvanta-reg: the installer's and administrator's tool for the settings store.
//   quorvanta-reg set KEY NAME TYPE DATA
//   quorvanta-reg get KEY NAME
//   quorvanta-reg delete KEY [NAME]
//   quorvanta-reg seed-machine-id [FILE]
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "platform/binary_stdio.h"
#include "platform/registry.h"
#include "platform/temp_file.h"

namespace {

constexpr const char* kUsage =
    "usage: quorvanta-reg set KEY NAME REG_SZ|REG_DWORD DATA\n"
    "       quorvanta-reg get KEY NAME\n"
    "       quorvanta-reg delete KEY [NAME]\n"
    "       quorvanta-reg seed-machine-id [MACHINE_ID_FILE]\n"
    "KEY is below HKLM, e.g. HKLM\\SOFTWARE\\Quorvanta; NAME @ is the default value.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// "HKLM\X", "HKEY_LOCAL_MACHINE\X" and "X" all name the key X below HKLM.
const char* KeyPath(const char* key) {
  static const char* const prefixes[] = {"HKLM\\", "HKEY_LOCAL_MACHINE\\"};
  for (const char* prefix : prefixes) {
    const size_t n = std::strlen(prefix);
    if (strncasecmp(key, prefix, n) == 0) return key + n;
  }
  return key;
}

const char* ValueName(const char* name) { return std::strcmp(name, "@") == 0 ? "" : name; }

const char* Shown(const char* name) { return std::strcmp(name, "@") == 0 ? "(default)" : name; }

bool ParseDword(const char* text, uint32_t* out) {
  if (!*text || *text == '-' || *text == '+' || std::isspace(static_cast<unsigned char>(*text))) return false;
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(hex ? text + 2 : text, &end, hex ? 16 : 10);
  if (errno || *end || end == (hex ? text + 2 : text) || value > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

int Set(const char* keyArg, const char* name, const char* type, const char* data) {
  uint32_t regType;
  uint32_t dword = 0;
  if (std::strcmp(type, "REG_SZ") == 0) {
    regType = platform::kRegSz;
  } else if (std::strcmp(type, "REG_DWORD") == 0) {
    regType = platform::kRegDword;
    if (!ParseDword(data, &dword)) {
      std::fprintf(stderr, "quorvanta-reg: '%s' is not a 32-bit number (decimal or 0x-hex)\n", data);
      return 2;
    }
  } else {
    std::fprintf(stderr, "quorvanta-reg: unknown type '%s' (REG_SZ or REG_DWORD)\n", type);
    return 2;
  }
  platform::ScopedRegKey key(platform::RegCreateKey(KeyPath(keyArg)));
  if (!key) {
    std::fprintf(stderr, "quorvanta-reg: cannot create or open key %s for writing in %s\n", keyArg,
                 platform::RegistryPath());
    return 1;
  }
  const bool ok = regType == platform::kRegSz
                      ? platform::RegSetValue(key.get(), ValueName(name), regType, data,
                                              static_cast<uint32_t>(std::strlen(data) + 1))
                      : platform::RegSetValue(key.get(), ValueName(name), regType, &dword, sizeof dword);
  key.reset();
  if (!ok) {
    std::fprintf(stderr, "quorvanta-reg: cannot write value %s of key %s in %s\n", Shown(name), keyArg,
                 platform::RegistryPath());
    return 1;
  }
  return 0;
}

int Get(const char* keyArg, const char* name) {
  platform::ScopedRegKey key(platform::RegOpenKey(KeyPath(keyArg), platform::RegAccess::Read));
  if (!key) {
    std::fprintf(stderr, "quorvanta-reg: key %s not found or not readable in %s\n", keyArg, platform::RegistryPath());
    return 1;
  }
  uint32_t type = 0;
  uint32_t size = 0;
  std::string data;
  bool ok = platform::RegQueryValue(key.get(), ValueName(name), &type, nullptr, &size);
  if (ok) {
    data.resize(size);
    ok = platform::RegQueryValue(key.get(), ValueName(name), &type, data.data(), &size);
  }
  key.reset();
  if (!ok) {
    std::fprintf(stderr, "quorvanta-reg: value %s of key %s not found\n", Shown(name), keyArg);
    return 1;
  }
  if (type == platform::kRegDword && size == 4) {
    uint32_t value;
    std::memcpy(&value, data.data(), sizeof value);
    std::printf("%" PRIu32 "\n", value);
  } else if (type == platform::kRegSz) {
    std::printf("%s\n", data.c_str());  // up to the terminating zero
  } else {
    std::fprintf(stderr, "quorvanta-reg: value %s has unsupported type %" PRIu32 "\n", Shown(name), type);
    return 1;
  }
  return 0;
}

int Delete(const char* keyArg, const char* name) {
  if (!name) {
    if (platform::RegDeleteKeyTree(KeyPath(keyArg))) return 0;
    std::fprintf(stderr, "quorvanta-reg: cannot delete key %s (missing or not writable) in %s\n", keyArg,
                 platform::RegistryPath());
    return 1;
  }
  platform::ScopedRegKey key(platform::RegOpenKey(KeyPath(keyArg), platform::RegAccess::ReadWrite));
  if (!key) {
    std::fprintf(stderr, "quorvanta-reg: cannot open key %s for writing in %s\n", keyArg, platform::RegistryPath());
    return 1;
  }
  const bool ok = platform::RegDeleteValue(key.get(), ValueName(name));
  key.reset();
  if (!ok) {
    std::fprintf(stderr, "quorvanta-reg: cannot delete value %s of key %s (missing?)\n", Shown(name), keyArg);
    return 1;
  }
  return 0;
}

// Writes MachineGuid from the systemd machine id unless the machine already has
// an identity: changing it would change the machine's login to the VPN.
int SeedMachineId(const char* file) {
  constexpr const char* kKey = "SOFTWARE\\Microsoft\\Cryptography";
  if (platform::ScopedRegKey key{platform::RegOpenKey(kKey, platform::RegAccess::Read)}) {
    char existing[60];
    uint32_t type = 0;
    uint32_t size = sizeof existing;
    const bool present =
        platform::RegQueryValue(key.get(), "MachineGuid", &type, existing, &size) && type == platform::kRegSz;
    key.reset();
    if (present) {
      std::printf("%s\n", existing);
      return 0;
    }
  }
  FILE* in = platform::OpenFile(file, "r");
  if (!in) {
    std::fprintf(stderr, "quorvanta-reg: cannot read %s: %s\n", file, std::strerror(errno));
    return 1;
  }
  char line[128] = {};
  const bool got = std::fgets(line, sizeof line, in) != nullptr;
  std::fclose(in);
  char hex[33];
  size_t n = 0;
  for (const char* p = line; got && *p && *p != '\n'; ++p) {
    if (!std::isxdigit(static_cast<unsigned char>(*p)) || n == 32) {
      n = 0;
      break;
    }
    hex[n++] = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  }
  if (n != 32) {
    std::fprintf(stderr, "quorvanta-reg: %s does not hold a 32-digit machine id\n", file);
    return 1;
  }
  hex[32] = '\0';
  char guid[37];
  std::snprintf(guid, sizeof guid, "%.8s-%.4s-%.4s-%.4s-%.12s", hex, hex + 8, hex + 12, hex + 16, hex + 20);
  platform::ScopedRegKey key(platform::RegCreateKey(kKey));
  const bool ok = key && platform::RegSetValue(key.get(), "MachineGuid", platform::kRegSz, guid,
                                               static_cast<uint32_t>(std::strlen(guid) + 1));
  key.reset();
  if (!ok) {
    std::fprintf(stderr, "quorvanta-reg: cannot write MachineGuid in %s\n", platform::RegistryPath());
    return 1;
  }
  std::printf("%s\n", guid);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  platform::SetBinaryStdio();
  if (argc < 2) return Usage();
  const char* command = argv[1];
  if (std::strcmp(command, "set") == 0 && argc == 6) return Set(argv[2], argv[3], argv[4], argv[5]);
  if (std::strcmp(command, "get") == 0 && argc == 4) return Get(argv[2], argv[3]);
  if (std::strcmp(command, "delete") == 0 && (argc == 3 || argc == 4))
    return Delete(argv[2], argc == 4 ? argv[3] : nullptr);
  if (std::strcmp(command, "seed-machine-id") == 0 && argc <= 3)
    return SeedMachineId(argc == 3 ? argv[2] : "/etc/machine-id");
  return Usage();
}
