// Material for every later report: files, properties, registry keys and the
// screenshot request, kept in the handler and written into the block at once.
#include "crash/crash_handler.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/crash_process.h"
#include "platform/registry.h"

namespace crash {

bool CCrashHandler::Append(size_t bytes, const char16_t** error) const {
  if (bytes > 0xFFFF) {
    *error = u"The item is larger than 65535 bytes.";
    return false;
  }
  BlockWriter w(current_->block);
  if (!w.HasRoom(bytes)) {
    *error = u"No room is left in the crash description block.";
    return false;
  }
  return true;
}

bool CCrashHandler::TextFits(const std::u16string& s, const char16_t** error) const {
  if (s.size() > kMaxTextChars) {
    *error = u"The text is longer than 32764 characters.";
    return false;
  }
  return true;
}

int CCrashHandler::AddFile(const std::u16string* source, const std::u16string* dest, const std::u16string* description,
                           uint32_t aflags) {
  if (!source) {
    SetErrorText(u"Invalid file name specified.");
    return 2;
  }
  if (dest && Trim(*dest).empty()) {
    SetErrorText(u"Invalid destination file name specified.");
    return 2;
  }
  FileEntry entry;
  entry.source = *source;
  entry.description = description ? *description : std::u16string();
  entry.option1 = aflags & CRASH_FILE_OPTION_1;
  entry.option2 = aflags & CRASH_FILE_OPTION_2;
  const bool pattern = source->find_first_of(u"*?") != std::u16string::npos;
  if (pattern) {
    entry.dest = source->substr(source->rfind(u'/') + 1);
  } else {
    if (!(aflags & CRASH_FILE_MAY_BE_MISSING) && !platform::ReadableFile(Narrow(*source).c_str())) {
      SetErrorText(u"The file does not exists or not a regular file.");
      return 2;
    }
    entry.dest = dest ? *dest : source->substr(source->rfind(u'/') + 1);
    if (files.count(entry.dest)) {
      SetErrorText(u"A file with such a destination name already exists.");
      return 2;
    }
  }
  const char16_t* error = nullptr;
  if (!TextFits(entry.source, &error) || !TextFits(entry.dest, &error) || !TextFits(entry.description, &error) ||
      !Append(FileItemSize(entry.source, entry.dest, entry.description), &error)) {
    SetErrorText(error);
    return 2;
  }
  files[entry.dest] = entry;
  BlockWriter(current_->block).AppendFile(entry.source, entry.dest, entry.description, entry.option1, entry.option2);
  SetErrorText(u"Success.");
  return 0;
}

int CCrashHandler::AddProperty(const std::u16string& name, const std::u16string& value) {
  if (name.empty()) {
    SetErrorText(u"Invalid property name specified.");
    return 2;
  }
  const char16_t* error = nullptr;
  if (!TextFits(name, &error) || !TextFits(value, &error) || !Append(PropertyItemSize(name, value), &error)) {
    SetErrorText(error);
    return 2;
  }
  properties[name] = value;
  BlockWriter(current_->block).AppendProperty(name, value);
  SetErrorText(u"Success.");
  return 0;
}

int CCrashHandler::AddRegKey(const std::u16string* key, const std::u16string* dest, uint32_t rflags) {
  if (!key || !dest) {
    SetErrorText(u"Invalid registry key or invalid destination file is specified.");
    return 2;
  }
  if (dest->find_first_of(u"/\\\r\n\t") != std::u16string::npos) return 2;
  std::u16string subkey;
  for (const char16_t* root : {u"HKEY_LOCAL_MACHINE\\", u"HKEY_CURRENT_USER\\"}) {
    std::u16string prefix(root);
    if (key->compare(0, prefix.size(), prefix) == 0) {
      subkey = key->substr(prefix.size());
      if (subkey.empty()) {
        SetErrorText(u"Empty subkey is not allowed.");
        return 2;
      }
      break;
    }
    prefix.clear();
  }
  if (subkey.empty()) {
    SetErrorText(u"Invalid registry branch is specified.");
    return 2;
  }
  // Both roots name keys of the program's one registry store.
  if (!platform::ScopedRegKey(platform::RegOpenKey(Narrow(subkey).c_str(), platform::RegAccess::Read))) {
    SetErrorText(u"The registry key coudn't be open.");
    return 2;
  }
  const char16_t* error = nullptr;
  if (!TextFits(*key, &error) || !TextFits(*dest, &error) || !Append(RegKeyItemSize(*key, *dest), &error)) {
    SetErrorText(error);
    return 2;
  }
  regKeys[*key] = RegKeyEntry{*dest, (rflags & CRASH_KEY_OPTION) != 0};
  BlockWriter(current_->block).AppendRegKey(*key, *dest, (rflags & CRASH_KEY_OPTION) != 0);
  SetErrorText(u"Success.");
  return 0;
}

int CCrashHandler::AddScreenshot(uint32_t sflags, int quality) {
  if (quality < 0 || quality > 100) {
    SetErrorText(u"Invalid Jpeg quality.");
    return 1;
  }
  screenshot = true;
  screenshotFlags = sflags;
  jpegQuality = quality;
  BlockWriter w(current_->block);
  w.Put32(hdr::kScreenshot, 1);
  w.Put32(hdr::kScreenshotFlags, sflags);
  w.Put32(hdr::kJpegQuality, static_cast<uint32_t>(quality));
  SetErrorText(u"Success.");
  return 0;
}

}  // namespace crash
