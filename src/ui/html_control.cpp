#include "ui/html_control.h"

#include "platform/opener.h"
#include "platform/ui_loop.h"
#include "platform/ui_timer.h"

HtmlControl::HtmlControl(const char* pageName) : pageName_(pageName), view_(MakeHtmlView(*this)) {
  RegisterExternal("Show", &HtmlControl::Show);
  RegisterExternal("Hide", &HtmlControl::HideMethod);
  RegisterExternal("Close", &HtmlControl::Close);
  RegisterExternal("SetTitle", &HtmlControl::SetTitle);
  RegisterExternal("DragWindow", &HtmlControl::DragWindow);
  RegisterExternal("ResizeWindow", &HtmlControl::ResizeWindow);
  RegisterExternal("MinimizeWindow", &HtmlControl::MinimizeWindow);
  RegisterExternal("ToggleMaximizeNormalWindow", &HtmlControl::ToggleMaximizeNormalWindow);
  RegisterExternal("SetOpacity", &HtmlControl::SetOpacity);
  RegisterExternal("OpenLink", &HtmlControl::OpenLink);
}

HtmlControl::~HtmlControl() {
  DestroyWindow();
  view_.reset();
  externalTable_.clear();
}

bool HtmlControl::HandleMessage(const platform::Message&) { return false; }

int32_t HtmlControl::RegisterExternal(const char* name, RawHandler handler) {
  int32_t id = bridge::kFirstIdentifier + static_cast<int32_t>(externalTable_.size());
  externalTable_.emplace(name, ExternalEntry{id, handler, nullptr, Raw});
  return id;
}

int32_t HtmlControl::RegisterExternal(const char* name, TextHandler handler) {
  int32_t id = bridge::kFirstIdentifier + static_cast<int32_t>(externalTable_.size());
  externalTable_.emplace(name, ExternalEntry{id, nullptr, handler, Text});
  return id;
}

bool HtmlControl::GetIDsOfNames(const char* name, int32_t* identifier) const {
  auto it = externalTable_.find(name);
  if (it == externalTable_.end()) return false;
  *identifier = it->second.identifier;
  return true;
}

int32_t HtmlControl::Invoke(int32_t identifier, const std::vector<bridge::ScriptArg>& args, std::string* result,
                            bool* isText) {
  *isText = false;
  if (identifier < bridge::kFirstIdentifier) return bridge::kNotImplemented;
  const ExternalEntry* entry = nullptr;
  for (const auto& item : externalTable_) {
    if (item.second.identifier == identifier) {
      entry = &item.second;
      break;
    }
  }
  if (!entry) return bridge::kNotImplemented;
  const int count = static_cast<int>(args.size());
  if (entry->kind == Raw) {
    (this->*entry->raw)(count, args.data());
    return bridge::kOk;
  }
  *isText = true;
  if (count > bridge::kMaxTextArguments) return bridge::kInvalidArgument;
  std::string slots[bridge::kMaxTextArguments];
  const char* pointers[bridge::kMaxTextArguments];
  for (int i = 0; i < bridge::kMaxTextArguments; ++i) {
    if (i < count && args[i].type == bridge::ScriptArg::String) slots[i] = bridge::Narrow(args[i].text);
    pointers[i] = slots[i].c_str();
  }
  const char* returned = (this->*entry->text)(count, pointers);
  if (result) *result = returned ? returned : "";
  return bridge::kOk;
}

bool HtmlControl::LookUpName(const char* name, int32_t* identifier) const { return GetIDsOfNames(name, identifier); }

int32_t HtmlControl::ScriptCall(int32_t identifier, const std::vector<bridge::ScriptArg>& args, std::string* result,
                                bool* isText) {
  return Invoke(identifier, args, result, isText);
}

std::vector<std::pair<std::string, int32_t>> HtmlControl::ExternalNames() const {
  std::vector<std::pair<std::string, int32_t>> names;
  for (const auto& item : externalTable_) names.emplace_back(item.first, item.second.identifier);
  return names;
}

void HtmlControl::WindowMessage(const platform::Message& message) { HandleMessage(message); }

void HtmlControl::MakeWindow(bool visible) {
  if (!view_->Exists()) view_->Create(pageName_.c_str(), visible);
}

void HtmlControl::DestroyWindow() { view_->Destroy(); }

int HtmlControl::RunWindow(bool visible) {
  MakeWindow(visible);
  int code = RunMessageLoop();
  DestroyWindow();
  return code;
}

int HtmlControl::RunMessageLoop() {
  closed_ = false;
  closeCode_ = 0;
  if (!pageReady_)
    pageWaitTimer_ = platform::StartUiTimer(kPageWaitMs, [this] {
      pageWaitTimer_ = 0;
      PageReady();
    });
  platform::SetUiKeyWindow(view_->NativeWindow());
  const intptr_t last = platform::RunUiLoop(
      +[](const platform::Message& message, void* self) { static_cast<HtmlControl*>(self)->Receive(message); }, this);
  platform::SetUiKeyWindow(nullptr);
  platform::CancelUiTimer(pageWaitTimer_);
  pageWaitTimer_ = 0;
  GiveBackHeldMessages();
  // Ended by a close request: its code; by the system's quit message: the quit code.
  return closed_ ? closeCode_ : static_cast<int>(last);
}

