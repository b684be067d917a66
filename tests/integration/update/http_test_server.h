#pragma once
// A small HTTP/1.1 server on 127.0.0.1 (ephemeral port) for tests and
// benchmarks: fixed responses per path, held responses, endless bodies, and a
// record of every request head in arrival order.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qvtest {

class HttpTestServer {
 public:
  struct Response {
    std::string raw;       // status line, headers and body, sent as they are
    bool hold = false;     // wait for Release() before answering
    bool endless = false;  // after raw, send body bytes until the client goes
    bool stall = false;    // after raw, send nothing more until Release()
    size_t chunk = 65536;  // endless: bytes per write
  };

  // A complete response with Content-Length.
  static Response Page(int status, const std::string& body, const std::string& extra = "") {
    Response r;
    r.raw = "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: text/html\r\n" + extra +
            "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    return r;
  }
  // Announces more body than it sends, then closes: a page cut short.
  static Response Truncated(const std::string& body, size_t announced) {
    Response r;
    r.raw = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(announced) + "\r\nConnection: close\r\n\r\n" + body;
    return r;
  }
  static Response Redirect(const std::string& location) { return Page(302, "", "Location: " + location + "\r\n"); }
  static Response Endless() {
    Response r;
    r.raw = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n";
    r.endless = true;
    return r;
  }

  HttpTestServer() {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_, 64) != 0 ||
        getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      close(listen_);
      listen_ = -1;
      return;
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }

  ~HttpTestServer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      released_ = true;
    }
    changed_.notify_all();
    if (listen_ >= 0) shutdown(listen_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& t : connections_) t.join();
    if (listen_ >= 0) close(listen_);
  }

  bool ok() const { return listen_ >= 0; }
  uint16_t port() const { return port_; }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string Url(const std::string& path) const { return Base() + path; }

  // Responses are chosen by the path without its query; others get 404.
  void Set(const std::string& path, Response response) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = std::make_shared<const Response>(std::move(response));
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }

  // Request targets (path and query) in arrival order.
  std::vector<std::string> Targets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return targets_;
  }
  std::vector<std::string> Heads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heads_;
  }
  bool WaitForRequests(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return targets_.size() >= count; });
  }

  // A loopback address on which nothing listens.
  static std::string UnreachableUrl() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    close(s);
    return "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/page";
  }

 private:
  void AcceptLoop() {
    for (;;) {
      int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        continue;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      connections_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  static bool SendAll(int fd, const char* data, size_t length) {
    while (length > 0) {
      ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
      if (n <= 0) return false;
      data += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }

  void Serve(int fd) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      head.append(buffer, static_cast<size_t>(n));
    }
    std::string target;
    size_t sp1 = head.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : head.find(' ', sp1 + 1);
    if (sp2 != std::string::npos) target = head.substr(sp1 + 1, sp2 - sp1 - 1);
    // Shared, not copied: a benchmark measures the client's memory, not ours.
    std::shared_ptr<const Response> response = notFound_;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      targets_.push_back(target);
      heads_.push_back(head);
      auto route = routes_.find(target.substr(0, target.find('?')));
      if (route != routes_.end()) response = route->second;
      changed_.notify_all();
      if (response->hold) changed_.wait(lock, [&] { return released_; });
    }
    bool ok = SendAll(fd, response->raw.data(), response->raw.size());
    if (ok && response->stall) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return released_; });
    }
    if (response->endless) {
      std::string body(response->chunk, 'x');
      while (ok) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (stopping_) break;
        }
        ok = SendAll(fd, body.data(), body.size());
      }
    }
    shutdown(fd, SHUT_WR);
    // Let the client read everything before the connection goes.
    while (recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    close(fd);
  }

  int listen_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> connections_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::shared_ptr<const Response>> routes_;
  std::shared_ptr<const Response> notFound_ = std::make_shared<const Response>(Page(404, "<html>not found</html>"));
  std::vector<std::string> targets_;
  std::vector<std::string> heads_;
  bool stopping_ = false;
  bool released_ = false;
};

}  // namespace qvtest
