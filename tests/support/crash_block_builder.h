#pragma once
// Builds crash blocks byte by byte after the documented layout, valid or not,
// so the sender can be tested apart from the library that writes real ones.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qvtest {

class CrashBlockBuilder {
 public:
  // Header field offsets of the texts, in the order a fresh block appends them.
  static constexpr uint32_t kAppName = 72, kAppVersion = 76, kGuid = 92, kExecutable = 124, kLanguage = 80,
                            kDebugHelp = 116, kPassThrough = 84, kPrivacy = 100, kSaveDir = 96, kIcon = 120,
                            kUploadUrl = 68, kEmail = 88, kSubject = 104, kExtra = 108, kSmtp = 112, kLogin = 172,
                            kPassword = 176;

  CrashBlockBuilder() : bytes_(212, 0) {
    std::memcpy(bytes_.data(), "CRD", 3);
    Put16(4, 212);
    Put32(8, 212);
    Put32(12, 1402);
  }

  // A block as install leaves it, with the given GUID and save directory, and a crash of type 11.
  static CrashBlockBuilder Standard(const std::string& guid, const std::string& saveDir,
                                    const std::string& uploadUrl = "") {
    CrashBlockBuilder b;
    b.Put32(28, 0x43FFF);
    b.Put32(32, 25);
    b.Put32(36, 25);
    b.Put32(64, 95);
    const std::pair<uint32_t, std::string> texts[] = {{kAppName, "Quorvanta GUI"},
                                                      {kAppVersion, "0.0.8"},
                                                      {kGuid, guid},
                                                      {kExecutable, "/usr/bin/quorvanta"},
                                                      {kLanguage, "/usr/bin/crashreport_lang.ini"},
                                                      {kDebugHelp, "/usr/lib/x86_64-linux-gnu/libdw.so.1"},
                                                      {kPassThrough, ""},
                                                      {kPrivacy, "http://www.quorvanta.example/privacy"},
                                                      {kSaveDir, saveDir},
                                                      {kIcon, ""},
                                                      {kUploadUrl, uploadUrl},
                                                      {kEmail, ""},
                                                      {kSubject, "Quorvanta GUI 0.0.8 Error Report"},
                                                      {kExtra, ""},
                                                      {kSmtp, ""},
                                                      {kLogin, ""},
                                                      {kPassword, ""}};
    for (const auto& t : texts) b.SetString(t.first, t.second);
    return b;
  }

  void Put16(size_t at, uint16_t v) {
    bytes_[at] = v & 0xFF;
    bytes_[at + 1] = v >> 8;
  }
  void Put32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_[at + i] = (v >> (8 * i)) & 0xFF;
  }
  void Put64(size_t at, uint64_t v) {
    Put32(at, static_cast<uint32_t>(v));
    Put32(at + 4, static_cast<uint32_t>(v >> 32));
  }
  uint32_t Get32(size_t at) const {
    return bytes_[at] | (bytes_[at + 1] << 8) | (bytes_[at + 2] << 16) | (static_cast<uint32_t>(bytes_[at + 3]) << 24);
  }

  static std::u16string Utf16(const std::string& utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
      unsigned char c = utf8[i];
      uint32_t cp = c;
      int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
      if (extra) cp = c & (0x3F >> extra);
      for (int k = 1; k <= extra && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
      i += 1 + extra;
      if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
      } else {
        out.push_back(static_cast<char16_t>(cp));
      }
    }
    return out;
  }

  // Appends a string record; returns its offset.
  uint32_t AddString16(const std::u16string& text) {
    const uint32_t at = Used();
    Append("STR", static_cast<uint16_t>(6 + 2 * text.size()));
    for (char16_t c : text) {
      bytes_.push_back(c & 0xFF);
      bytes_.push_back(c >> 8);
    }
    SetUsed();
    return at;
  }
  uint32_t AddString(const std::string& utf8) { return AddString16(Utf16(utf8)); }
  void SetString(uint32_t field, const std::string& utf8) { Put32(field, AddString(utf8)); }

  uint32_t AddFile(const std::string& source, const std::string& dest, const std::string& desc, int32_t option1 = 0,
                   int32_t option2 = 0) {
    const uint32_t at = BeginItem("FIL", 28);
    Put32(at + 8, AddString(source));
    Put32(at + 12, AddString(dest));
    Put32(at + 16, AddString(desc));
    Put32(at + 20, static_cast<uint32_t>(option1));
    Put32(at + 24, static_cast<uint32_t>(option2));
    EndItem(at, 16);
    return at;
  }
  uint32_t AddProperty(const std::string& name, const std::string& value) {
    const uint32_t at = BeginItem("CPR", 16);
    Put32(at + 8, AddString(name));
    Put32(at + 12, AddString(value));
    EndItem(at, 24);
    return at;
  }
  uint32_t AddKey(const std::string& key, const std::string& dest, int32_t option = 0) {
    const uint32_t at = BeginItem("REG", 20);
    Put32(at + 8, static_cast<uint32_t>(option));
    Put32(at + 12, AddString(key));
    Put32(at + 16, AddString(dest));
    EndItem(at, 20);
    return at;
  }
  // The crash: header fields and the record appended last.
  void SetCrash(uint32_t pid, int32_t tid, int32_t type, uint32_t code, int32_t signal, int32_t signalCode,
                uint64_t faultAddress) {
    Put32(128, pid);
    Put32(132, static_cast<uint32_t>(tid));
    Put32(136, static_cast<uint32_t>(type));
    Put32(140, code);
    Put32(164, 0x1000);
    Put32(208, 1);
    const uint32_t at = Used();
    Append("LNX", 40);
    bytes_.resize(at + 40, 0);
    Put64(at + 8, faultAddress);
    Put64(at + 16, 0x7ffd00001000ull);
    Put32(at + 24, static_cast<uint32_t>(signal));
    Put32(at + 28, static_cast<uint32_t>(signalCode));
    Put32(at + 32, static_cast<uint32_t>(tid));
    SetUsed();
  }

  uint32_t Used() const { return static_cast<uint32_t>(bytes_.size()); }
  std::vector<unsigned char>& bytes() { return bytes_; }

 private:
  void Append(const char* tag, uint16_t size) {
    bytes_.insert(bytes_.end(), tag, tag + 3);
    bytes_.push_back(0);
    bytes_.push_back(size & 0xFF);
    bytes_.push_back(size >> 8);
  }
  uint32_t BeginItem(const char* tag, uint16_t fixed) {
    const uint32_t at = Used();
    Append(tag, 0);
    bytes_.resize(at + fixed, 0);
    SetUsed();
    return at;
  }
  void EndItem(uint32_t at, uint32_t countField) {
    Put16(at + 4, static_cast<uint16_t>(Used() - at));
    Put32(countField, Get32(countField) + 1);
  }
  void SetUsed() { Put32(8, Used()); }

  std::vector<unsigned char> bytes_;
};

}  // namespace qvtest
