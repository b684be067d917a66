#pragma once
// The byte-level side of the page's `external` object: how a script call is
// encoded on its way in, how arguments are narrowed, and how the reply (the
// result plus page calls made meanwhile) is written. No GTK in here, so unit
// tests call these directly.
#include <cstdint>
#include <string>
#include <vector>

namespace bridge {

// Status codes the script bridge reports, as the platform's HRESULT values.
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kNotImplemented = static_cast<int32_t>(0x80004001u);
inline constexpr int32_t kInvalidArgument = static_cast<int32_t>(0x80070057u);
inline constexpr int32_t kUnknownName = static_cast<int32_t>(0x80020006u);  // DISP_E_UNKNOWNNAME

inline constexpr int32_t kFirstIdentifier = 100000;
inline constexpr int kMaxTextArguments = 256;

// One script argument as the page passed it.
struct ScriptArg {
  enum Type { Undefined, Number, String } type = Undefined;
  double number = 0;
  std::u16string text;  // UTF-16 code units, exactly as the script held them

  // The integer a Raw method reads (numbers truncated, numeric strings parsed).
  int AsInt() const;
  // The text as UTF-8 (lone surrogates become U+FFFD), for window titles and links.
  std::string AsUtf8() const;
};

// A decoded call: "id=<n>&a=<arg>&a=<arg>..." where each argument is
// "u" (undefined), "n<number>" or "s<hex of UTF-16 units, 4 digits each>".
struct ScriptCall {
  int32_t identifier = 0;
  std::vector<ScriptArg> args;
};
bool DecodeCall(const char* query, ScriptCall* out);

// Low byte of each 16-bit unit, up to the first zero unit: no code page involved.
std::string Narrow(const std::u16string& wide);
// The inverse for texts the program hands to the page: each byte one unit (Latin-1).
std::string Latin1ToUtf8(const char* narrow);

// A page function call carried back in a reply.
struct PageCall {
  uint32_t number = 0;            // the page skips a call older than one it has run
  std::string name;               // UTF-8
  std::vector<std::string> args;  // UTF-8
};

// {"s":status,"t":0|1,"r":"result","c":[[number,"name",["arg",...]],...]}
// result is narrow text (shown to the script as Latin-1); null means none.
std::string EncodeReply(int32_t status, bool text, const char* result, const std::vector<PageCall>& calls);

// Appends s as a JSON string literal; s is UTF-8 (invalid bytes are taken as Latin-1).
void AppendJsonString(std::string* out, const std::string& s);

}  // namespace bridge
