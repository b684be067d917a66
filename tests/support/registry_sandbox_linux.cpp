#include "support/registry_sandbox.h"

#include <stdlib.h>

#include "support/child_process.h"

namespace qvtest {

struct RegistrySandbox::Saved {
  TempDir dir;
};

RegistrySandbox::RegistrySandbox() : saved_(std::make_unique<Saved>()) {
  directory_ = saved_->dir.path();
  file_ = saved_->dir / "registry.db";
  setenv("QUORVANTA_REGISTRY", file_.c_str(), 1);
}

RegistrySandbox::~RegistrySandbox() { unsetenv("QUORVANTA_REGISTRY"); }

}  // namespace qvtest
