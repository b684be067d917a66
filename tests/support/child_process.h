#pragma once
// Test helpers: temporary directories, running a function in a forked child
// (optionally without root's rights), and running programs with a given
// environment while capturing their standard error.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace qvtest {

// The unprivileged account tests switch to when they run as root, where file
// permissions would not stop a write.
inline constexpr uid_t kNobody = 65534;

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qvtest-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) path_ = buffer.data();
    chmod(path_.c_str(), 0755);  // reachable by the unprivileged account
  }
  ~TempDir() {
    std::string command = "chmod -R u+rwX '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
    }
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Gives up root's rights for good; a no-op for an ordinary user.
inline bool DropRoot() {
  if (geteuid() != 0) return true;
  return setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
         setresuid(kNobody, kNobody, kNobody) == 0;
}

inline void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

inline std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

struct ChildResult {
  int exitCode = -1;  // -1 when the child did not exit normally
  std::string output;
};

// Runs fn in a forked child; what fn returns comes back as output. With
// unprivileged, a root test process runs fn as the nobody account.
inline ChildResult RunInChild(const std::function<std::string()>& fn, bool unprivileged = false) {
  ChildResult result;
  int fds[2];
  if (pipe(fds) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    if (unprivileged && !DropRoot()) _exit(99);
    WriteAll(fds[1], fn());
    _exit(0);
  }
  close(fds[1]);
  result.output = ReadAll(fds[0]);
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

struct Program {
  pid_t pid = -1;
  int errFd = -1;  // the program's standard error
  int outFd = -1;  // its standard output
};

// Starts a program with exactly the given environment, stdin from /dev/null.
inline Program StartProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                            bool unprivileged = false) {
  Program program;
  int err[2], out[2];
  if (pipe2(err, O_CLOEXEC) != 0) return program;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(err[0]);
    close(err[1]);
    return program;
  }
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (unprivileged && !DropRoot()) _exit(99);
    execve(args[0], args.data(), envp.data());
    _exit(98);
  }
  close(err[1]);
  close(out[1]);
  program.pid = pid;
  program.errFd = err[0];
  program.outFd = out[0];
  return program;
}

struct ProgramResult {
  int status = -1000;  // exit code 0..255, or -signal
  std::string out;
  std::string err;
};

// Collects a program's output and waits for its end.
inline ProgramResult FinishProgram(Program program) {
  ProgramResult result;
  result.out = ReadAll(program.outFd);
  result.err = ReadAll(program.errFd);
  close(program.outFd);
  close(program.errFd);
  int status = 0;
  while (waitpid(program.pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.status = -WTERMSIG(status);
  return result;
}

inline ProgramResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                                bool unprivileged = false) {
  return FinishProgram(StartProgram(argv, env, unprivileged));
}

// Seeds the registry a started front end reads (its install folder and a
// machine id) with quorvanta-reg at reg; false when a call failed.
inline bool SeedFrontEndRegistry(const std::string& reg, const std::string& installDir,
                                 const std::vector<std::string>& env) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"set", "HKLM\\SOFTWARE\\Quorvanta", "@", "REG_SZ", installDir},
                                             {"set", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", "REG_SZ",
                                              "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4"}}) {
    std::vector<std::string> argv = {reg};
    argv.insert(argv.end(), args.begin(), args.end());
    if (RunProgram(argv, env).status != 0) return false;
  }
  return true;
}

}  // namespace qvtest
