#include "tunnel/logging_view.h"

void LoggingView::CallPageFunction(const char* name, const char* const* args, int count) {
  std::fprintf(out_, "page %s", name);
  for (int i = 0; i < count; ++i) std::fprintf(out_, " %s", args[i] ? args[i] : "");
  std::fputc('\n', out_);
  std::fflush(out_);
}

void LoggingView::UpdateTrayIcon(ShownState state) {
  std::fprintf(out_, "tray %u\n", Number(state));
  std::fflush(out_);
}

void LoggingView::Display() {
  std::fputs("display\n", out_);
  std::fflush(out_);
}

void LoggingView::Hide() {
  std::fputs("hide\n", out_);
  std::fflush(out_);
}

void LoggingView::Notify(Notice notice) {
  std::fprintf(out_, "notice %u %s\n", static_cast<unsigned>(notice), NoticeTitle(notice));
  std::fflush(out_);
}
