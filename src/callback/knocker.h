#pragma once
// The install callback and the first-run page.
#include <cstddef>
#include <cstdint>

#include "app/thread.h"

// Reports the stored referral code ("ref") once to the vendor's site:
// GET <site>/clientCallback/?a=<code>&b=<machine id>&c=<signature>, and
// empties "ref" when the reply begins with "OK".
class Knocker : public Thread {
 protected:
  void Run() override;
};

// Opens the vendor's "/installed" page 5 s after the first tunnel-up of a first run.
class OpenInstalled : public Thread {
 protected:
  void Run() override;
};

inline constexpr const char* kCallbackSalt = "Tq7#k2Wm5";

// Crc32 of code + machine id + salt, the bytes as stored.
uint32_t CallbackSignature(const char* code, const char* machineId);

// Writes text into out for use as a query value: bytes outside the URL's
// unreserved set (letters, digits, "-", ".", "_", "~") become %XX, the rest
// stays as it is. false when out is too small.
bool EncodeQueryValue(const char* text, char* out, size_t outSize);

// Formats the callback address into url; false when it does not fit.
bool FormatCallbackUrl(const char* site, const char* code, const char* machineId, char* url,
                       size_t urlSize);
