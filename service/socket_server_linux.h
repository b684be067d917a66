#pragma once
// The service socket: a Unix socket every local user may write a request to.
namespace tunneld {

// Binds and listens at path (making its folders, replacing a stale socket);
// -1 (and a log line) when another service serves it or it cannot be made.
int Listen(const char* path);

// Accepts and serves connections until a signal can be read from stopFd;
// false when polling failed.
bool ServeSocket(int listenFd, int stopFd);

}  // namespace tunneld
