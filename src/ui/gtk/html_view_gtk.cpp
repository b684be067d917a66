#include "ui/gtk/html_view_gtk.h"

#include <gio/gio.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/environment.h"
#include "platform/memory.h"
#include "ui/resources.h"

namespace {

constexpr int32_t kFailed = static_cast<int32_t>(0x80004005u);  // E_FAIL

// Runs a page function by number, name and arguments through the page's own
// runner, which skips calls overtaken by later ones; 0: no such function.
constexpr const char* kPageCallBody =
    "if (typeof window.__quorvantaPageCall !== 'function') return 0;"
    "var a = [];"
    "for (var i = 0; i < count; i++) a.push(args[String(i)]);"
    "return window.__quorvantaPageCall(number, name, a);";

std::string ResourceText(const char* path) {
  GBytes* bytes = g_resources_lookup_data(path, G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  if (!bytes) return std::string();
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  std::string text(data, size);
  g_bytes_unref(bytes);
  return text;
}

void FinishWithBytes(WebKitURISchemeRequest* request, const void* data, size_t size, const char* mime, bool copy) {
  GInputStream* stream =
      copy ? g_memory_input_stream_new_from_data(g_memdup2(data, size), static_cast<gssize>(size), g_free)
           : g_memory_input_stream_new_from_data(data, static_cast<gssize>(size), nullptr);
  WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, static_cast<gint64>(size));
  webkit_uri_scheme_response_set_content_type(response, mime);
  // The bridge's replies must never come from a cache.
  SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  soup_message_headers_append(headers, "Cache-Control", "no-store");
  webkit_uri_scheme_response_set_http_headers(response, headers);
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
}

struct PageCallState {
  HtmlView::PageCallDone done;
};

void OnPageCallFinished(GObject* source, GAsyncResult* result, gpointer data) {
  PageCallState* state = static_cast<PageCallState*>(data);
  GError* error = nullptr;
  JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &error);
  int32_t status = kFailed;
  if (error) {
    g_error_free(error);
  } else {
    int found = jsc_value_is_number(value) ? jsc_value_to_int32(value) : 0;
    status = found == 0 ? bridge::kUnknownName : bridge::kOk;
    g_object_unref(value);
  }
  if (state->done) state->done(status);
  delete state;
}

struct EvaluateState {
  bool finished = false;
  bool ok = false;
  std::string text;
};

void OnEvaluated(GObject* source, GAsyncResult* result, gpointer data) {
  EvaluateState* state = static_cast<EvaluateState*>(data);
  GError* error = nullptr;
  JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
  if (error) {
    state->text = error->message;
    g_error_free(error);
  } else {
    char* text = jsc_value_to_string(value);
    state->text = text ? text : "";
    g_free(text);
    g_object_unref(value);
    state->ok = true;
  }
  state->finished = true;
}

// The page's "@SITE@" marks become the site's address, escaped for HTML.
std::string SubstituteSite(const char* data, size_t size) {
  std::string site;
  for (const char* p = platform::SiteBase(); *p; ++p) {
    switch (*p) {
      case '&':
        site += "&amp;";
        break;
      case '<':
        site += "&lt;";
        break;
      case '>':
        site += "&gt;";
        break;
      case '"':
        site += "&quot;";
        break;
      case '\'':
        site += "&#39;";
        break;
      default:
        site += *p;
    }
  }
  std::string page(data, size);
  const std::string mark = "@SITE@";
  for (size_t at = page.find(mark); at != std::string::npos; at = page.find(mark, at + site.size()))
    page.replace(at, mark.size(), site);
  return page;
}

gboolean OnTimeoutFlag(gpointer data) {
  *static_cast<bool*>(data) = true;
  return G_SOURCE_REMOVE;
}

}  // namespace

