#include "crash_block.h"

#include <cstring>

namespace sender {

namespace {

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
  return offset <= v.used && v.used - offset >= 6 && std::memcmp(v.data + offset, tag, 3) == 0 &&
         v.data[offset + 3] == 0;
}

// The text of the string record at `offset`; false when there is none there.
bool StringAt(const View& v, uint32_t offset, std::string* text) {
  if (offset < kHeaderSize || !HasTag(v, offset, "STR")) return false;
  const size_t size = Get16(v.data + offset + 4);
  if (size < 6 || (size - 6) % 2 != 0 || size > v.used - offset) return false;
  *text = Utf16ToUtf8(v.data + offset + 6, (size - 6) / 2);
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
  block->lnx.faultAddress = Get64(r + 8);
  block->lnx.exceptionPointers = Get64(r + 16);
  block->lnx.signal = static_cast<int32_t>(Get32(r + 24));
  block->lnx.signalCode = static_cast<int32_t>(Get32(r + 28));
  block->lnx.threadId = static_cast<int32_t>(Get32(r + 32));
}

// Reads the item records behind the header strings; stops at the first record
// that does not fit, keeping what came before it.
void WalkRecords(const View& v, CrashBlock* block) {
  size_t offset = kHeaderSize;
  while (offset < v.used) {
    if (v.used - offset < 6 || v.data[offset + 3] != 0) {
      block->damage = "a record at offset " + std::to_string(offset) + " is cut short";
      return;
    }
    const size_t size = Get16(v.data + offset + 4);
    if (size < 6 || size > v.used - offset) {
      block->damage = "the record at offset " + std::to_string(offset) + " has a bad size";
      return;
    }
    const unsigned char* r = v.data + offset;
    bool ok = true;
    if (HasTag(v, offset, "STR")) {
      // Texts are read through the offsets that name them.
    } else if (HasTag(v, offset, "FIL")) {
      FileItem item;
      ok = size >= 28 && StringAt(v, Get32(r + 8), &item.source) &&
           StringAt(v, Get32(r + 12), &item.destination) &&
           StringAt(v, Get32(r + 16), &item.description);
      if (ok) {
        item.option1 = static_cast<int32_t>(Get32(r + 20));
        item.option2 = static_cast<int32_t>(Get32(r + 24));
        block->files.push_back(std::move(item));
      }
    } else if (HasTag(v, offset, "CPR")) {
      PropertyItem item;
      ok = size >= 16 && StringAt(v, Get32(r + 8), &item.name) && StringAt(v, Get32(r + 12), &item.value);
      if (ok) block->properties.push_back(std::move(item));
    } else if (HasTag(v, offset, "REG")) {
      RegKeyItem item;
      ok = size >= 20 && StringAt(v, Get32(r + 12), &item.keyPath) &&
           StringAt(v, Get32(r + 16), &item.destination);
      if (ok) {
        item.option = static_cast<int32_t>(Get32(r + 8));
        block->keys.push_back(std::move(item));
      }
    } else if (HasTag(v, offset, "LNX")) {
      ok = size >= 40;
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
  if (out.find_first_not_of('.') == std::string::npos) out = "_";
  return out;
}

bool ParseCrashBlock(const unsigned char* data, size_t size, CrashBlock* block, std::string* error) {
  *block = CrashBlock();
  if (size < kHeaderSize || std::memcmp(data, "CRD", 3) != 0 || data[3] != 0) {
    *error = "not a crash description";
    return false;
  }
  if (Get16(data + 4) != kHeaderSize || Get32(data + 12) != kBlockVersion) {
    *error = "wrong header size or format version";
    return false;
  }
  const uint32_t used = Get32(data + 8);
  if (used < kHeaderSize || used > size) {
    *error = "bytes used lies outside the block";
    return false;
  }
  const View v{data, used};
  const unsigned char* h = data;
  block->bytesUsed = used;
  block->flags = Get32(h + 28);
  block->mailPort = Get32(h + 32);
  block->smtpPort = Get32(h + 36);
  for (int i = 0; i < 3; ++i) block->senderSettings[i] = static_cast<int32_t>(Get32(h + 40 + 4 * i));
  block->passThroughValue = Get32(h + 52);
  block->screenshot = Get32(h + 56);
  block->screenshotFlags = Get32(h + 60);
  block->screenshotQuality = Get32(h + 64);
  block->processId = Get32(h + 128);
  block->threadId = Get32(h + 132);
  block->exceptionType = static_cast<int32_t>(Get32(h + 136));
  block->exceptionCode = Get32(h + 140);
  block->sourceLine = Get32(h + 156);
  block->fpeSubcode = Get32(h + 160);
  block->exceptionPointers = Get32(h + 164);
  block->queuedReports = Get32(h + 168);
  block->video = Get32(h + 180);
  block->videoFlags = Get32(h + 184);
  block->videoDuration = Get32(h + 188);
  block->videoInterval = Get32(h + 192);
  block->videoWidth = Get32(h + 196);
  block->videoHeight = Get32(h + 200);
  block->videoWindow = Get32(h + 204);
  block->crashOccurred = Get32(h + 208);

  struct Field {
    size_t offset;
    std::string* text;
    const char* name;
  };
  const Field fields[] = {
      {68, &block->uploadUrl, "upload URL"},        {72, &block->appName, "application name"},
      {76, &block->appVersion, "version"},          {80, &block->languageFile, "language file"},
      {84, &block->passThroughText, "pass-through text"}, {88, &block->emailTo, "e-mail recipient"},
      {92, &block->crashGuid, "crash GUID"},        {96, &block->saveDirectory, "save directory"},
      {100, &block->privacyUrl, "privacy URL"},     {104, &block->emailSubject, "subject"},
      {108, &block->extraText, "extra text"},       {112, &block->smtpServer, "mail server"},
      {116, &block->debugHelpPath, "debug library"}, {120, &block->customIcon, "icon"},
      {124, &block->executablePath, "executable"},  {144, &block->expression, "expression"},
      {148, &block->function, "function"},          {152, &block->sourceFile, "source file"},
      {172, &block->smtpLogin, "mail login"},       {176, &block->smtpPassword, "mail password"},
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
  const std::string& dir = block->saveDirectory;
  if (dir.empty() || dir[0] != '/' || dir.find('\0') != std::string::npos || dir == "/.." ||
      dir.find("/../") != std::string::npos ||
      (dir.size() >= 3 && dir.compare(dir.size() - 3, 3, "/..") == 0)) {
    *error = "the save directory is not an absolute path";
    return false;
  }
  WalkRecords(v, block);
  // The report step appends its record last, so a walk stopped by a torn item still finds it.
  if (!block->lnx.present && used >= kHeaderSize + 40 && HasTag(v, used - 40, "LNX") &&
      Get16(data + used - 36) == 40) {
    ReadLinuxRecord(data + used - 40, block);
  }
  return true;
}

}  // namespace sender
