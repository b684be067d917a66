#include "platform/registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>

#include "platform/registry_value.h"

// Layout: one row per key (full path from HKLM, every ancestor present) and one
// row per value. NOCASE folds ASCII, which is what registry names here use.
namespace platform {

struct RegKey {
  sqlite3* db = nullptr;
  std::string path;
  bool writable = false;
  // Opened by RegOpenKeyToWrite without write access to the store: only the
  // clearable value `clearable` may be emptied through it.
  std::string clearable;
};

namespace {

constexpr const char* kDefaultRegistry = "/var/lib/quorvanta/registry.db";
constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS reg_keys("
    " path TEXT NOT NULL COLLATE NOCASE PRIMARY KEY);"
    "CREATE TABLE IF NOT EXISTS reg_values("
    " key TEXT NOT NULL COLLATE NOCASE,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key, name));";

// "\SOFTWARE\\Quorvanta\" -> "SOFTWARE\Quorvanta"; empty components are refused.
bool NormalizePath(const char* in, std::string* out) {
  if (!in) return false;
  out->clear();
  const char* p = in;
  while (*p == '\\') ++p;
  std::string component;
  for (;; ++p) {
    if (*p == '\\' || *p == '\0') {
      if (component.empty()) {
        if (*p == '\0' && !out->empty()) break;  // one trailing separator
        return false;
      }
      if (!out->empty()) *out += '\\';
      *out += component;
      component.clear();
      if (*p == '\0') break;
      if (p[1] == '\0') break;
    } else {
      component += *p;
    }
  }
  return !out->empty();
}

// The directory that holds the database: a writer needs it for the journal.
std::string DirectoryOf(const char* file) {
  const char* slash = std::strrchr(file, '/');
  if (!slash) return ".";
  if (slash == file) return "/";
  return std::string(file, static_cast<size_t>(slash - file));
}

void MakeParents(const std::string& dir) {
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
  }
}

sqlite3* OpenDatabase(int flags) {
  // Only a regular file: opening a FIFO or device would block or read nonsense.
  struct stat st;
  if (stat(RegistryPath(), &st) == 0 && !S_ISREG(st.st_mode)) return nullptr;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(RegistryPath(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);
  return db;
}

bool Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// Runs one statement with text bindings; true when it completed. *row gets
// whether a row came back (for existence checks).
bool Step(sqlite3* db, const char* sql, const char* a, const char* b, bool* row = nullptr) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return false;
  }
  if (a) sqlite3_bind_text(stmt, 1, a, -1, SQLITE_TRANSIENT);
  if (b) sqlite3_bind_text(stmt, 2, b, -1, SQLITE_TRANSIENT);
  int rc = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  if (row) *row = rc == SQLITE_ROW;
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool KeyExists(sqlite3* db, const std::string& path, bool* exists) {
  return Step(db, "SELECT 1 FROM reg_keys WHERE path = ?1", path.c_str(), nullptr, exists);
}

// Write access as the file system grants it to this process: the file for the
// data, its directory for the rollback journal.
bool CanWrite(sqlite3* db) {
  if (sqlite3_db_readonly(db, "main") != 0) return false;
  const char* file = RegistryPath();
  return faccessat(AT_FDCWD, file, W_OK, AT_EACCESS) == 0 &&
         faccessat(AT_FDCWD, DirectoryOf(file).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

const char* ValueName(const char* name) { return name ? name : ""; }

// The values every user may clear, as the installer's ACL allows on Windows:
// the referral code, which the program empties once its callback is
// acknowledged. Clearing one leaves a marker of that name in "cleared" beside
// the store, a folder where users may add files but not list, remove or
// replace those of others (mode 1733). A marker hides the stored value as an
// empty one; no user can make the value anything but empty.
bool IsClearable(const std::string& path, const char* name) {
  return strcasecmp(path.c_str(), "SOFTWARE\\Quorvanta") == 0 && strcasecmp(ValueName(name), "ref") == 0;
}

std::string ClearedFolder() { return DirectoryOf(RegistryPath()) + "/cleared"; }
std::string ClearedMarker() { return ClearedFolder() + "/ref"; }

// Whatever a user left under the marker's name counts: it is never opened.
bool IsCleared() {
  struct stat st;
  return lstat(ClearedMarker().c_str(), &st) == 0;
}

bool MarkCleared() {
  const int fd = open(ClearedMarker().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd >= 0) return close(fd) == 0;
  return errno == EEXIST;
}

// A value stored anew wins over an old marker; only the store's writers get
// here, and root may remove any user's marker from the sticky folder.
void RemoveMarker() { unlink(ClearedMarker().c_str()); }

}  // namespace

const char* RegistryPath() {
  const char* path = std::getenv("QUORVANTA_REGISTRY");
  return (path && *path) ? path : kDefaultRegistry;
}

RegKey* RegOpenKey(const char* path, RegAccess access) {
  std::string normal;
  if (!NormalizePath(path, &normal)) return nullptr;
  const bool write = access == RegAccess::ReadWrite;
  sqlite3* db = OpenDatabase(write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY);
  if (!db) return nullptr;
  bool exists = false;
  // The first read also catches a file that is not a database or cannot be read.
  if (!KeyExists(db, normal, &exists) || !exists || (write && !CanWrite(db))) {
    sqlite3_close(db);
    return nullptr;
  }
  RegKey* key = new RegKey;
  key->db = db;
  key->path = normal;
  key->writable = write;
  return key;
}

RegKey* RegOpenKeyToWrite(const char* path, const char* name) {
  if (RegKey* key = RegOpenKey(path, RegAccess::ReadWrite)) return key;
  RegKey* key = RegOpenKey(path, RegAccess::Read);
  if (!key) return nullptr;
  const std::string folder = ClearedFolder();
  if (!IsClearable(key->path, name) || faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    RegCloseKey(key);
    return nullptr;
  }
  key->clearable = ValueName(name);
  return key;
}

RegKey* RegCreateKey(const char* path) {
  std::string normal;
  if (!NormalizePath(path, &normal)) return nullptr;
  const char* file = RegistryPath();
  if (access(file, F_OK) != 0) MakeParents(DirectoryOf(file));
  sqlite3* db = OpenDatabase(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (!db) return nullptr;
  bool ok = CanWrite(db) && Exec(db, "BEGIN IMMEDIATE");
  if (ok) {
    ok = Exec(db, kSchema);
    // Every ancestor is a key too, as the registry creates intermediate keys.
    for (size_t i = 0; ok && i <= normal.size(); ++i) {
      if (i == normal.size() || normal[i] == '\\') {
        ok = Step(db, "INSERT OR IGNORE INTO reg_keys(path) VALUES(?1)", normal.substr(0, i).c_str(), nullptr);
      }
    }
    ok = ok && Exec(db, "COMMIT");
    if (!ok) Exec(db, "ROLLBACK");
  }
  if (!ok) {
    sqlite3_close(db);
    return nullptr;
  }
  RegKey* key = new RegKey;
  key->db = db;
  key->path = normal;
  key->writable = true;
  return key;
}

void RegCloseKey(RegKey* key) {
  if (!key) return;
  sqlite3_close(key->db);
  delete key;
}

bool RegQueryValue(RegKey* key, const char* name, uint32_t* type, void* data, uint32_t* size) {
  if (!key) return false;
  if (IsClearable(key->path, name) && IsCleared()) return HandOutValue(kRegSz, "", 0, type, data, size);
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(key->db, "SELECT type, data FROM reg_values WHERE key = ?1 AND name = ?2", -1, &stmt,
                         nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return false;
  }
  sqlite3_bind_text(stmt, 1, key->path.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 2, ValueName(name), -1, SQLITE_TRANSIENT);
  if (sqlite3_step(stmt) != SQLITE_ROW) {
    sqlite3_finalize(stmt);
    return false;
  }
  const uint32_t valueType = static_cast<uint32_t>(sqlite3_column_int64(stmt, 0));
  const void* blob = sqlite3_column_blob(stmt, 1);
  const uint32_t stored = static_cast<uint32_t>(sqlite3_column_bytes(stmt, 1));
  const bool ok = HandOutValue(valueType, blob, stored, type, data, size);
  sqlite3_finalize(stmt);
  return ok;
}

bool RegSetValue(RegKey* key, const char* name, uint32_t type, const void* data, uint32_t size) {
  if (!key || (size && !data)) return false;
  if (!key->writable) {
    if (key->clearable.empty() || strcasecmp(key->clearable.c_str(), ValueName(name)) != 0 || type != kRegSz)
      return false;
    // Empty, with or without its terminating zero: the only change a user can make.
    for (uint32_t i = 0; i < size; ++i) {
      if (static_cast<const char*>(data)[i] != '\0') return false;
    }
    return MarkCleared();
  }
  if (type == kRegDword && size != 4) return false;
  if (size > 0x7FFFFFFFu) return false;  // beyond what one SQLite value holds
  sqlite3* db = key->db;
  if (!Exec(db, "BEGIN IMMEDIATE")) return false;
  bool exists = false;
  bool ok = KeyExists(db, key->path, &exists) && exists;  // a deleted key takes no values
  if (ok) {
    sqlite3_stmt* stmt = nullptr;
    ok = sqlite3_prepare_v2(db,
                            "INSERT OR REPLACE INTO reg_values(key, name, type, data)"
                            " VALUES(?1, ?2, ?3, ?4)",
                            -1, &stmt, nullptr) == SQLITE_OK;
    if (ok) {
      sqlite3_bind_text(stmt, 1, key->path.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(stmt, 2, ValueName(name), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(stmt, 3, type);
      sqlite3_bind_blob(stmt, 4, size ? data : "", static_cast<int>(size), SQLITE_TRANSIENT);
      ok = sqlite3_step(stmt) == SQLITE_DONE;
    }
    sqlite3_finalize(stmt);
  }
  ok = ok && Exec(db, "COMMIT");
  if (!ok) Exec(db, "ROLLBACK");
  if (ok && IsClearable(key->path, name)) RemoveMarker();
  return ok;
}

bool RegEnumValueName(RegKey* key, uint32_t index, char* name, uint32_t size) {
  if (!key || !name || size == 0) return false;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(key->db, "SELECT name FROM reg_values WHERE key = ?1 ORDER BY name LIMIT 1 OFFSET ?2", -1,
                         &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return false;
  }
  sqlite3_bind_text(stmt, 1, key->path.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(stmt, 2, index);
  bool ok = sqlite3_step(stmt) == SQLITE_ROW;
  if (ok) {
    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    const size_t length = text ? std::strlen(text) : 0;
    ok = length < size;
    if (ok) {
      if (length) std::memcpy(name, text, length);
      name[length] = '\0';
    }
  }
  sqlite3_finalize(stmt);
  return ok;
}

bool RegDeleteValue(RegKey* key, const char* name) {
  if (!key || !key->writable) return false;
  sqlite3_stmt* stmt = nullptr;
  bool ok = sqlite3_prepare_v2(key->db, "DELETE FROM reg_values WHERE key = ?1 AND name = ?2", -1, &stmt, nullptr) ==
            SQLITE_OK;
  if (ok) {
    sqlite3_bind_text(stmt, 1, key->path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 2, ValueName(name), -1, SQLITE_TRANSIENT);
    ok = sqlite3_step(stmt) == SQLITE_DONE && sqlite3_changes(key->db) > 0;
  }
  sqlite3_finalize(stmt);
  if (ok && IsClearable(key->path, name)) RemoveMarker();
  return ok;
}

bool RegDeleteKeyTree(const char* path) {
  RegKey* key = RegOpenKey(path, RegAccess::ReadWrite);
  if (!key) return false;
  sqlite3* db = key->db;
  const std::string prefix = key->path + "\\";
  bool ok = Exec(db, "BEGIN IMMEDIATE");
  if (ok) {
    // The key itself and everything below it; substr keeps LIKE's wildcards out.
    ok = Step(db,
              "DELETE FROM reg_values WHERE key = ?1"
              " OR substr(key, 1, length(?2)) = ?2 COLLATE NOCASE",
              key->path.c_str(), prefix.c_str()) &&
         Step(db,
              "DELETE FROM reg_keys WHERE path = ?1"
              " OR substr(path, 1, length(?2)) = ?2 COLLATE NOCASE",
              key->path.c_str(), prefix.c_str()) &&
         Exec(db, "COMMIT");
    if (!ok) Exec(db, "ROLLBACK");
  }
  RegCloseKey(key);
  return ok;
}

}  // namespace platform
