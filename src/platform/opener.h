#pragma once
// Opens a web address in the user's browser ("open" verb): xdg-open, or the
// command named by QUORVANTA_OPENER. Never blocks the caller.
namespace platform {

// false when the opener could not be started.
bool OpenUrl(const char* url);

}  // namespace platform
