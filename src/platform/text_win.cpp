#include "platform/text_win.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

namespace platform {

std::wstring WideFromUtf8(const char* text, size_t length) {
  if (!text || length == 0 || length > 0x7fffffff) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, static_cast<int>(length), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, static_cast<int>(length), wide.data(), n);
  return wide;
}

std::wstring WideFromUtf8(const char* text) { return text ? WideFromUtf8(text, std::strlen(text)) : std::wstring(); }

std::string Utf8FromWide(const wchar_t* text, size_t length) {
  if (!text || length == 0 || length > 0x7fffffff) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), n, nullptr, nullptr);
  return narrow;
}

std::string Utf8FromWide(const wchar_t* text) { return text ? Utf8FromWide(text, std::wcslen(text)) : std::string(); }

}  // namespace platform
