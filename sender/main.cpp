// CrashSender1402: started by a crashing front end on its shared block
// ("<path>" "<block name>"). Writes the report folder while the process
// waits, releases the process through its event, then offers the report.
//
// Sending needs the user's consent: on a display the dialog asks; without one
// nothing is sent unless QUORVANTA_CRASH_SEND=1 gives consent beforehand.
// QUORVANTA_CRASH_SEND=0 keeps every report and asks nothing. With the
// store-archives flag a report is also kept as "<report folder>.zip".
//
// Exit codes: 0 the report is written (and sent if chosen), 1 the block or the
// folder is unusable, 2 wrong command line, 3 sending failed (report kept).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "backtrace.h"
#include "block_source.h"
#include "crash_block.h"
#include "desktop.h"
#include "language.h"
#include "paths.h"
#include "platform/named_event.h"
#include "parent_process.h"
#include "registry_dump.h"
#include "report.h"
#include "report_files.h"
#include "upload.h"

namespace {

using namespace sender;

enum class Consent { Ask, Given, Refused };

Consent ConsentFromEnvironment() {
  const char* value = std::getenv("QUORVANTA_CRASH_SEND");
  if (!value) return Consent::Ask;
  if (std::strcmp(value, "1") == 0) return Consent::Given;
  if (std::strcmp(value, "0") == 0) return Consent::Refused;
  return Consent::Ask;
}

// The dialog's texts from the language file the front end ships beside the sender.
DialogTexts Texts(const CrashBlock& block) {
  std::string text;
  if (block.languageFile.empty() || !ReadSmallFile(block.languageFile, 65536, &text)) return {};
  return ParseLanguageFile(text);
}

std::string EventName(const CrashBlock& block) { return "Local\\CrashReportEvent_" + block.crashGuid; }

// Lets the waiting process go on; after this the block and the process are not needed.
void Release(const CrashBlock& block) {
  if (!LooksLikeGuid(block.crashGuid)) return;
  auto event = platform::NamedEvent::Open(EventName(block).c_str());
  if (event) event->Set();
}

bool ReadBlock(const char* name, CrashBlock* block) {
  std::vector<unsigned char> bytes;
  std::string error;
  if (!CopyCrashBlock(name, &bytes, &error)) {
    std::fprintf(stderr, "CrashSender1402: %s: %s\n", name, error.c_str());
    return false;
  }
  if (!ParseCrashBlock(bytes.data(), bytes.size(), block, &error)) {
    std::fprintf(stderr, "CrashSender1402: %s is not a usable crash description: %s\n", name, error.c_str());
    return false;
  }
  return true;
}

// Sends one report folder; a sent one leaves the unsent reports, and so does
// one the server refused (a 4xx answer), which would be refused again. false
// with *failure set when it was not sent.
bool Send(const CrashBlock& block, const std::string& folder, std::string* failure) {
  std::string error;
  const std::vector<std::pair<std::string, std::string>> fields = {
      {"crashGuid", folder.substr(folder.find_last_of(kPathSeparator) + 1)},
      {"appName", block.appName},
      {"appVersion", block.appVersion},
  };
  long status = 0;
  if (!UploadReport(block.uploadUrl, folder, FilesOf(folder), fields, &error, {}, &status)) {
    std::string kept = folder;
    if (status >= 400 && status < 500) {
      std::string moveError;
      if (MoveFolder(folder, RefusedFolder(folder), &moveError)) kept = RefusedFolder(folder);
    }
    *failure = "The report was not sent (" + error + "). It is kept in " + kept + ".";
    std::fprintf(stderr, "CrashSender1402: the report was not sent (%s); it is kept in %s\n", error.c_str(),
                 kept.c_str());
    return false;
  }
  const std::string sent = SentFolder(folder);
  if (!MoveFolder(folder, sent, &error)) {
    std::fprintf(stderr, "CrashSender1402: the report was sent but stays in %s: %s\n", folder.c_str(), error.c_str());
    return true;
  }
  std::printf("sent %s\n", sent.c_str());
  return true;
}

int QueuedReports(const CrashBlock& block) {
  std::vector<std::string> reports = ListReports(AppFolder(block));
  // Earlier versions named the application a second time below the save directory.
  for (const std::string& old :
       ListReports(AppFolder(block) + kPathSeparator + SanitizeFolderName(block.appName + "_" + block.appVersion))) {
    reports.push_back(old);
  }
  for (const std::string& report : reports) std::printf("%s\n", report.c_str());
  std::fflush(stdout);
  // The front end starts this at every start: with nothing queued, nothing is shown.
  if (reports.empty() || (block.flags & kFlagDontSend)) return 0;
  const Consent consent = ConsentFromEnvironment();
  QueuedChoice choice = consent == Consent::Given ? QueuedChoice::Send : QueuedChoice::Later;
  if (consent == Consent::Ask && (block.flags & kFlagOfferQueued)) {
    choice = OfferQueuedReports(Texts(block), block.appName, reports);
  }
  if (choice == QueuedChoice::Delete) {
    bool all = true;
    for (const std::string& report : reports) {
      std::string error;
      if (!RemoveFolder(report, &error)) {
        std::fprintf(stderr, "CrashSender1402: cannot delete %s: %s\n", report.c_str(), error.c_str());
        all = false;
      }
    }
    return all ? 0 : 3;
  }
  if (choice != QueuedChoice::Send) return 0;
  bool all = true;
  std::string failures;
  for (const std::string& report : reports) {
    std::string failure;
    if (!Send(block, report, &failure)) {
      all = false;
      failures += failure + "\n";
    }
  }
  if (!all && consent == Consent::Ask) ShowSendFailure(block.appName, failures);
  return all ? 0 : 3;
}

// Writes the folder while the process still waits; false when no folder could be made.
bool WriteReport(const CrashBlock& block, const std::string& folder, std::string* reportText) {
  std::string error;
  if (!MakeDirectories(folder, &error)) {
    std::fprintf(stderr, "CrashSender1402: %s\n", error.c_str());
    return false;
  }
  const int thread = block.lnx.present ? block.lnx.threadId : static_cast<int>(block.threadId);
  // Only the process that started the sender is read.
  const bool parent = block.processId != 0 && static_cast<int>(block.processId) == ParentProcess();
  ReportInputs inputs;
  inputs.time = std::time(nullptr);
  // The dump first: it is quick, and the process waits for the sender only so long.
  if (parent) {
    // Only a structured exception's record is the system's own, which a dump can carry.
    const uint64_t pointers = block.exceptionType != 0 ? 0
                              : block.lnx.present      ? block.lnx.exceptionPointers
                                                       : block.exceptionPointers;
    std::string dumpError;
    if (WriteProcessDump(static_cast<int>(block.processId), thread, pointers, folder + kPathSeparator + "crash.dmp",
                         &dumpError)) {
      inputs.fileNotes.push_back("crash.dmp: written");
    }
  }
  std::string backtrace;
  if (parent) {
    backtrace = ProcessBacktrace(static_cast<int>(block.processId), thread);
  } else {
    backtrace =
        "Process " + std::to_string(block.processId) + " is not the one that started the sender; it was not read.\n";
  }
  if (!WriteReportFile(folder, "backtrace.txt", backtrace, &error)) {
    std::fprintf(stderr, "CrashSender1402: %s\n", error.c_str());
  }

  long long budget = kMaxCopiedTotal;
  for (const FileItem& item : block.files) CopyListedFile(folder, item, &budget, &inputs.fileNotes);
  std::set<std::string> dumped;
  for (const RegKeyItem& item : block.keys) {
    RegistryDump dump = DumpRegistryKey(item.keyPath);
    const std::string head = item.destination + " <- " + item.keyPath + ": ";
    if (!IsSafeFileName(item.destination) || IsReservedName(item.destination)) {
      inputs.fileNotes.push_back(head + "refused: not a plain file name");
    } else if (WriteReportFile(folder, item.destination, RegistryText(dump), &error)) {
      inputs.fileNotes.push_back(head + (dump.found ? "written" : "written, the key is missing"));
    } else {
      inputs.fileNotes.push_back(head + "failed");
    }
    // A key added again is listed once in the report.
    if (dumped.insert(item.keyPath).second) inputs.keys.push_back(std::move(dump));
  }
  if (block.screenshot == 1) {
    std::string png;
    if (TakeScreenshot(&png) && WriteReportFile(folder, "screenshot.png", png, &error)) {
      inputs.fileNotes.push_back("screenshot.png: taken");
    } else {
      inputs.fileNotes.push_back("screenshot.png: no display to take it from");
    }
  }
  *reportText = ReportText(block, inputs);
  if (!WriteReportFile(folder, "report.txt", *reportText, &error)) {
    std::fprintf(stderr, "CrashSender1402: %s\n", error.c_str());
    return false;
  }
  // Kept reports also go into one archive beside the folder, ready to hand on by other means.
  if ((block.flags & kFlagStoreArchives) && !StoreArchive(folder, folder + ".zip", inputs.time, &error)) {
    std::fprintf(stderr, "CrashSender1402: %s\n", error.c_str());
  }
  return true;
}

// A sender started for a video waits for the crash (the video event) or for the
// process to end. Recording is declined here; the hand-off works as for a crash.
bool WaitForVideoTurn(const char* name, CrashBlock* block) {
  auto video = platform::NamedEvent::Open((EventName(*block) + "_2").c_str());
  const int pid = static_cast<int>(block->processId);
  if (!video || pid != ParentProcess()) {
    std::fprintf(stderr, "CrashSender1402: no video event for this process; nothing to record\n");
    return false;
  }
  if (!WaitForEventOrExit(video.get(), pid)) return false;
  CrashBlock again;
  if (!ReadBlock(name, &again) || again.crashGuid != block->crashGuid) {
    Release(*block);
    return false;
  }
  *block = std::move(again);
  if (block->crashOccurred != 1) {
    // The handler is being removed: nothing crashed, only acknowledge.
    Release(*block);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: CrashSender1402 BLOCK\n");
    return 2;
  }
  CrashBlock block;
  if (!ReadBlock(argv[1], &block)) {
    // A block too damaged to report on must still not keep its process waiting.
    Release(block);
    return 1;
  }
  if (block.queuedReports == 1) {
    Release(block);
    return QueuedReports(block);
  }
  if (block.crashOccurred != 1) {
    if (block.video == 1) {
      if (!WaitForVideoTurn(argv[1], &block)) return 0;
    } else {
      Release(block);
      std::fprintf(stderr, "CrashSender1402: the block describes no crash\n");
      return 0;
    }
  }

  const std::string folder = ReportFolder(block);
  std::string reportText;
  const bool written = WriteReport(block, folder, &reportText);
  Release(block);
  if (!written) return 1;
  std::printf("%s\n", folder.c_str());
  std::fflush(stdout);

  const bool canSend = !(block.flags & kFlagDontSend) && !block.uploadUrl.empty();
  const Consent consent = ConsentFromEnvironment();
  bool send = false;
  if (consent == Consent::Given) {
    send = canSend;
  } else if (consent == Consent::Ask && OpenDisplay()) {
    send = ShowCrashDialog(Texts(block), block.appName, folder, reportText, canSend) == DialogChoice::Send && canSend;
  }
  if (!send) return 0;
  std::string failure;
  if (Send(block, folder, &failure)) return 0;
  if (consent == Consent::Ask) ShowSendFailure(block.appName, failure);
  return 3;
}
