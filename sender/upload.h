#pragma once
// Sends a report folder to the upload address as one multipart HTTP POST.
#include <string>
#include <utility>
#include <vector>

namespace sender {

struct UploadLimits {
  long connectMs = 15000;
  long totalMs = 120000;
};

// Every file of the folder is one part named after the file, after the text
// fields. Success needs a 2xx answer; anything else leaves *error set, and
// *httpStatus (when given) the server's answer, 0 when none came.
bool UploadReport(const std::string& url, const std::string& folder, const std::vector<std::string>& files,
                  const std::vector<std::pair<std::string, std::string>>& fields, std::string* error,
                  const UploadLimits& limits = {}, long* httpStatus = nullptr);

}  // namespace sender
