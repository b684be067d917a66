#include "support/fake_service.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

struct FakeService::Native {
  int fd = -1;
  int stop[2] = {-1, -1};
};

namespace {

std::string ReadToEnd(int client) {
  std::string bytes;
  char buffer[512];
  ssize_t n;
  while ((n = read(client, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(n));
  close(client);
  return bytes;
}

}  // namespace

FakeService::FakeService(bool accepting, int backlog) : native_(std::make_unique<Native>()) {
  char dir[] = "/tmp/qv-service-XXXXXX";
  directory_ = mkdtemp(dir);
  path_ = directory_ + "/QuorvantaPipe";
  native_->fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strcpy(a.sun_path, path_.c_str());
  bind(native_->fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(native_->fd, backlog);
  if (pipe(native_->stop) != 0) std::abort();
  if (accepting) thread_ = std::thread([this] { Serve(); });
}

FakeService::~FakeService() {
  char c = 0;
  if (write(native_->stop[1], &c, 1) != 1) std::abort();
  if (thread_.joinable()) thread_.join();
  close(native_->fd);
  close(native_->stop[0]);
  close(native_->stop[1]);
  unlink(path_.c_str());
  rmdir(directory_.c_str());
}

std::string FakeService::AbsentPath() { return "/nonexistent-qv-dir/QuorvantaPipe"; }

void FakeService::AcceptOne() {
  int client = accept(native_->fd, nullptr, nullptr);
  if (client >= 0) Record(ReadToEnd(client));
}

void FakeService::Serve() {
  for (;;) {
    pollfd p[2] = {{native_->fd, POLLIN, 0}, {native_->stop[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) continue;
    if (p[1].revents) return;
    int client = accept(native_->fd, nullptr, nullptr);
    if (client >= 0) Record(ReadToEnd(client));
  }
}
