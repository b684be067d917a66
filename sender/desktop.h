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
DialogChoice ShowCrashDialog(const DialogTexts& texts, const std::string& app,
                             const std::string& folder, const std::string& reportText, bool canSend);

// Offers the unsent reports; true when the user chose to send them.
bool OfferQueuedReports(const DialogTexts& texts, const std::string& app,
                        const std::vector<std::string>& reports);

// The whole screen as PNG bytes.
bool TakeScreenshot(std::string* png);

}  // namespace sender
