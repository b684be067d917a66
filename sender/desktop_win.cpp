// The sender's windows on Windows: task dialogs ("<app> has stopped working"
// with Send report and Close; the queued reports with Send report, Later and
// Delete), a box for a failed send, and the screen as PNG through GDI and WIC.
#include "desktop.h"

#include <windows.h>
#include <commctrl.h>
#include <wincodec.h>

#include <string>
#include "platform/text_win.h"

namespace sender {

namespace {

constexpr int kSend = 100, kClose = 101, kLater = 102, kDelete = 103;

// A task dialog with the given buttons; the button chosen, or cancel when the
// dialog could not be shown or was closed.
int AskWith(const std::string& title, const std::string& heading, const std::string& text, const std::string& details,
            const TASKDIALOG_BUTTON* buttons, UINT count, int cancel) {
  const std::wstring wideTitle = platform::WideFromUtf8(title), wideHeading = platform::WideFromUtf8(heading),
                     wideText = platform::WideFromUtf8(text), wideDetails = platform::WideFromUtf8(details);
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof config;
  config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_EXPAND_FOOTER_AREA;
  config.pszWindowTitle = wideTitle.c_str();
  config.pszMainIcon = TD_ERROR_ICON;
  config.pszMainInstruction = wideHeading.c_str();
  config.pszContent = wideText.c_str();
  if (!details.empty()) config.pszExpandedInformation = wideDetails.c_str();
  config.pButtons = buttons;
  config.cButtons = count;
  config.nDefaultButton = buttons[0].nButtonID;
  int chosen = cancel;
  if (FAILED(TaskDialogIndirect(&config, &chosen, nullptr, nullptr))) return cancel;
  return chosen == IDCANCEL ? cancel : chosen;
}

}  // namespace

// A program started on the user's desktop always has one to show windows on.
bool OpenDisplay() {
  HDESK desktop = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
  if (!desktop) return false;
  CloseDesktop(desktop);
  return true;
}

DialogChoice ShowCrashDialog(const DialogTexts& texts, const std::string& app, const std::string& folder,
                             const std::string& reportText, bool canSend) {
  const std::string caption = FormatCaption(texts.caption, app);
  const std::wstring send = platform::WideFromUtf8(texts.sendReport);
  const std::wstring close = platform::WideFromUtf8(texts.close);
  TASKDIALOG_BUTTON both[] = {{kSend, send.c_str()}, {kClose, close.c_str()}};
  const int chosen = AskWith(caption, caption, "The report is in " + folder + ".", reportText,
                             canSend ? both : both + 1, canSend ? 2 : 1, kClose);
  return chosen == kSend ? DialogChoice::Send : DialogChoice::Close;
}

QueuedChoice OfferQueuedReports(const DialogTexts& texts, const std::string& app,
                                const std::vector<std::string>& reports) {
  std::string list;
  for (const std::string& report : reports) list += report + "\n";
  const std::wstring send = platform::WideFromUtf8(texts.sendReport);
  const std::wstring later = platform::WideFromUtf8(texts.later);
  const std::wstring remove = platform::WideFromUtf8(texts.deleteReports);
  TASKDIALOG_BUTTON buttons[] = {{kSend, send.c_str()}, {kLater, later.c_str()}, {kDelete, remove.c_str()}};
  const int chosen = AskWith(app, std::to_string(reports.size()) + " error reports of " + app + " were not sent.",
                             "Send them now?", list, buttons, 3, kLater);
  return chosen == kSend ? QueuedChoice::Send : chosen == kDelete ? QueuedChoice::Delete : QueuedChoice::Later;
}

void ShowSendFailure(const std::string& app, const std::string& text) {
  MessageBoxW(nullptr, platform::WideFromUtf8(text).c_str(), platform::WideFromUtf8(app).c_str(),
              MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
}

bool TakeScreenshot(std::string* png) {
  const int left = GetSystemMetrics(SM_XVIRTUALSCREEN), top = GetSystemMetrics(SM_YVIRTUALSCREEN);
  const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN), height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  if (width <= 0 || height <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* pixels = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
  bool ok = false;
  if (bitmap && memory) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    ok = BitBlt(memory, 0, 0, width, height, screen, left, top, SRCCOPY | CAPTUREBLT) != FALSE;
    SelectObject(memory, old);
  }
  if (memory) DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  const bool comReady = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  IWICImagingFactory* factory = nullptr;
  IStream* stream = nullptr;
  IWICBitmapEncoder* encoder = nullptr;
  IWICBitmapFrameEncode* frame = nullptr;
  ok = ok &&
       SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                  reinterpret_cast<void**>(&factory))) &&
       SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)) &&
       SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
       SUCCEEDED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) &&
       SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) && SUCCEEDED(frame->Initialize(nullptr)) &&
       SUCCEEDED(frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height)));
  if (ok) {
    WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGR;
    ok = SUCCEEDED(frame->SetPixelFormat(&format)) && IsEqualGUID(format, GUID_WICPixelFormat32bppBGR) &&
         SUCCEEDED(frame->WritePixels(static_cast<UINT>(height), static_cast<UINT>(width) * 4,
                                      static_cast<UINT>(width) * 4 * static_cast<UINT>(height),
                                      static_cast<BYTE*>(pixels))) &&
         SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
  }
  if (ok) {
    HGLOBAL global = nullptr;
    ok = SUCCEEDED(GetHGlobalFromStream(stream, &global));
    STATSTG stat{};
    ok = ok && SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME));
    if (ok) {
      const void* data = GlobalLock(global);
      png->assign(static_cast<const char*>(data), static_cast<size_t>(stat.cbSize.QuadPart));
      GlobalUnlock(global);
    }
  }
  if (frame) frame->Release();
  if (encoder) encoder->Release();
  if (stream) stream->Release();
  if (factory) factory->Release();
  if (comReady) CoUninitialize();
  if (bitmap) DeleteObject(bitmap);
  return ok;
}

}  // namespace sender
