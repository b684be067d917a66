#include "crash_block.h"

#include "paths.h"

#include <cstring>

namespace sender {

namespace {

namespace hdr = crash::hdr;
using crash::kRecordHead;
using crash::kRecordSizeField;
using crash::kRecordTagSize;

uint16_t Get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Get32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t Get64(const unsigned char* p) { return Get32(p) | (static_cast<uint64_t>(Get32(p + 4)) << 32); }

// The bytes a reader may look at: the header and the items up to bytes used.
struct View {
  const unsigned char* data;
  size_t used;
};

bool HasTag(const View& v, size_t offset, const char* tag) {
  return offset <= v.used && v.used - offset >= kRecordHead && std::memcmp(v.data + offset, tag, kRecordTagSize) == 0 &&
         v.data[offset + kRecordTagSize] == 0;
}

// The text of the string record at `offset`; false when there is none there.
bool StringAt(const View& v, uint32_t offset, std::string* text) {
  if (offset < kHeaderSize || !HasTag(v, offset, crash::kStringTag)) return false;
  const size_t size = Get16(v.data + offset + kRecordSizeField);
  if (size < kRecordHead || (size - kRecordHead) % 2 != 0 || size > v.used - offset) return false;
  *text = Utf16ToUtf8(v.data + offset + kRecordHead, (size - kRecordHead) / 2);
  return true;
}

// A header field that names a string; an offset of 0 means the text was never written.
bool HeaderString(const View& v, size_t field, std::string* text) {
  const uint32_t offset = Get32(v.data + field);
  if (offset == 0) {
    text->clear();
    return true;
  }
  return StringAt(v, offset, text);
}

void AppendUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

void ReadLinuxRecord(const unsigned char* r, CrashBlock* block) {
  block->lnx.present = true;
  namespace l = crash::linuxrecord;
  block->lnx.faultAddress = Get64(r + l::kFaultAddress);
  block->lnx.exceptionPointers = Get64(r + l::kPointers);
  block->lnx.signal = static_cast<int32_t>(Get32(r + l::kSignal));
  block->lnx.signalCode = static_cast<int32_t>(Get32(r + l::kSignalCode));
  block->lnx.threadId = static_cast<int32_t>(Get32(r + l::kThreadId));
}

// Reads the item records behind the header strings; stops at the first record
// that does not fit, keeping what came before it.
void WalkRecords(const View& v, CrashBlock* block) {
  size_t offset = kHeaderSize;
  while (offset < v.used) {
    if (v.used - offset < kRecordHead || v.data[offset + kRecordTagSize] != 0) {
      block->damage = "a record at offset " + std::to_string(offset) + " is cut short";
      return;
    }
    const size_t size = Get16(v.data + offset + kRecordSizeField);
    if (size < kRecordHead || size > v.used - offset) {
      block->damage = "the record at offset " + std::to_string(offset) + " has a bad size";
      return;
    }
    const unsigned char* r = v.data + offset;
    bool ok = true;
    if (HasTag(v, offset, crash::kStringTag)) {
      // Texts are read through the offsets that name them.
    } else if (HasTag(v, offset, crash::kFileTag)) {
      namespace f = crash::file;
      FileItem item;
      ok = size >= f::kSize && StringAt(v, Get32(r + f::kSource), &item.source) &&
           StringAt(v, Get32(r + f::kDestination), &item.destination) &&
           StringAt(v, Get32(r + f::kDescription), &item.description);
      if (ok) {
        item.option1 = static_cast<int32_t>(Get32(r + f::kOption1));
        item.option2 = static_cast<int32_t>(Get32(r + f::kOption2));
        block->files.push_back(std::move(item));
      }
    } else if (HasTag(v, offset, crash::kPropertyTag)) {
      namespace p = crash::property;
      PropertyItem item;
      ok = size >= p::kSize && StringAt(v, Get32(r + p::kName), &item.name) &&
           StringAt(v, Get32(r + p::kValue), &item.value);
      if (ok) block->properties.push_back(std::move(item));
    } else if (HasTag(v, offset, crash::kRegKeyTag)) {
      namespace k = crash::regkey;
      RegKeyItem item;
      ok = size >= k::kSize && StringAt(v, Get32(r + k::kKeyPath), &item.keyPath) &&
           StringAt(v, Get32(r + k::kDestination), &item.destination);
      if (ok) {
        item.option = static_cast<int32_t>(Get32(r + k::kOption));
        block->keys.push_back(std::move(item));
      }
    } else if (HasTag(v, offset, crash::kLinuxTag)) {
      ok = size >= crash::linuxrecord::kSize;
      if (ok) ReadLinuxRecord(r, block);
    } else {
      block->damage = "unknown record at offset " + std::to_string(offset);
      return;
    }
    if (!ok) {
      block->damage = "the record at offset " + std::to_string(offset) + " is malformed";
      return;
    }
    offset += size;
  }
}

}  // namespace

std::string Utf16ToUtf8(const unsigned char* data, size_t units) {
  std::string out;
  out.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = Get16(data + 2 * i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
      const uint32_t low = Get16(data + 2 * (i + 1));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
        AppendUtf8(c, &out);
        continue;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    AppendUtf8(c, &out);
  }
  return out;
}

bool LooksLikeGuid(const std::string& text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < 36; ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !IsHex(text[i])) return false;
  }
  return true;
}

bool IsSafeFileName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

