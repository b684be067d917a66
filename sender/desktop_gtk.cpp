#include "desktop.h"

#include <gtk/gtk.h>

namespace sender {

namespace {

bool displayOpen = false;

GtkWidget* WrappedLabel(const std::string& text, bool selectable) {
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_selectable(GTK_LABEL(label), selectable);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  return label;
}

GtkWidget* TextBox(const std::string& text) {
  GtkWidget* view = gtk_text_view_new();
  gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
  gtk_text_view_set_monospace(GTK_TEXT_VIEW(view), TRUE);
  // Outside text may be any bytes; GTK wants valid UTF-8.
  gchar* valid = g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size()));
  gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(view)), valid, -1);
  g_free(valid);
  GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_widget_set_size_request(scroll, 560, 240);
  gtk_container_add(GTK_CONTAINER(scroll), view);
  return scroll;
}

std::string Valid(const std::string& text) {
  gchar* valid = g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size()));
  std::string out = valid;
  g_free(valid);
  return out;
}

// A button label whose first letter is its key (Alt+letter); the text's own
// underscores stay underscores.
std::string Mnemonic(const std::string& text) {
  std::string out = "_";
  for (char c : Valid(text)) {
    out.push_back(c);
    if (c == '_') out.push_back('_');
  }
  return out;
}

}  // namespace

bool OpenDisplay() {
  if (!displayOpen) displayOpen = gtk_init_check(nullptr, nullptr);
  return displayOpen;
}

DialogChoice ShowCrashDialog(const DialogTexts& texts, const std::string& app, const std::string& folder,
                             const std::string& reportText, bool canSend) {
  if (!OpenDisplay()) return DialogChoice::Close;
  const std::string caption = Valid(FormatCaption(texts.caption, app));
  GtkWidget* dialog = gtk_dialog_new();
  gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  // Alt and a button's first letter press it; Enter keeps the report without sending it.
  if (canSend) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), Mnemonic(texts.sendReport).c_str(), GTK_RESPONSE_ACCEPT);
  }
  gtk_dialog_add_button(GTK_DIALOG(dialog), Mnemonic(texts.close).c_str(), GTK_RESPONSE_CLOSE);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE);
  GtkWidget* box = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  gtk_container_set_border_width(GTK_CONTAINER(box), 12);
  gtk_box_set_spacing(GTK_BOX(box), 8);
  gtk_box_pack_start(GTK_BOX(box), WrappedLabel(caption, false), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), WrappedLabel("The report is in " + Valid(folder), true), FALSE, FALSE, 0);
  GtkWidget* expander = gtk_expander_new(Valid(texts.details).c_str());
  gtk_container_add(GTK_CONTAINER(expander), TextBox(reportText));
  gtk_box_pack_start(GTK_BOX(box), expander, TRUE, TRUE, 0);
  gtk_widget_show_all(dialog);
  const int response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  while (gtk_events_pending()) gtk_main_iteration();
  return response == GTK_RESPONSE_ACCEPT ? DialogChoice::Send : DialogChoice::Close;
}

QueuedChoice OfferQueuedReports(const DialogTexts& texts, const std::string& app,
                                const std::vector<std::string>& reports) {
  if (reports.empty() || !OpenDisplay()) return QueuedChoice::Later;
  std::string list;
  for (const std::string& report : reports) list += report + "\n";
  GtkWidget* dialog = gtk_dialog_new();
  gtk_window_set_title(GTK_WINDOW(dialog), Valid(app).c_str());
  gtk_dialog_add_button(GTK_DIALOG(dialog), Mnemonic(texts.sendReport).c_str(), GTK_RESPONSE_ACCEPT);
  gtk_dialog_add_button(GTK_DIALOG(dialog), Mnemonic(texts.later).c_str(), GTK_RESPONSE_CLOSE);
  gtk_dialog_add_button(GTK_DIALOG(dialog), Mnemonic(texts.deleteReports).c_str(), GTK_RESPONSE_REJECT);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE);
  GtkWidget* box = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  gtk_container_set_border_width(GTK_CONTAINER(box), 12);
  gtk_box_set_spacing(GTK_BOX(box), 8);
  const std::string text =
      Valid(app) + " has " + std::to_string(reports.size()) + " crash report(s) that were not sent.";
  gtk_box_pack_start(GTK_BOX(box), WrappedLabel(text, false), FALSE, FALSE, 0);
  GtkWidget* expander = gtk_expander_new(Valid(texts.details).c_str());
  gtk_container_add(GTK_CONTAINER(expander), TextBox(list));
  gtk_box_pack_start(GTK_BOX(box), expander, TRUE, TRUE, 0);
  gtk_widget_show_all(dialog);
  const int response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  while (gtk_events_pending()) gtk_main_iteration();
  if (response == GTK_RESPONSE_ACCEPT) return QueuedChoice::Send;
  return response == GTK_RESPONSE_REJECT ? QueuedChoice::Delete : QueuedChoice::Later;
}

void ShowSendFailure(const std::string& app, const std::string& text) {
  if (!OpenDisplay()) return;
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_CLOSE, "%s",
                                             Valid(text).c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), Valid(app).c_str());
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  while (gtk_events_pending()) gtk_main_iteration();
}

bool TakeScreenshot(std::string* png) {
  if (!OpenDisplay()) return false;
  GdkWindow* root = gdk_get_default_root_window();
  if (!root) return false;
  const int width = gdk_window_get_width(root);
  const int height = gdk_window_get_height(root);
  GdkPixbuf* image = gdk_pixbuf_get_from_window(root, 0, 0, width, height);
  if (!image) return false;
  gchar* buffer = nullptr;
  gsize size = 0;
  const bool saved = gdk_pixbuf_save_to_buffer(image, &buffer, &size, "png", nullptr, nullptr);
  g_object_unref(image);
  if (saved) png->assign(buffer, size);
  g_free(buffer);
  return saved;
}

}  // namespace sender