// The C callbacks of GTK and WebKit, with their exact signatures.
struct GtkHtmlViewGlue {
  static void OnSchemeRequest(WebKitURISchemeRequest* request, gpointer self) {
    static_cast<GtkHtmlView*>(self)->ServeRequest(request);
  }
  static gboolean OnButtonPress(GtkWidget*, GdkEventButton* event, gpointer data) {
    GtkHtmlView* self = static_cast<GtkHtmlView*>(data);
    if (event->type == GDK_BUTTON_PRESS) {
      self->pressButton_ = event->button;
      self->pressTime_ = event->time;
      self->pressX_ = static_cast<int>(event->x_root);
      self->pressY_ = static_cast<int>(event->y_root);
      self->pendingDrag_ = 0;
    }
    return FALSE;  // the page gets the press as well
  }
  static gboolean OnButtonRelease(GtkWidget*, GdkEventButton*, gpointer data) {
    // A drag asked for after the button went up would follow a released pointer.
    GtkHtmlView* self = static_cast<GtkHtmlView*>(data);
    self->pressButton_ = 0;
    self->pendingDrag_ = 0;
    return FALSE;
  }
  static gboolean OnMotion(GtkWidget*, GdkEventMotion* event, gpointer data) {
    GtkHtmlView* self = static_cast<GtkHtmlView*>(data);
    if (self->pendingDrag_ && self->pressButton_)
      self->BeginPendingDrag(static_cast<int>(event->x_root), static_cast<int>(event->y_root));
    return FALSE;
  }
  static void OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
    if (event == WEBKIT_LOAD_FINISHED) static_cast<GtkHtmlView*>(data)->PageLoaded();
  }
  static gboolean OnDropTime(gpointer data) {
    GtkHtmlView* self = static_cast<GtkHtmlView*>(data);
    self->dropSource_ = 0;
    if (!gtk_widget_get_visible(self->window_)) self->DropPage();
    return G_SOURCE_REMOVE;
  }
  static gboolean OnShowWaitOver(gpointer data) {
    GtkHtmlView* self = static_cast<GtkHtmlView*>(data);
    self->showWaitSource_ = 0;
    if (self->showWhenLoaded_) self->ShowNow();
    return G_SOURCE_REMOVE;
  }
  static void OnWebProcessTerminated(WebKitWebView* view, WebKitWebProcessTerminationReason reason, gpointer data) {
    // A page whose web process died is made again with its state, shown if the window is.
    GtkHtmlView* self = static_cast<GtkHtmlView*>(data);
    if (reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API || view != self->view_ || self->remakeSource_) return;
    self->remakeSource_ = g_idle_add(OnRemakePage, self);
  }
  static gboolean OnRemakePage(gpointer data) {
    GtkHtmlView* self = static_cast<GtkHtmlView*>(data);
    self->remakeSource_ = 0;
    if (!self->window_ || !self->view_) return G_SOURCE_REMOVE;
    bool visible = gtk_widget_get_visible(self->window_);
    self->DropPage();
    if (visible) {
      self->reloading_ = true;
      self->CreatePage();
    }
    return G_SOURCE_REMOVE;
  }
  static gboolean OnContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*, gpointer) {
    return TRUE;  // the page has no browser menu
  }
  static gboolean OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                 gpointer) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
      return FALSE;
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    // Only the program's own page is ever shown: a link or a dropped file must not replace it.
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION || !uri || std::strncmp(uri, "res:", 4) != 0) {
      webkit_policy_decision_ignore(decision);
      return TRUE;
    }
    return FALSE;
  }
  static gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer data) {
    // A close from the window manager hides, like the page's close mark; the
    // program ends only through a posted close request.
    static_cast<GtkHtmlView*>(data)->client_.CloseRequested();
    return TRUE;
  }
};

GtkHtmlView::GtkHtmlView(HtmlViewClient& client) : client_(client) { resources::RegisterResources(); }

GtkHtmlView::~GtkHtmlView() { Destroy(); }

std::unique_ptr<HtmlView> MakeHtmlView(HtmlViewClient& client) { return std::make_unique<GtkHtmlView>(client); }

