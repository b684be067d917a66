#pragma once
// Modal message boxes without an owner window. On a display: a GTK dialog.
// Without a display, or with QUORVANTA_MESSAGES=stderr: the line
// "<caption>: <text>" on standard error, returning at once.
namespace platform {

enum class MessageIcon { None, Error };

void ShowMessageBox(const char* caption, const char* text, MessageIcon icon);

// Installed by the window layer once GTK is initialised; until then (and in
// programs without a window) boxes go to standard error.
using MessageBoxHandler = void (*)(const char* caption, const char* text, MessageIcon icon);
void SetMessageBoxHandler(MessageBoxHandler handler);

}  // namespace platform
