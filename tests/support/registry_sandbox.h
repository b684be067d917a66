#pragma once
// A settings store for one test, without the product key or a machine
// identity: a private database on Linux; on Windows the real registry (the
// test prefix's), with both saved first and put back afterwards.
#include <memory>
#include <string>

namespace qvtest {

class RegistrySandbox {
 public:
  RegistrySandbox();
  ~RegistrySandbox();
  RegistrySandbox(const RegistrySandbox&) = delete;
  RegistrySandbox& operator=(const RegistrySandbox&) = delete;

  // The database file and its directory (Linux; empty on Windows).
  const std::string& file() const { return file_; }
  const std::string& directory() const { return directory_; }

 private:
  struct Saved;
  std::string file_;
  std::string directory_;
  std::unique_ptr<Saved> saved_;
};

}  // namespace qvtest