std::string GtkHtmlView::ExternalScript() const {
  std::string ids = "{";
  for (const auto& item : client_.ExternalNames()) {
    if (ids.size() > 1) ids += ',';
    bridge::AppendJsonString(&ids, item.first);
    ids += ':';
    ids += std::to_string(item.second);
  }
  ids += '}';
  return "(function (ids) {\n" + ResourceText("/quorvanta/JS/external.js") + "\n})(" + ids + ");";
}

void GtkHtmlView::Create(const char* pageName, bool visible) {
  if (window_) return;
  pageName_ = pageName;
  char* program = g_file_read_link("/proc/self/exe", nullptr);
  programPath_ = program ? program : "/quorvanta";
  g_free(program);
  char* escaped = g_uri_escape_string(programPath_.c_str(), "/", FALSE);
  pageAddress_ = std::string("res://") + escaped + "/" + pageName_;
  g_free(escaped);

  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  g_object_ref_sink(window_);
  gtk_window_set_title(GTK_WINDOW(window_), "Quorvanta");
  gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
  gtk_window_set_keep_above(GTK_WINDOW(window_), TRUE);
  gtk_window_set_skip_taskbar_hint(GTK_WINDOW(window_), TRUE);
  gtk_window_set_skip_pager_hint(GTK_WINDOW(window_), TRUE);
  gtk_window_set_gravity(GTK_WINDOW(window_), GDK_GRAVITY_NORTH_WEST);
  // The page gives the window its size and place when it loads.
  gtk_window_set_default_size(GTK_WINDOW(window_), 1, 1);
  gtk_window_move(GTK_WINDOW(window_), 0, 0);
  g_signal_connect(window_, "delete-event", G_CALLBACK(GtkHtmlViewGlue::OnDelete), this);

  CreatePage();
  // A hidden window exists all the same, as the platform's window would.
  if (visible)
    gtk_widget_show(window_);
  else
    gtk_widget_realize(window_);
}

void GtkHtmlView::CreatePage() {
  // An ephemeral context: a static page needs no disk cache or stored data.
  context_ = webkit_web_context_new_ephemeral();
  webkit_web_context_set_cache_model(context_, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  webkit_web_context_register_uri_scheme(context_, "res", GtkHtmlViewGlue::OnSchemeRequest, this, nullptr);

  WebKitUserContentManager* content = webkit_user_content_manager_new();
  std::string shim = ExternalScript();
  WebKitUserScript* script = webkit_user_script_new(shim.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                    WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(content, script);
  webkit_user_script_unref(script);
  // The page's buttons ignore the rest of a double click that a state change put them under.
  gint doubleClickMs = 400;
  if (GtkSettings* gtkSettings = gtk_settings_get_default())
    g_object_get(gtkSettings, "gtk-double-click-time", &doubleClickMs, nullptr);
  char timing[96];
  std::snprintf(timing, sizeof timing, "window.qvDoubleClickTime = %d;", doubleClickMs);
  script = webkit_user_script_new(timing, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                  WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(content, script);
  webkit_user_script_unref(script);

  WebKitSettings* settings = webkit_settings_new_with_settings(
      "hardware-acceleration-policy", WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER, "enable-page-cache", FALSE,
      "enable-developer-extras", FALSE, "enable-back-forward-navigation-gestures", FALSE,
      "enable-write-console-messages-to-stdout", g_getenv("QUORVANTA_PAGE_CONSOLE") != nullptr, nullptr);
  view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_, "user-content-manager", content,
                                       "settings", settings, nullptr));
  g_object_unref(settings);
  g_object_unref(content);
  gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));

  g_signal_connect(view_, "button-press-event", G_CALLBACK(GtkHtmlViewGlue::OnButtonPress), this);
  g_signal_connect(view_, "button-release-event", G_CALLBACK(GtkHtmlViewGlue::OnButtonRelease), this);
  g_signal_connect(view_, "motion-notify-event", G_CALLBACK(GtkHtmlViewGlue::OnMotion), this);
  g_signal_connect(view_, "context-menu", G_CALLBACK(GtkHtmlViewGlue::OnContextMenu), this);
  g_signal_connect(view_, "decide-policy", G_CALLBACK(GtkHtmlViewGlue::OnDecidePolicy), this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(GtkHtmlViewGlue::OnLoadChanged), this);
  g_signal_connect(view_, "web-process-terminated", G_CALLBACK(GtkHtmlViewGlue::OnWebProcessTerminated), this);
  gtk_drag_dest_unset(GTK_WIDGET(view_));  // files dropped on the window do not replace the page

  pageLoaded_ = false;
  webkit_web_view_load_uri(view_, pageAddress_.c_str());
  gtk_widget_show(GTK_WIDGET(view_));
  gtk_widget_grab_focus(GTK_WIDGET(view_));
}

