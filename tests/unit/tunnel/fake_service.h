#pragma once
// A stand-in for the tunnel service: a real Unix stream socket in a private
// directory that records the bytes of every connection it accepts.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeService {
 public:
  // accepting = false leaves connections in the backlog (a busy service).
  explicit FakeService(bool accepting = true, int backlog = 8) {
    char dir[] = "/tmp/qv-service-XXXXXX";
    directory_ = mkdtemp(dir);
    path_ = directory_ + "/QuorvantaPipe";
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, path_.c_str());
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, backlog);
    if (pipe(stop_) != 0) std::abort();
    if (accepting) thread_ = std::thread([this] { Serve(); });
  }

  ~FakeService() {
    char c = 0;
    if (write(stop_[1], &c, 1) != 1) std::abort();
    if (thread_.joinable()) thread_.join();
    close(fd_);
    close(stop_[0]);
    close(stop_[1]);
    unlink(path_.c_str());
    rmdir(directory_.c_str());
  }

  const std::string& path() const { return path_; }
  const std::string& directory() const { return directory_; }

  // Bytes received on each finished connection, in order.
  std::vector<std::string> Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

  // Waits until count connections have ended (bounded by 5 s).
  bool WaitConnections(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return recorded_.wait_for(lock, std::chrono::seconds(5),
                              [&] { return received_.size() >= count; });
  }

  // Takes one connection waiting in the backlog and records it (busy tests).
  void AcceptOne() { Record(accept(fd_, nullptr, nullptr)); }

 private:
  void Serve() {
    for (;;) {
      pollfd p[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(p, 2, -1) < 0) continue;
      if (p[1].revents) return;
      Record(accept(fd_, nullptr, nullptr));
    }
  }

  void Record(int client) {
    if (client < 0) return;
    std::string bytes;
    char buffer[512];
    ssize_t n;
    while ((n = read(client, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(n));
    close(client);
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(bytes);
    recorded_.notify_all();
  }

  std::string directory_;
  std::string path_;
  int fd_ = -1;
  int stop_[2] = {-1, -1};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable recorded_;
  std::vector<std::string> received_;
};
