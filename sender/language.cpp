#include "language.h"

namespace sender {

namespace {

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

DialogTexts ParseLanguageFile(const std::string& text) {
  DialogTexts texts;
  std::string section;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trimmed(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = Trimmed(line.substr(1, line.size() - 2));
      continue;
    }
    const size_t equals = line.find('=');
    if (section != "MainDlg" || equals == std::string::npos) continue;
    const std::string key = Trimmed(line.substr(0, equals));
    const std::string value = Trimmed(line.substr(equals + 1));
    if (value.empty()) continue;
    if (key == "DlgCaption")
      texts.caption = value;
    else if (key == "SendReport")
      texts.sendReport = value;
    else if (key == "Close")
      texts.close = value;
    else if (key == "Details")
      texts.details = value;
    else if (key == "Later")
      texts.later = value;
    else if (key == "Delete")
      texts.deleteReports = value;
  }
  return texts;
}

std::string FormatCaption(const std::string& caption, const std::string& app) {
  const size_t at = caption.find("%s");
  if (at == std::string::npos) return caption;
  return caption.substr(0, at) + app + caption.substr(at + 2);
}

}  // namespace sender