void GtkHtmlView::DropPage() {
  CancelPageDrop();
  if (view_) {
    // Destroying the only view ends its web process; the context's end ends the network process.
    gtk_widget_destroy(GTK_WIDGET(view_));
    view_ = nullptr;
  }
  ForgetContext();
  pressButton_ = 0;
  pendingDrag_ = 0;
  // What the page used is given back; the code it ran comes back from the page cache on Display.
  platform::ReleaseFreeMemory();
  platform::ReleaseCodePages();
}

void GtkHtmlView::SchedulePageDrop() {
  if (!view_ || !pageLoaded_ || dropSource_ || showWhenLoaded_) return;
  if (gtk_widget_get_visible(window_)) return;
  dropSource_ = g_timeout_add(pageDropDelayMs_, GtkHtmlViewGlue::OnDropTime, this);
}

void GtkHtmlView::CancelPageDrop() {
  if (dropSource_) g_source_remove(dropSource_);
  dropSource_ = 0;
}

void GtkHtmlView::PageLoaded() {
  pageLoaded_ = true;
  if (reloading_) {
    reloading_ = false;
    // A page made again is sized and placed already; it gets the state it missed before it is seen.
    client_.ReplayPageState();
    if (showWhenLoaded_) ShowNow();
  }
  SchedulePageDrop();
  client_.PageReady();
}

void GtkHtmlView::Destroy() {
  CancelPageDrop();
  if (remakeSource_) g_source_remove(remakeSource_);
  remakeSource_ = 0;
  if (showWaitSource_) g_source_remove(showWaitSource_);
  showWaitSource_ = 0;
  showWhenLoaded_ = false;
  if (window_) {
    gtk_widget_destroy(window_);
    g_object_unref(window_);
    window_ = nullptr;
    view_ = nullptr;
  }
  ForgetContext();
}

void GtkHtmlView::ForgetContext() {
  if (context_) {
    g_object_unref(context_);
    context_ = nullptr;
  }
  pageLoaded_ = false;
  reloading_ = false;
}

void GtkHtmlView::ServeRequest(WebKitURISchemeRequest* request) {
  const char* rawPath = webkit_uri_scheme_request_get_path(request);
  if (rawPath && std::strcmp(rawPath, resources::kExternalPath) == 0) {
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    const char* query = std::strchr(uri, '?');
    bridge::ScriptCall call;
    int32_t status = bridge::kInvalidArgument;
    std::string result;
    bool isText = false;
    std::vector<bridge::PageCall> calls;
    if (query && bridge::DecodeCall(query + 1, &call)) {
      ++scriptCallDepth_;
      status = client_.ScriptCall(call.identifier, call.args, &result, &isText);
      --scriptCallDepth_;
      calls.swap(carriedCalls_);
    }
    std::string reply = bridge::EncodeReply(status, isText, result.c_str(), calls);
    FinishWithBytes(request, reply.data(), reply.size(), "application/json", true);
    return;
  }
  char* path = rawPath ? g_uri_unescape_string(rawPath, nullptr) : nullptr;
  const resources::Resource* resource = nullptr;
  if (path && std::strncmp(path, programPath_.c_str(), programPath_.size()) == 0 && path[programPath_.size()] == '/')
    resource = resources::FindResource(path + programPath_.size());
  g_free(path);
  size_t size = 0;
  const void* data = resource ? resources::ResourceData(*resource, &size) : nullptr;
  if (!data) {
    GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "no such resource");
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
    return;
  }
  if (std::strcmp(resource->type, "23") == 0) {
    // The page names the vendor's site, which the environment may move.
    std::string page = SubstituteSite(static_cast<const char*>(data), size);
    FinishWithBytes(request, page.data(), page.size(), resource->mime, true);
    return;
  }
  FinishWithBytes(request, data, size, resource->mime, false);
}

