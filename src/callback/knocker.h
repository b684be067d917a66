#pragma once
// The install callback and the first-run page.
#include <cstddef>
#include <cstdint>

// Both are started by the window, which may be gone before a run ends:
// Start runs them on detached workers that use nothing of the object and may
// end with the process (EndCallbackWorkers cuts them short at shutdown).

// Reports the stored referral code ("ref") once to the vendor's site:
// GET <site>/clientCallback/?a=<code>&b=<machine id>&c=<signature>, and
// empties "ref" when the reply begins with "OK".
class Knocker {
 public:
  // Starts one run on a worker of its own; false after shutdown.
  bool Start();

 protected:
  // One run on the calling thread.
  void Run();
};

// Opens the vendor's "/installed" page 5 s after the first tunnel-up of a first run.
class OpenInstalled {
 public:
  bool Start();

 protected:
  void Run();
};

// Shutdown: no run opens a page or writes "ref" from now on, a transfer
// under way is cut off, and later starts do nothing. Waits at most boundMs
// for the runs under way to end; true when none is left.
bool EndCallbackWorkers(unsigned boundMs);
// Milliseconds OpenInstalled waits (5000); tests shorten it.
void SetInstalledDelayMs(unsigned ms);

// Crc32 of code + machine id + salt, the bytes as stored.
uint32_t CallbackSignature(const char* code, const char* machineId);

// Writes text into out for use as a query value: bytes outside the URL's
// unreserved set (letters, digits, "-", ".", "_", "~") become %XX, the rest
// stays as it is. false when out is too small.
bool EncodeQueryValue(const char* text, char* out, size_t outSize);

// Formats the callback address into url; false when it does not fit.
bool FormatCallbackUrl(const char* site, const char* code, const char* machineId, char* url, size_t urlSize);
