#include "support/registry_sandbox.h"

#include "support/registry_state.h"

namespace qvtest {

struct RegistrySandbox::Saved {
  SavedKey product{kProductKey, true};
  SavedKey cryptography{kCryptographyKey, false};
};

RegistrySandbox::RegistrySandbox() : saved_(std::make_unique<Saved>()) {
  platform::RegDeleteKeyTree(kProductKey);
  DeleteValue(kCryptographyKey, "MachineGuid");
}

RegistrySandbox::~RegistrySandbox() = default;

}  // namespace qvtest