void GtkHtmlView::CallFunction(const bridge::PageCall& call, PageCallDone done) {
  if (scriptCallDepth_ > 0) {
    // The page is inside its call into `external`: the call goes back with the reply.
    carriedCalls_.push_back(call);
    if (done) done(bridge::kOk);
    return;
  }
  if (!view_ && !window_) {
    if (done) done(kFailed);
    return;
  }
  if (!view_ || (reloading_ && !pageLoaded_)) {
    // No page to run it now: it runs when the page is made again, before it is seen.
    if (done) done(bridge::kOk);
    return;
  }
  SendPageCall(call, std::move(done));
}

void GtkHtmlView::SendPageCall(const bridge::PageCall& call, PageCallDone done) {
  GVariantBuilder list;
  g_variant_builder_init(&list, G_VARIANT_TYPE("a{sv}"));
  for (size_t i = 0; i < call.args.size(); ++i) {
    char key[16];
    g_snprintf(key, sizeof key, "%u", static_cast<unsigned>(i));
    g_variant_builder_add(&list, "{sv}", key, g_variant_new_string(call.args[i].c_str()));
  }
  GVariantBuilder params;
  g_variant_builder_init(&params, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&params, "{sv}", "number", g_variant_new_uint32(call.number));
  g_variant_builder_add(&params, "{sv}", "name", g_variant_new_string(call.name.c_str()));
  g_variant_builder_add(&params, "{sv}", "count", g_variant_new_int32(static_cast<int32_t>(call.args.size())));
  g_variant_builder_add(&params, "{sv}", "args", g_variant_builder_end(&list));
  webkit_web_view_call_async_javascript_function(view_, kPageCallBody, -1, g_variant_builder_end(&params), nullptr,
                                                 nullptr, nullptr, OnPageCallFinished,
                                                 new PageCallState{std::move(done)});
}

bool GtkHtmlView::EvaluateScript(const char* script, std::string* result, int timeoutMs) {
  if (!view_) return false;
  EvaluateState* state = new EvaluateState();
  webkit_web_view_evaluate_javascript(view_, script, -1, nullptr, nullptr, nullptr, OnEvaluated, state);
  bool timedOut = false;
  guint timer = g_timeout_add(static_cast<guint>(timeoutMs), OnTimeoutFlag, &timedOut);
  while (!state->finished && !timedOut) g_main_context_iteration(nullptr, TRUE);
  if (!timedOut) g_source_remove(timer);
  bool ok = state->finished && state->ok;
  if (result) *result = state->text;
  if (state->finished) delete state;  // else the late callback still needs it: left to leak
  return ok;
}

void GtkHtmlView::Display() {
  if (!window_) return;
  CancelPageDrop();
  if (!view_) {
    reloading_ = true;
    CreatePage();
  }
  if (reloading_ && !pageLoaded_) {
    // Shown once the page is back with its state; a page that does not load is shown all the same.
    showWhenLoaded_ = true;
    if (!showWaitSource_) showWaitSource_ = g_timeout_add(kPageWaitMs, GtkHtmlViewGlue::OnShowWaitOver, this);
    return;
  }
  ShowNow();
}

void GtkHtmlView::ShowNow() {
  showWhenLoaded_ = false;
  if (showWaitSource_) g_source_remove(showWaitSource_);
  showWaitSource_ = 0;
  if (havePlace_) gtk_window_move(GTK_WINDOW(window_), placeX_, placeY_);
  gtk_window_present(GTK_WINDOW(window_));
}

