#include "report_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "zip_archive.h"

namespace sender {

namespace {

constexpr size_t kMaxPatternMatches = 256;

bool WriteAllTo(int fd, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string TempName(const std::string& name) { return "." + name + ".part"; }

// Copies at most `limit` bytes; *cut is set when the source was longer.
bool CopyDescriptor(int from, int to, long long limit, long long* total, bool* cut) {
  char buffer[65536];
  *total = 0;
  *cut = false;
  for (;;) {
    ssize_t n = read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    long long take = n;
    if (*total + take > limit) {
      take = limit - *total;
      *cut = true;
    }
    if (!WriteAllTo(to, buffer, static_cast<size_t>(take))) return false;
    *total += take;
    if (*cut) return true;
  }
}

// Copies one source into the folder as `name`; the text says how it went.
std::string CopyOne(const std::string& folder, const std::string& source, const std::string& name, long long* budget) {
  const std::string head = name + " <- " + source + ": ";
  if (!IsSafeFileName(name)) return head + "refused: not a plain file name";
  if (IsReservedName(name)) return head + "refused: the name is the report's own";
  if (*budget <= 0) return head + "skipped: the report has reached its size limit";
  // Non-blocking so a FIFO planted under the name cannot stall the sender.
  int in = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (in < 0) return head + "missing (" + std::strerror(errno) + ")";
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(in);
    return head + "refused: not a regular file";
  }
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) {
    close(in);
    return head + "failed: the report folder cannot be opened";
  }
  const std::string temp = TempName(name);
  unlinkat(dir, temp.c_str(), 0);
  int out = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  std::string result;
  bool cut = false;
  if (out < 0) {
    result = head + "failed: " + std::strerror(errno);
  } else {
    long long copiedBytes = 0;
    const bool copied = CopyDescriptor(in, out, std::min(kMaxCopiedFile, *budget), &copiedBytes, &cut);
    *budget -= copiedBytes;
    const bool closed = close(out) == 0;
    if (!copied || !closed) {
      unlinkat(dir, temp.c_str(), 0);
      result = head + "failed while copying";
    } else if (renameat2(dir, temp.c_str(), dir, name.c_str(), RENAME_NOREPLACE) != 0) {
      unlinkat(dir, temp.c_str(), 0);
      result = head + (errno == EEXIST ? "skipped: a file of that name is already in the report"
                                       : std::string("failed: ") + std::strerror(errno));
    } else {
      result = head + (cut ? "copied, cut at " + std::to_string(copiedBytes) + " bytes" : "copied");
    }
  }
  close(dir);
  close(in);
  return result;
}

bool HasWildcard(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

std::string LastComponent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool IsReservedName(const std::string& name) {
  return name == "report.txt" || name == "backtrace.txt" || name == "screenshot.png" || name == "crash.dmp";
}

bool MakeDirectories(const std::string& path, std::string* error) {
  if (path.empty() || path[0] != '/') {
    *error = "not an absolute path: " + path;
    return false;
  }
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/') continue;
    const std::string part = path.substr(0, i);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = "cannot create " + part + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = path + " is not a folder";
    return false;
  }
  return true;
}

bool WriteReportFile(const std::string& folder, const std::string& name, const std::string& content,
                     std::string* error) {
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) {
    *error = "cannot open " + folder + ": " + std::strerror(errno);
    return false;
  }
  const std::string temp = TempName(name);
  unlinkat(dir, temp.c_str(), 0);
  int fd = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  if (ok) {
    ok = WriteAllTo(fd, content.data(), content.size());
    ok = close(fd) == 0 && ok;
    ok = ok && renameat(dir, temp.c_str(), dir, name.c_str()) == 0;
    if (!ok) unlinkat(dir, temp.c_str(), 0);
  }
  if (!ok) *error = "cannot write " + folder + "/" + name + ": " + std::strerror(errno);
  close(dir);
  return ok;
}

