#include "upload.h"

#include <curl/curl.h>

namespace sender {

namespace {

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

}  // namespace

bool UploadReport(const std::string& url, const std::string& folder, const std::vector<std::string>& files,
                  const std::vector<std::pair<std::string, std::string>>& fields, std::string* error,
                  const UploadLimits& limits, long* httpStatus) {
  if (httpStatus) *httpStatus = 0;
  if (url.empty()) {
    *error = "no upload address";
    return false;
  }
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    *error = "cannot start the HTTP library";
    return false;
  }
  CURL* curl = curl_easy_init();
  if (!curl) {
    *error = "cannot start the HTTP library";
    return false;
  }
  curl_mime* mime = curl_mime_init(curl);
  for (const auto& field : fields) {
    curl_mimepart* part = curl_mime_addpart(mime);
    curl_mime_name(part, field.first.c_str());
    curl_mime_data(part, field.second.c_str(), CURL_ZERO_TERMINATED);
  }
  for (const std::string& name : files) {
    curl_mimepart* part = curl_mime_addpart(mime);
    curl_mime_name(part, name.c_str());
    curl_mime_filedata(part, (folder + "/" + name).c_str());
    curl_mime_filename(part, name.c_str());
  }
  char message[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  // The address comes from the crashed process: plain web addresses only, here and after redirects.
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, limits.connectMs);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, limits.totalMs);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "CrashSender1402");
  const CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (httpStatus) *httpStatus = status;
  bool ok = false;
  if (code != CURLE_OK) {
    *error = message[0] ? message : curl_easy_strerror(code);
  } else if (status < 200 || status > 299) {
    *error = "the server answered " + std::to_string(status);
  } else {
    ok = true;
  }
  curl_easy_cleanup(curl);
  curl_mime_free(mime);
  return ok;
}

}  // namespace sender
