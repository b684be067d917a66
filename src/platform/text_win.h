#pragma once
// The program's narrow text is UTF-8 on every system; the Windows backends
// hand it to the system's wide calls through these, never through the ANSI
// code page (which differs from machine to machine).
#include <string>

namespace platform {

// "" for null; a text that is not UTF-8 becomes "" too, so no call reaches a
// name other than the one meant.
std::wstring WideFromUtf8(const char* text);
std::wstring WideFromUtf8(const char* text, size_t length);
inline std::wstring WideFromUtf8(const std::string& text) { return WideFromUtf8(text.data(), text.size()); }
std::string Utf8FromWide(const wchar_t* text);
std::string Utf8FromWide(const wchar_t* text, size_t length);

}  // namespace platform