std::string SanitizeFolderName(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    out.push_back((c < 0x20 || c == 0x7F || c == '/' || c == '\\') ? '_' : static_cast<char>(c));
  }
  if (out.size() > 200) {
    size_t cut = 200;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  if (out.find_first_not_of('.') == std::string::npos) out.assign(1, '_');
  return out;
}

bool ParseCrashBlock(const unsigned char* data, size_t size, CrashBlock* block, std::string* error) {
  *block = CrashBlock();
  if (size < kHeaderSize || std::memcmp(data, crash::kHeaderTag, kRecordTagSize) != 0 || data[kRecordTagSize] != 0) {
    *error = "not a crash description";
    return false;
  }
  if (Get16(data + hdr::kHeaderSizeField) != kHeaderSize || Get32(data + hdr::kVersion) != kBlockVersion) {
    *error = "wrong header size or format version";
    return false;
  }
  const uint32_t used = Get32(data + hdr::kBytesUsed);
  if (used < kHeaderSize || used > size) {
    *error = "bytes used lies outside the block";
    return false;
  }
  const View v{data, used};
  const unsigned char* h = data;
  block->bytesUsed = used;
  block->flags = Get32(h + hdr::kFlags);
  block->mailPort = Get32(h + hdr::kMailPort);
  block->smtpPort = Get32(h + hdr::kSmtpPort);
  for (int i = 0; i < 3; ++i) block->senderSettings[i] = static_cast<int32_t>(Get32(h + hdr::kSenderSettings + 4 * i));
  block->passThroughValue = Get32(h + hdr::kPassThroughValue);
  block->screenshot = Get32(h + hdr::kScreenshot);
  block->screenshotFlags = Get32(h + hdr::kScreenshotFlags);
  block->screenshotQuality = Get32(h + hdr::kJpegQuality);
  block->processId = Get32(h + hdr::kProcessId);
  block->threadId = Get32(h + hdr::kThreadId);
  block->exceptionType = static_cast<int32_t>(Get32(h + hdr::kExceptionType));
  block->exceptionCode = Get32(h + hdr::kExceptionCode);
  block->sourceLine = Get32(h + hdr::kLine);
  block->fpeSubcode = Get32(h + hdr::kFpeSubcode);
  block->exceptionPointers = Get32(h + hdr::kExceptionPointers);
  block->queuedReports = Get32(h + hdr::kQueued);
  block->video = Get32(h + hdr::kVideo);
  block->videoFlags = Get32(h + hdr::kVideoFlags);
  block->videoDuration = Get32(h + hdr::kVideoDuration);
  block->videoInterval = Get32(h + hdr::kVideoInterval);
  block->videoWidth = Get32(h + hdr::kVideoWidth);
  block->videoHeight = Get32(h + hdr::kVideoHeight);
  block->videoWindow = Get32(h + hdr::kVideoWindow);
  block->crashOccurred = Get32(h + hdr::kCrashOccurred);

  struct Field {
    size_t offset;
    std::string* text;
    const char* name;
  };
  const Field fields[] = {
      {hdr::kUploadUrl, &block->uploadUrl, "upload URL"},
      {hdr::kAppName, &block->appName, "application name"},
      {hdr::kAppVersion, &block->appVersion, "version"},
      {hdr::kLanguageFile, &block->languageFile, "language file"},
      {hdr::kPassThroughText, &block->passThroughText, "pass-through text"},
      {hdr::kEmailTo, &block->emailTo, "e-mail recipient"},
      {hdr::kCrashGuid, &block->crashGuid, "crash GUID"},
      {hdr::kSaveDir, &block->saveDirectory, "save directory"},
      {hdr::kPrivacyUrl, &block->privacyUrl, "privacy URL"},
      {hdr::kSubject, &block->emailSubject, "subject"},
      {hdr::kExtraText, &block->extraText, "extra text"},
      {hdr::kSmtpServer, &block->smtpServer, "mail server"},
      {hdr::kDbgHelpPath, &block->debugHelpPath, "debug library"},
      {hdr::kCustomIcon, &block->customIcon, "icon"},
      {hdr::kExePath, &block->executablePath, "executable"},
      {hdr::kExpression, &block->expression, "expression"},
      {hdr::kFunction, &block->function, "function"},
      {hdr::kFile, &block->sourceFile, "source file"},
      {hdr::kSmtpLogin, &block->smtpLogin, "mail login"},
      {hdr::kSmtpPassword, &block->smtpPassword, "mail password"},
  };
  for (const Field& f : fields) {
    if (!HeaderString(v, f.offset, f.text)) {
      *error = std::string("the ") + f.name + " text is malformed";
      return false;
    }
  }
  if (!LooksLikeGuid(block->crashGuid)) {
    *error = "the crash GUID is not a GUID";
    return false;
  }
  if (block->appName.empty() || block->appVersion.empty()) {
    *error = "the application name or version is missing";
    return false;
  }
  if (!IsPlainAbsolutePath(block->saveDirectory)) {
    *error = "the save directory is not an absolute path";
    return false;
  }
  WalkRecords(v, block);
  // The report step appends its record last, so a walk stopped by a torn item still finds it.
  constexpr uint32_t kLinux = crash::linuxrecord::kSize;
  if (!block->lnx.present && used >= kHeaderSize + kLinux && HasTag(v, used - kLinux, crash::kLinuxTag) &&
      Get16(data + used - kLinux + kRecordSizeField) == kLinux) {
    ReadLinuxRecord(data + used - kLinux, block);
  }
  return true;
}

}  // namespace sender
