#include "upload.h"

#include <windows.h>
#include <wininet.h>

#include <cstdio>

#include "paths.h"
#include "report_files.h"

namespace sender {

namespace {

struct Internet {
  HINTERNET handle = nullptr;
  ~Internet() {
    if (handle) InternetCloseHandle(handle);
  }
};

std::string Part(const std::string& boundary, const std::string& name, const std::string* fileName) {
  std::string head = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"";
  if (fileName) head += "; filename=\"" + *fileName + "\"\r\nContent-Type: application/octet-stream";
  return head + "\r\n\r\n";
}

}  // namespace

bool UploadReport(const std::string& url, const std::string& folder, const std::vector<std::string>& files,
                  const std::vector<std::pair<std::string, std::string>>& fields, std::string* error,
                  const UploadLimits& limits, long* httpStatus) {
  if (httpStatus) *httpStatus = 0;
  if (url.empty()) {
    *error = "no upload address";
    return false;
  }
  // The address comes from the crashed process: plain web addresses only.
  char host[256] = {}, path[2048] = {};
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = sizeof host;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = sizeof path;
  if (!InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) || !host[0]) {
    *error = "the upload address is not an http or https address";
    return false;
  }
  // Names and texts are ours or checked names of the report folder; no boundary in them can matter
  // since the boundary is a fresh random text.
  char boundary[64];
  std::snprintf(boundary, sizeof boundary, "----QuorvantaReport%08lx%08lx", GetTickCount(), GetCurrentProcessId());
  std::string body;
  for (const auto& field : fields) body += Part(boundary, field.first, nullptr) + field.second + "\r\n";
  for (const std::string& name : files) {
    std::string content;
    if (!ReadSmallFile(folder + kPathSeparator + name, static_cast<size_t>(kMaxCopiedFile), &content)) continue;
    body += Part(boundary, name, &name) + content + "\r\n";
  }
  body += std::string("--") + boundary + "--\r\n";

  Internet session, connection, request;
  session.handle = InternetOpenA("CrashSender1402", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!session.handle) {
    *error = "cannot start the HTTP library";
    return false;
  }
  DWORD connectMs = static_cast<DWORD>(limits.connectMs), totalMs = static_cast<DWORD>(limits.totalMs);
  InternetSetOptionA(session.handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
  InternetSetOptionA(session.handle, INTERNET_OPTION_SEND_TIMEOUT, &totalMs, sizeof totalMs);
  InternetSetOptionA(session.handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &totalMs, sizeof totalMs);
  connection.handle =
      InternetConnectA(session.handle, host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                      INTERNET_FLAG_NO_UI | (parts.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0);
  if (connection.handle)
    request.handle =
        HttpOpenRequestA(connection.handle, "POST", path[0] ? path : "/", nullptr, nullptr, nullptr, flags, 0);
  if (!request.handle) {
    *error = "cannot reach " + std::string(host) + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  const std::string headers = std::string("Content-Type: multipart/form-data; boundary=") + boundary + "\r\n";
  if (!HttpSendRequestA(request.handle, headers.c_str(), static_cast<DWORD>(headers.size()), body.data(),
                        static_cast<DWORD>(body.size()))) {
    *error = "the report could not be sent to " + std::string(host) + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  DWORD status = 0, size = sizeof status;
  HttpQueryInfoA(request.handle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
  if (httpStatus) *httpStatus = static_cast<long>(status);
  if (status < 200 || status > 299) {
    *error = "the server answered " + std::to_string(status);
    return false;
  }
  return true;
}

}  // namespace sender