void GtkHtmlView::Hide() {
  if (!window_) return;
  if (showWhenLoaded_) {
    showWhenLoaded_ = false;
    if (showWaitSource_) g_source_remove(showWaitSource_);
    showWaitSource_ = 0;
  }
  if (gtk_widget_get_visible(window_)) {
    gtk_window_get_position(GTK_WINDOW(window_), &placeX_, &placeY_);
    havePlace_ = true;
  }
  gtk_widget_hide(window_);
  SchedulePageDrop();
}

void GtkHtmlView::Fit() {
  // The view fills the window through GTK's layout; a new size only needs a new allocation.
  if (view_) gtk_widget_queue_resize(GTK_WIDGET(view_));
}

bool GtkHtmlView::WorkArea(ViewRect* out) {
  if (!window_) return false;
  GdkDisplay* display = gtk_widget_get_display(window_);
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (!monitor) monitor = gdk_display_get_monitor(display, 0);
  if (!monitor) return false;
  GdkRectangle area;
  gdk_monitor_get_workarea(monitor, &area);
  *out = ViewRect{area.x, area.y, area.width, area.height};
  return true;
}

void GtkHtmlView::Place(const ViewRect& rect) {
  if (!window_) return;
  placeX_ = rect.x;
  placeY_ = rect.y;
  havePlace_ = true;
  gtk_window_move(GTK_WINDOW(window_), rect.x, rect.y);
  gtk_window_resize(GTK_WINDOW(window_), rect.width, rect.height);
}

void GtkHtmlView::SetTitle(const std::string& title) {
  if (window_) gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
}

void GtkHtmlView::StartDrag(int hitTest) {
  // Moving or sizing begins once the held button has moved the pointer a
  // little, so a plain click (on the close mark, say) still reaches the page.
  if (!window_ || pressButton_ == 0) return;
  if (hitTest != 2 && (hitTest < 10 || hitTest > 17)) return;  // HTBORDER and the rest size nothing
  pendingDrag_ = hitTest;
}

void GtkHtmlView::BeginPendingDrag(int rootX, int rootY) {
  int threshold = 8;
  g_object_get(gtk_widget_get_settings(window_), "gtk-dnd-drag-threshold", &threshold, nullptr);
  if (std::abs(rootX - pressX_) < threshold && std::abs(rootY - pressY_) < threshold) return;
  int hitTest = pendingDrag_;
  pendingDrag_ = 0;
  GtkWindow* window = GTK_WINDOW(window_);
  if (hitTest == 2) {  // the caption
    gtk_window_begin_move_drag(window, static_cast<gint>(pressButton_), pressX_, pressY_, pressTime_);
    return;
  }
  static const GdkWindowEdge kEdges[] = {GDK_WINDOW_EDGE_WEST,       GDK_WINDOW_EDGE_EAST,       GDK_WINDOW_EDGE_NORTH,
                                         GDK_WINDOW_EDGE_NORTH_WEST, GDK_WINDOW_EDGE_NORTH_EAST, GDK_WINDOW_EDGE_SOUTH,
                                         GDK_WINDOW_EDGE_SOUTH_WEST, GDK_WINDOW_EDGE_SOUTH_EAST};
  gtk_window_begin_resize_drag(window, kEdges[hitTest - 10], static_cast<gint>(pressButton_), pressX_, pressY_,
                               pressTime_);
}

void GtkHtmlView::Minimize() {
  if (!window_) return;
  gtk_widget_show(window_);
  gtk_window_iconify(GTK_WINDOW(window_));
}

bool GtkHtmlView::Visible() const {
  if (!window_ || !gtk_widget_get_visible(window_)) return false;
  GdkWindow* native = gtk_widget_get_window(window_);
  return !native || (gdk_window_get_state(native) & GDK_WINDOW_STATE_ICONIFIED) == 0;
}

void GtkHtmlView::SetMaximized(bool maximized) {
  if (!window_) return;
  if (maximized)
    gtk_window_maximize(GTK_WINDOW(window_));
  else
    gtk_window_unmaximize(GTK_WINDOW(window_));
  gtk_widget_show(window_);
}

void GtkHtmlView::SetAlpha(int alpha) {
  if (window_) gtk_widget_set_opacity(window_, alpha / 255.0);
}
