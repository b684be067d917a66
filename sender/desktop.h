#pragma once
// What the sender shows on a display: the crash dialog, the offer of queued
// reports, and the screenshot. Every call returns at once without a display.
#include <string>
#include <vector>

#include "language.h"

namespace sender {

// Opens the display named by the environment; false when there is none.
bool OpenDisplay();

enum class DialogChoice { Send, Close };

// "<app> has stopped working", the folder, the report behind an expander, and
// "Send report" (only when sending is allowed) or "Close".
DialogChoice ShowCrashDialog(const DialogTexts& texts, const std::string& app, const std::string& folder,
                             const std::string& reportText, bool canSend);

enum class QueuedChoice { Send, Later, Delete };

// Offers the unsent reports: "Send report", "Later" (also the window's close)
// or "Delete". Later without a display.
QueuedChoice OfferQueuedReports(const DialogTexts& texts, const std::string& app,
                                const std::vector<std::string>& reports);

// Tells the user that sending failed, and why; returns once it is closed.
void ShowSendFailure(const std::string& app, const std::string& text);

// The whole screen as PNG bytes.
bool TakeScreenshot(std::string* png);

}  // namespace sender