void CopyListedFile(const std::string& folder, const FileItem& item, long long* budget,
                    std::vector<std::string>* notes) {
  if (!HasWildcard(item.source)) {
    notes->push_back(CopyOne(folder, item.source, item.destination, budget));
    return;
  }
  glob_t found{};
  const int result = glob(item.source.c_str(), GLOB_NOSORT | GLOB_NOESCAPE, nullptr, &found);
  if (result != 0) {
    notes->push_back(item.destination + " <- " + item.source + ": no file matches");
    globfree(&found);
    return;
  }
  std::vector<std::string> paths(found.gl_pathv, found.gl_pathv + found.gl_pathc);
  globfree(&found);
  std::sort(paths.begin(), paths.end());
  if (paths.size() > kMaxPatternMatches) {
    notes->push_back(item.source + ": only the first " + std::to_string(kMaxPatternMatches) + " matches are copied");
    paths.resize(kMaxPatternMatches);
  }
  for (const std::string& path : paths) {
    notes->push_back(CopyOne(folder, path, LastComponent(path), budget));
  }
}

std::vector<std::string> ListReports(const std::string& appFolder) {
  std::vector<std::string> reports;
  DIR* dir = opendir(appFolder.c_str());
  if (!dir) return reports;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (!LooksLikeGuid(name)) continue;
    const std::string path = appFolder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && lstat((path + "/report.txt").c_str(), &st) == 0 &&
        S_ISREG(st.st_mode)) {
      reports.push_back(path);
    }
  }
  closedir(dir);
  std::sort(reports.begin(), reports.end());
  return reports;
}

std::vector<std::string> FilesOf(const std::string& folder) {
  std::vector<std::string> files;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return files;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    struct stat st;
    if (lstat((folder + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(name);
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

bool StoreArchive(const std::string& folder, const std::string& archive, std::time_t time, std::string* error) {
  const std::string temp = archive + ".part";
  unlink(temp.c_str());
  int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) {
    *error = "cannot create " + temp + ": " + std::strerror(errno);
    return false;
  }
  ZipBuilder zip(time);
  bool ok = true;
  for (const std::string& name : FilesOf(folder)) {
    int in = open((folder + "/" + name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) continue;
    std::string content;
    char buffer[65536];
    ssize_t n;
    while ((n = read(in, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
      if (n > 0) content.append(buffer, static_cast<size_t>(n));
      if (static_cast<long long>(content.size()) > kMaxCopiedFile) break;
    }
    close(in);
    std::string header;
    ok = zip.AddEntry(name, content, &header) && WriteAllTo(out, header.data(), header.size()) &&
         WriteAllTo(out, content.data(), content.size());
    if (!ok) break;
  }
  const std::string end = zip.Finish();
  ok = ok && WriteAllTo(out, end.data(), end.size());
  ok = close(out) == 0 && ok;
  ok = ok && rename(temp.c_str(), archive.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    *error = "cannot store the archive " + archive;
  }
  return ok;
}

bool ReadSmallFile(const std::string& path, size_t limit, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  text->clear();
  char buffer[4096];
  while (text->size() < limit) {
    ssize_t n = read(fd, buffer, std::min(sizeof buffer, limit - text->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool MoveFolder(const std::string& from, const std::string& to, std::string* error) {
  const size_t slash = to.find_last_of('/');
  if (slash == std::string::npos || slash == 0) {
    *error = "no place to move to";
    return false;
  }
  if (!MakeDirectories(to.substr(0, slash), error)) return false;
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    *error = "cannot move " + from + " to " + to + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool RemoveFolder(const std::string& folder, std::string* error) {
  const int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  DIR* dir = fdopendir(dirFd);
  if (!dir) {
    *error = std::strerror(errno);
    close(dirFd);
    return false;
  }
  bool ok = true;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (unlinkat(dirFd, name.c_str(), 0) != 0) {
      *error = name + ": " + std::strerror(errno);
      ok = false;
    }
  }
  closedir(dir);
  if (ok && rmdir(folder.c_str()) != 0) {
    *error = std::strerror(errno);
    ok = false;
  }
  return ok;
}

}  // namespace sender
