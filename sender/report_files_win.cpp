// The report folder on Windows: the same rules as on Linux, through the
// system's wide calls (paths are UTF-8 here), with files written under a
// temporary name and moved into place, and links never followed.
#include "report_files.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "paths.h"
#include "zip_archive.h"
#include "platform/text_win.h"

namespace sender {

namespace {

constexpr size_t kMaxPatternMatches = 256;

std::string SystemError(DWORD code) { return "error " + std::to_string(code); }

std::string Join(const std::string& folder, const std::string& name) { return folder + kPathSeparator + name; }

std::string TempName(const std::string& name) { return "." + name + ".part"; }

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(platform::WideFromUtf8(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool WriteAll(HANDLE file, const char* data, size_t size) {
  while (size > 0) {
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

// A regular file opened for reading, never through a link; nullptr otherwise.
HANDLE OpenRegular(const std::string& path) {
  HANDLE file = CreateFileW(platform::WideFromUtf8(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    CloseHandle(file);
    return nullptr;
  }
  return file;
}

// Copies one source into the folder as `name`; the text says how it went.
std::string CopyOne(const std::string& folder, const std::string& source, const std::string& name, long long* budget) {
  const std::string head = name + " <- " + source + ": ";
  if (!IsSafeFileName(name)) return head + "refused: not a plain file name";
  if (IsReservedName(name)) return head + "refused: the name is the report's own";
  if (*budget <= 0) return head + "skipped: the report has reached its size limit";
  HANDLE in = OpenRegular(source);
  if (!in) return head + "missing or not a regular file";
  const std::wstring temp = platform::WideFromUtf8(Join(folder, TempName(name)));
  DeleteFileW(temp.c_str());
  HANDLE out = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    CloseHandle(in);
    return head + "failed: " + SystemError(code);
  }
  const long long limit = std::min(kMaxCopiedFile, *budget);
  long long copied = 0;
  bool ok = true, cut = false;
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, buffer, sizeof buffer, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    long long take = got;
    if (copied + take > limit) {
      take = limit - copied;
      cut = true;
    }
    if (!WriteAll(out, buffer, static_cast<size_t>(take))) {
      ok = false;
      break;
    }
    copied += take;
    if (cut) break;
  }
  *budget -= copied;
  ok = CloseHandle(out) && ok;
  CloseHandle(in);
  if (!ok) {
    DeleteFileW(temp.c_str());
    return head + "failed while copying";
  }
  if (!MoveFileExW(temp.c_str(), platform::WideFromUtf8(Join(folder, name)).c_str(), 0)) {
    const DWORD code = GetLastError();
    DeleteFileW(temp.c_str());
    return head + (code == ERROR_ALREADY_EXISTS ? "skipped: a file of that name is already in the report"
                                                : "failed: " + SystemError(code));
  }
  return head + (cut ? "copied, cut at " + std::to_string(copied) + " bytes" : "copied");
}

// The entries of a folder matching pattern ("*" for all), as names; links
// only when asked for.
std::vector<std::string> Entries(const std::string& pattern, bool folders, bool links = false) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(platform::WideFromUtf8(pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool isLink = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const std::string name = platform::Utf8FromWide(found.cFileName);
    if ((links || !isLink) && isFolder == folders && name != "." && name != "..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

bool IsReservedName(const std::string& name) {
  return name == "report.txt" || name == "backtrace.txt" || name == "screenshot.png" || name == "crash.dmp";
}

bool MakeDirectories(const std::string& path, std::string* error) {
  if (!IsPlainAbsolutePath(path)) {
    *error = "not an absolute path: " + path;
    return false;
  }
  for (size_t i = 3; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '\\') continue;
    const std::string part = path.substr(0, i);
    if (!CreateDirectoryW(platform::WideFromUtf8(part).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      *error = "cannot create " + part + ": " + SystemError(GetLastError());
      return false;
    }
  }
  if (!IsFolder(path)) {
    *error = path + " is not a folder";
    return false;
  }
  return true;
}

bool WriteReportFile(const std::string& folder, const std::string& name, const std::string& content,
                     std::string* error) {
  const std::wstring temp = platform::WideFromUtf8(Join(folder, TempName(name)));
  DeleteFileW(temp.c_str());
  HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = file != INVALID_HANDLE_VALUE;
  if (ok) {
    ok = WriteAll(file, content.data(), content.size());
    ok = CloseHandle(file) && ok;
    ok = ok && MoveFileExW(temp.c_str(), platform::WideFromUtf8(Join(folder, name)).c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  if (!ok) {
    *error = "cannot write " + Join(folder, name) + ": " + SystemError(GetLastError());
    DeleteFileW(temp.c_str());
  }
  return ok;
}

void CopyListedFile(const std::string& folder, const FileItem& item, long long* budget,
                    std::vector<std::string>* notes) {
  if (item.source.find_first_of("*?") == std::string::npos) {
    notes->push_back(CopyOne(folder, item.source, item.destination, budget));
    return;
  }
  const size_t slash = item.source.find_last_of("\\/");
  const std::string dir = slash == std::string::npos ? "." : item.source.substr(0, slash);
  std::vector<std::string> names = Entries(item.source, false);
  if (names.empty()) {
    notes->push_back(item.destination + " <- " + item.source + ": no file matches");
    return;
  }
  if (names.size() > kMaxPatternMatches) {
    notes->push_back(item.source + ": only the first " + std::to_string(kMaxPatternMatches) + " matches are copied");
    names.resize(kMaxPatternMatches);
  }
  for (const std::string& name : names) notes->push_back(CopyOne(folder, Join(dir, name), name, budget));
}

std::vector<std::string> ListReports(const std::string& appFolder) {
  std::vector<std::string> reports;
  for (const std::string& name : Entries(Join(appFolder, "*"), true)) {
    if (!LooksLikeGuid(name)) continue;
    const std::string path = Join(appFolder, name);
    const DWORD report = GetFileAttributesW(platform::WideFromUtf8(Join(path, "report.txt")).c_str());
    if (report != INVALID_FILE_ATTRIBUTES && !(report & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
      reports.push_back(path);
  }
  return reports;
}

std::vector<std::string> FilesOf(const std::string& folder) {
  std::vector<std::string> files;
  for (const std::string& name : Entries(Join(folder, "*"), false))
    if (name[0] != '.') files.push_back(name);
  return files;
}

bool StoreArchive(const std::string& folder, const std::string& archive, std::time_t time, std::string* error) {
  const std::wstring temp = platform::WideFromUtf8(archive + ".part");
  DeleteFileW(temp.c_str());
  HANDLE out = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    *error = "cannot create " + archive + ".part: " + SystemError(GetLastError());
    return false;
  }
  ZipBuilder zip(time);
  bool ok = true;
  for (const std::string& name : FilesOf(folder)) {
    std::string content;
    if (!ReadSmallFile(Join(folder, name), static_cast<size_t>(kMaxCopiedFile), &content)) continue;
    std::string header;
    ok = zip.AddEntry(name, content, &header) && WriteAll(out, header.data(), header.size()) &&
         WriteAll(out, content.data(), content.size());
    if (!ok) break;
  }
  const std::string end = zip.Finish();
  ok = ok && WriteAll(out, end.data(), end.size());
  ok = CloseHandle(out) && ok;
  ok = ok && MoveFileExW(temp.c_str(), platform::WideFromUtf8(archive).c_str(), MOVEFILE_REPLACE_EXISTING);
  if (!ok) {
    DeleteFileW(temp.c_str());
    *error = "cannot store the archive " + archive;
  }
  return ok;
}

bool ReadSmallFile(const std::string& path, size_t limit, std::string* text) {
  HANDLE file = OpenRegular(path);
  if (!file) return false;
  text->clear();
  char buffer[4096];
  while (text->size() < limit) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min(sizeof buffer, limit - text->size()));
    if (!ReadFile(file, buffer, want, &got, nullptr) || got == 0) break;
    text->append(buffer, got);
  }
  CloseHandle(file);
  return true;
}

bool MoveFolder(const std::string& from, const std::string& to, std::string* error) {
  const size_t slash = to.find_last_of('\\');
  if (slash == std::string::npos || slash < 3) {
    *error = "no place to move to";
    return false;
  }
  if (!MakeDirectories(to.substr(0, slash), error)) return false;
  if (!MoveFileExW(platform::WideFromUtf8(from).c_str(), platform::WideFromUtf8(to).c_str(), 0)) {
    *error = "cannot move " + from + " to " + to + ": " + SystemError(GetLastError());
    return false;
  }
  return true;
}

bool RemoveFolder(const std::string& folder, std::string* error) {
  if (!IsFolder(folder)) {
    *error = folder + " is not a folder";
    return false;
  }
  bool ok = true;
  // Links go too, themselves: DeleteFileW never follows one.
  for (const std::string& name : Entries(Join(folder, "*"), false, true)) {
    if (!DeleteFileW(platform::WideFromUtf8(Join(folder, name)).c_str())) {
      *error = name + ": " + SystemError(GetLastError());
      ok = false;
    }
  }
  if (ok && !RemoveDirectoryW(platform::WideFromUtf8(folder).c_str())) {
    *error = SystemError(GetLastError());
    ok = false;
  }
  return ok;
}

}  // namespace sender
