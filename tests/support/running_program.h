#pragma once
// A program that runs beside a test: its standard output and error read line
// by line (by a thread, so it never blocks on a full pipe) with deadlines, and
// stopped with a bounded wait.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <cstring>
#include <string>
#include <vector>

namespace qvtest {

inline long NowMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

class RunningProgram {
 public:
  RunningProgram() = default;
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;
  ~RunningProgram() {
    Stop(SIGKILL, 5000);
    StopReader();
    close(stopFd_);
  }

  // Starts argv[0] (a path) with the test's environment plus env ("NAME=value");
  // stdout and stderr both go to the pipe that the Wait functions read.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
             const char* dir = nullptr) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // The environment is built before fork: the child only calls what is safe there.
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
      std::string item = *e;
      bool replaced = false;
      for (const auto& add : env) {
        replaced |= item.compare(0, add.find('=') + 1, add, 0, add.find('=') + 1) == 0;
      }
      if (!replaced) envText.push_back(item);
    }
    for (const auto& add : env) envText.push_back(add);
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      if (dir && chdir(dir) != 0) _exit(126);
      execve(args[0], args.data(), envp.data());
      _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
      close(fds[0]);
      return false;
    }
    ended_ = false;
    reader_ = std::thread(&RunningProgram::ReadAll, this, fds[0]);
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    return true;
  }

  pid_t Pid() const { return pid_; }
  bool Running() const { return pid_ > 0; }

  // Waits for a line that contains needle, from the line after the last one
  // matched. True and the line when one came within timeoutMs.
  bool WaitForLine(const std::string& needle, int timeoutMs, std::string* found = nullptr) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      while (next_ < lines_.size()) {
        const std::string& l = lines_[next_++];
        if (l.find(needle) != std::string::npos) {
          if (found) *found = l;
          return true;
        }
      }
      if (ended_) return false;
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && next_ == lines_.size()) return false;
    }
  }

  // Lets output come in for ms milliseconds (to show that something did not happen).
  void Drain(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  // The last line so far that contains needle; empty when there is none.
  std::string LastLineWith(const std::string& needle) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = lines_.rbegin(); it != lines_.rend(); ++it) {
      if (it->find(needle) != std::string::npos) return *it;
    }
    return "";
  }

  // Every line so far.
  std::string Output() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const auto& l : lines_) all += l + "\n";
    return all + partial_;
  }
  size_t CountLines(const std::string& needle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLocked(needle);
  }

  // Until count lines so far hold needle, in any order with the others; false at the timeout.
  bool WaitForCount(const std::string& needle, size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return ended_ || CountLocked(needle) >= count; });
    return CountLocked(needle) >= count;
  }

  // Sends sig and waits up to timeoutMs for the exit (then SIGKILL). The exit
  // status as from waitpid, or -1.
  int Stop(int sig, int timeoutMs) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    if (!WaitExit(timeoutMs)) {
      kill(pid_, SIGKILL);
      WaitExit(5000);
    }
    return status_;
  }

  // Waits up to timeoutMs for the program to end by itself.
  bool WaitExit(int timeoutMs) {
    if (pid_ <= 0) return true;
    if (pidfd_ >= 0) {
      pollfd p{pidfd_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) return false;
    }
    int st = 0;
    if (waitpid(pid_, &st, 0) != pid_) return false;
    status_ = st;
    pid_ = -1;
    if (pidfd_ >= 0) close(pidfd_);
    pidfd_ = -1;
    // Its output ends when the last holder of the pipe (its children too) is gone.
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::milliseconds(2000), [this] { return ended_; });
    }
    StopReader();  // a grandchild may still hold the pipe
    return true;
  }
  int Status() const { return status_; }

 private:
  size_t CountLocked(const std::string& needle) const {
    size_t n = 0;
    for (const auto& l : lines_) n += l.find(needle) != std::string::npos;
    return n;
  }
  void StopReader() {
    if (!reader_.joinable()) return;
    uint64_t one = 1;
    ssize_t ignored = write(stopFd_, &one, sizeof one);
    (void)ignored;
    reader_.join();
    close(stopFd_);
    stopFd_ = eventfd(0, EFD_CLOEXEC);  // ready for another Start
  }

  // Reads the output for as long as it lasts, so the program never blocks on
  // a full pipe.
  void ReadAll(int fd) {
    char buf[4096];
    for (;;) {
      pollfd p[2] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
      if (poll(p, 2, -1) < 0 && errno == EINTR) continue;
      ssize_t n = p[1].revents ? 0 : read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      if (n <= 0) {
        ended_ = true;
        changed_.notify_all();
        break;
      }
      partial_.append(buf, static_cast<size_t>(n));
      size_t at;
      while ((at = partial_.find('\n')) != std::string::npos) {
        lines_.push_back(partial_.substr(0, at));
        partial_.erase(0, at + 1);
      }
      changed_.notify_all();
    }
    close(fd);
  }

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int stopFd_ = eventfd(0, EFD_CLOEXEC);
  int status_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool ended_ = false;
  std::vector<std::string> lines_;
  std::string partial_;
  size_t next_ = 0;
};

}  // namespace qvtest
