#pragma once
// A tiny HTTP server on the platform's own loopback listener, so the same
// download tests run against every system's HTTP client. Serves one canned
// response to every request, one connection at a time, on its own thread.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/sockets.h"
#include "platform/tcp_listener.h"

namespace qvtest {

class HttpTestServer {
 public:
  // status: the status line's code and text, e.g. "200 OK".
  HttpTestServer(std::string status, std::string body) : status_(std::move(status)), body_(std::move(body)) {
    platform::StartSockets();
    int error = 0;
    opened_ = listener_.Open(0, 4, &error) == platform::ListenResult::Ok;
    if (opened_) thread_ = std::thread([this] { Serve(); });
  }
  ~HttpTestServer() {
    listener_.Stop();
    if (thread_.joinable()) thread_.join();
    platform::StopSockets();
  }
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  bool opened() const { return opened_; }
  std::string Url(const char* path = "/") const {
    char url[64];
    std::snprintf(url, sizeof url, "http://127.0.0.1:%u%s", listener_.BoundPort(), path);
    return url;
  }
  int requests() const { return requests_.load(); }

 private:
  void Serve() {
    for (;;) {
      platform::SocketHandle client = listener_.Accept();
      if (client == platform::kInvalidSocket) return;
      if (ReadRequest(client)) {
        ++requests_;
        char head[160];
        std::snprintf(head, sizeof head, "HTTP/1.1 %s\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n",
                      status_.c_str(), body_.size());
        std::string reply = head + body_;
        // In pieces, so the client sees the body arrive over several reads.
        for (size_t done = 0; done < reply.size();) {
          size_t piece = reply.size() - done < 700 ? reply.size() - done : 700;
          long n = listener_.Send(client, reply.data() + done, piece, 5000);
          if (n <= 0) break;
          done += static_cast<size_t>(n);
        }
      }
      listener_.CloseSocket(client);
    }
  }

  // Reads up to the blank line that ends the request head.
  bool ReadRequest(platform::SocketHandle client) {
    std::string head;
    char buffer[512];
    while (head.find("\r\n\r\n") == std::string::npos) {
      long n = listener_.Receive(client, buffer, sizeof buffer);
      if (n <= 0 || head.size() > 16384) return false;
      head.append(buffer, static_cast<size_t>(n));
    }
    return head.compare(0, 4, "GET ") == 0;
  }

  std::string status_;
  std::string body_;
  platform::TcpListener listener_;
  bool opened_ = false;
  std::atomic<int> requests_{0};
  std::thread thread_;
};

}  // namespace qvtest
