#pragma once
// The install callback and the first-run page.
#include "app/thread.h"

// Reports the stored referral code once to the vendor's site.
class Knocker : public Thread {
 protected:
  void Run() override;
};

// Opens the vendor's "/installed" page 5 s after the first tunnel-up of a first run.
class OpenInstalled : public Thread {
 protected:
  void Run() override;
};
