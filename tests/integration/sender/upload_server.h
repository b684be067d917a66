#pragma once
// A loopback HTTP server that reads whole POST bodies and answers each with
// one status; it keeps every request as received.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qvtest {

// Answers every POST with one status after reading the whole body.
class UploadServer {
 public:
  explicit UploadServer(int status) : status_(status) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_, 8) != 0 ||
        getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~UploadServer() {
    shutdown(listen_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    close(listen_);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/crash/upload"; }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    for (;;) {
      int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      timeval timeout{10, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      std::string request;
      char buffer[65536];
      size_t bodyStart = std::string::npos, length = 0;
      bool continued = false;
      for (;;) {
        if (bodyStart == std::string::npos) {
          bodyStart = request.find("\r\n\r\n");
          if (bodyStart != std::string::npos) {
            bodyStart += 4;
            std::string head = request.substr(0, bodyStart);
            for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            size_t at = head.find("content-length:");
            if (at != std::string::npos) length = std::strtoul(head.c_str() + at + 15, nullptr, 10);
            if (!continued && head.find("expect: 100-continue") != std::string::npos) {
              const char* go = "HTTP/1.1 100 Continue\r\n\r\n";
              send(fd, go, std::strlen(go), MSG_NOSIGNAL);
              continued = true;
            }
          }
        }
        if (bodyStart != std::string::npos && request.size() >= bodyStart + length) break;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      const std::string answer =
          "HTTP/1.1 " + std::to_string(status_) + " Status\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
      send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
      close(fd);
    }
  }

  int status_;
  int listen_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

}  // namespace qvtest
