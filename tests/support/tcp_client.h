#pragma once
// A TCP client on loopback for tests of the management port, the same on
// both systems: connect, write, read with a bound, and flood a peer that
// does not read.
#include <cstddef>
#include <cstdint>
#include <string>

namespace qvtest {

class TcpClient {
 public:
  TcpClient() = default;
  ~TcpClient() { Close(); }
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Connects to 127.0.0.1:port; a non-zero receiveBuffer makes a connection
  // whose buffer fills quickly.
  bool Connect(uint16_t port, int receiveBuffer = 0);
  bool Write(const std::string& text);
  // Reads until want bytes arrived, the peer closed, or timeoutMs passed.
  std::string Read(size_t want, int timeoutMs);
  // True when the peer closed (or reset) within timeoutMs.
  bool PeerClosed(int timeoutMs);
  // Writes line again and again without reading, until sends have stayed
  // blocked for 300 ms: the peer has stopped taking them.
  void FloodWithoutReading(const std::string& line);
  // The connection's kernel state in one line, for a failure message; empty
  // where the system does not tell.
  std::string KernelState() const;
  void Close();

 private:
  intptr_t socket_ = -1;
};

}  // namespace qvtest