// Messages the loop took but never handled go back to the queue ahead of
// those posted since, as if the loop had not taken them.
void HtmlControl::GiveBackHeldMessages() {
  if (held_.empty()) return;
  std::vector<platform::Message> rest;
  rest.swap(held_);
  platform::Message message;
  while (platform::UiQueue().TryTake(&message)) rest.push_back(message);
  for (const platform::Message& m : rest) platform::UiQueue().Post(m.id, m.wParam, m.lParam);
}

void HtmlControl::Receive(const platform::Message& message) {
  if (!pageReady_ || closed_) {
    held_.push_back(message);
    return;
  }
  if (message.id == msg::Close) {
    // Ends the loop here; the window's handlers never see the request.
    closed_ = true;
    closeCode_ = static_cast<int>(static_cast<intptr_t>(message.wParam));
    platform::QuitUiLoop();
    return;
  }
  HandleMessage(message);
}

void HtmlControl::PageReady() {
  pageReady_ = true;
  platform::CancelUiTimer(pageWaitTimer_);
  pageWaitTimer_ = 0;
  std::vector<platform::Message> held;
  held.swap(held_);
  for (size_t i = 0; i < held.size(); ++i) {
    if (closed_) {
      held_.insert(held_.end(), held.begin() + static_cast<long>(i), held.end());
      break;
    }
    Receive(held[i]);
  }
}

void HtmlControl::PostClose(intptr_t code) { platform::UiQueue().Post(msg::Close, static_cast<uintptr_t>(code), 0); }

void HtmlControl::CallPageFunction(const char* name, const char* const* args, int count, PageCallDone done) {
  bridge::PageCall call;
  call.number = ++pageCallNumber_;
  call.name = bridge::Latin1ToUtf8(name);
  for (int i = 0; i < count; ++i) call.args.push_back(bridge::Latin1ToUtf8(args[i]));
  RememberPageCall(call);
  view_->CallFunction(call, std::move(done));
}

void HtmlControl::RememberPageCall(const bridge::PageCall& call) {
  for (auto it = pageState_.begin(); it != pageState_.end(); ++it) {
    if (it->name == call.name) {
      pageState_.erase(it);
      break;
    }
  }
  pageState_.push_back(call);
}

void HtmlControl::ReplayPageState() {
  for (const bridge::PageCall& call : pageState_) view_->CallFunction(call, nullptr);
}

void HtmlControl::Display() { view_->Display(); }

void HtmlControl::Hide() { view_->Hide(); }

void HtmlControl::FitBrowser() { view_->Fit(); }

void HtmlControl::Show(int count, const bridge::ScriptArg* args) {
  if (count < 2 || !view_->Exists()) return;
  // A page made again must not undo a place or size the user has given the window.
  if (view_->RemakingPage()) return;
  const int width = args[0].AsInt();
  const int height = args[1].AsInt();
  if (width < 1 || height < 1) return;
  ViewRect area;
  if (!view_->WorkArea(&area)) return;
  // The window's bottom-right corner on the work area's.
  view_->Place(ViewRect{area.x + area.width - width, area.y + area.height - height, width, height});
  FitBrowser();
}

void HtmlControl::HideMethod(int, const bridge::ScriptArg*) { Hide(); }

void HtmlControl::Close(int count, const bridge::ScriptArg* args) { PostClose(count == 1 ? args[0].AsInt() : -1); }

void HtmlControl::SetTitle(int count, const bridge::ScriptArg* args) {
  if (count < 1 || !view_->Exists()) return;
  view_->SetTitle(args[0].type == bridge::ScriptArg::Number ? std::to_string(args[0].AsInt()) : args[0].AsUtf8());
}

void HtmlControl::DragWindow(int, const bridge::ScriptArg*) { view_->StartDrag(2); }

void HtmlControl::ResizeWindow(int count, const bridge::ScriptArg* args) {
  view_->StartDrag(count == 1 ? args[0].AsInt() : 17);
}

void HtmlControl::MinimizeWindow(int, const bridge::ScriptArg*) {
  if (view_->Exists()) view_->Minimize();
}

void HtmlControl::ToggleMaximizeNormalWindow(int, const bridge::ScriptArg*) {
  if (!view_->Exists()) return;
  view_->SetMaximized(!isMaximized_);
  isMaximized_ = !isMaximized_;
  FitBrowser();
}

void HtmlControl::SetOpacity(int count, const bridge::ScriptArg* args) {
  if (!view_->Exists()) return;
  long long percent = count == 1 ? args[0].AsInt() : 100;
  long long alpha = percent * 255 / 100;
  // The platform keeps one byte of alpha; out-of-range percentages are held to it.
  if (alpha < 0) alpha = 0;
  if (alpha > 255) alpha = 255;
  alpha_ = static_cast<int>(alpha);
  view_->SetAlpha(alpha_);
}

void HtmlControl::OpenLink(int count, const bridge::ScriptArg* args) {
  if (count < 1) return;
  platform::OpenUrl(args[0].AsUtf8().c_str());
}
