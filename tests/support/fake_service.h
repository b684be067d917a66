#pragma once
// A stand-in for the tunnel service on the system's own endpoint (a Unix
// stream socket in a private directory, or a named pipe), recording the
// bytes of every connection it accepts.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeService {
 public:
  // accepting = false leaves connections in the backlog (a busy service;
  // Unix sockets only).
  explicit FakeService(bool accepting = true, int backlog = 8);
  ~FakeService();
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  // The endpoint to name in QUORVANTA_PIPE.
  const std::string& path() const { return path_; }
  // A private directory (Unix sockets only).
  const std::string& directory() const { return directory_; }
  // An endpoint where no service is.
  static std::string AbsentPath();

  // Bytes received on each finished connection, in order.
  std::vector<std::string> Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

  // Waits until count connections have ended (bounded by 5 s).
  bool WaitConnections(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return recorded_.wait_for(lock, std::chrono::seconds(5), [&] { return received_.size() >= count; });
  }

  // Takes one connection waiting in the backlog and records it (busy tests).
  void AcceptOne();

 private:
  struct Native;
  void Serve();
  void Record(std::string bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(std::move(bytes));
    recorded_.notify_all();
  }

  std::string directory_;
  std::string path_;
  std::unique_ptr<Native> native_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable recorded_;
  std::vector<std::string> received_;
};
