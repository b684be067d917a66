#pragma once
// The dialog's texts from the language file the front end names in the block
// ("[MainDlg]" of crashreport_lang.ini); a missing file or key keeps the default.
#include <string>

namespace sender {

struct DialogTexts {
  std::string caption = "%s has stopped working";
  std::string sendReport = "Send report";
  std::string close = "Close";
  std::string details = "Report details";
  std::string later = "Later";
  std::string deleteReports = "Delete";
};

DialogTexts ParseLanguageFile(const std::string& text);

// The caption with its first "%s" replaced by the application name; no other
// conversion is read, so a file cannot make the text read memory.
std::string FormatCaption(const std::string& caption, const std::string& app);

}  // namespace sender
