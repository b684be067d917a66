#include "connection_slots_linux.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tunneld {

namespace {

Connection g_connections[kMaxConnections];

long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

void Drop(Connection& c) {
  close(c.fd);
  c.fd = -1;
}

void Finish(Connection& c) {
  Drop(c);
  if (c.size == 0) return;  // the probe
  ServeRequest(c.buf, c.size, c.caller);
}

// Reads what has arrived; the connection ends at its end of file. true when
// bytes were read and the connection is still open.
bool ReadSome(Connection& c) {
  ssize_t got = read(c.fd, c.buf + c.size, sizeof c.buf - c.size);
  if (got < 0) {
    if (errno == EINTR || errno == EAGAIN) return false;
    LogRefused(c.caller, "refused request from %s: read: %s", c.caller.name, std::strerror(errno));
    Drop(c);
    return false;
  }
  if (got == 0) {
    Finish(c);
    return false;
  }
  c.size += static_cast<size_t>(got);
  if (c.size > kMaxRequestSize) {
    LogRefused(c.caller, "refused request from %s: longer than %zu bytes", c.caller.name, kMaxRequestSize);
    Drop(c);
    return false;
  }
  return true;
}

}  // namespace

void Admit(int fd, const CallerIdentity& caller) {
  // Most clients have written and closed already: serve them at once, so
  // only a connection still open takes a slot.
  Connection now;
  now.fd = fd;
  now.caller = caller;
  while (ReadSome(now)) {
  }
  if (now.fd < 0) return;
  int mine = 0;
  Connection* free = nullptr;
  Connection* oldest = nullptr;
  for (Connection& c : g_connections) {
    if (c.fd < 0) {
      if (!free) free = &c;
      continue;
    }
    if (c.caller.uid == caller.uid) ++mine;
    if (!oldest || c.deadline < oldest->deadline) oldest = &c;
  }
  if (mine >= kMaxPerUser) {
    LogRefused(caller, "refused connection from %s: it already holds %d open connections", caller.name, mine);
    close(fd);
    return;
  }
  if (!free) {
    Log("dropped the oldest connection (%s, %zu bytes read): %d connections are open", oldest->caller.name,
        oldest->size, kMaxConnections);
    Drop(*oldest);
    free = oldest;
  }
  std::memcpy(free->buf, now.buf, now.size);
  free->fd = fd;
  free->caller = now.caller;
  free->size = now.size;
  free->deadline = NowMs() + kRequestTimeoutMs;
}

int PollOpenConnections(pollfd* p, Connection** polled, int* waitMs) {
  const long now = NowMs();
  long wait = -1;
  int open = 0;
  for (Connection& c : g_connections) {
    if (c.fd < 0) continue;
    polled[open] = &c;
    p[open++] = {c.fd, POLLIN, 0};
    long left = c.deadline - now;
    if (left < 0) left = 0;
    if (wait < 0 || left < wait) wait = left;
  }
  *waitMs = static_cast<int>(wait);
  return open;
}

void ServeConnections(const pollfd* p, Connection* const* polled, int count) {
  for (int i = 0; i < count; ++i) {
    if (p[i].revents) ReadSome(*polled[i]);
  }
  const long now = NowMs();
  for (Connection& c : g_connections) {
    if (c.fd < 0 || c.deadline > now) continue;
    // What came while a tunnel was being started still counts.
    while (ReadSome(c)) {
    }
    if (c.fd < 0) continue;
    LogRefused(c.caller, "refused request from %s: the client did not finish within %d ms (%zu bytes read)",
               c.caller.name, kRequestTimeoutMs, c.size);
    Drop(c);
  }
}

}  // namespace tunneld
