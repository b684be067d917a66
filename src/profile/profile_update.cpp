#include "profile/profile_update.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "runtime/shared_state.h"
#include "runtime/thread.h"
#include "platform/http.h"
#include "platform/temp_file.h"
#include "platform/thread.h"
#include "profile/profile.h"
#include "runtime/server_list.h"
#include "profile/update_page.h"

namespace {

std::atomic<unsigned> delayMs{30000};

std::mutex hookLock;
void (*doneHook)(void*) = nullptr;
void* doneContext = nullptr;

void WorkerDone() {
  std::lock_guard<std::mutex> lock(hookLock);
  if (doneHook) doneHook(doneContext);
}

bool WriteAll(void* context, const char* data, size_t length) {
  return std::fwrite(data, 1, length, static_cast<std::FILE*>(context)) == length;
}

// The walk works on a copy so that a Connect appending to UpdateUrls on the
// main thread cannot pull entries from under it.
ServerList* CopyUpdateUrls() {
  ServerList* copy = NewServerList();
  std::lock_guard<std::mutex> lock(ListsLock);
  if (UpdateUrls) {
    for (ServerListEntry* e = UpdateUrls->head; e; e = e->next) {
      PushBack(copy, NewServerEntry(e->text, std::strlen(e->text)));
    }
  }
  return copy;
}

bool UpdateUrlsEmpty() {
  std::lock_guard<std::mutex> lock(ListsLock);
  return IsEmpty(UpdateUrls);
}

struct WorkerStart {
  char profilePath[kPathSize];
  unsigned delayMs;
};

void UpdateWorker(void* arg) {
  auto* start = static_cast<WorkerStart*>(arg);
  if (start->delayMs) platform::SleepMs(start->delayMs);
  UpdateServerLists(start->profilePath);
  delete start;
  WorkerDone();
}

void StartUpdate(const char* profilePath, unsigned wait) {
  if (UpdateUrlsEmpty()) return;
  auto* start = new WorkerStart{};
  std::snprintf(start->profilePath, sizeof start->profilePath, "%s", profilePath);
  start->delayMs = wait;
  if (!StartWorker(&UpdateWorker, start)) delete start;
}

}  // namespace

int DownloadToFile(const char* url, const char* path) {
  std::FILE* file = platform::OpenFile(path, "wb");
  if (!file) return kDownloadFailed;
  platform::HttpResult result = platform::HttpGet(url, &WriteAll, file);
  bool written = std::fclose(file) == 0;
  // A body that broke off is kept: the CRC of the block decides about it.
  bool answered = result == platform::HttpResult::Ok || result == platform::HttpResult::ReadFailed;
  return answered && written ? kDownloadOk : kDownloadFailed;
}

int ExtractProfile(const char* pagePath, const char* profilePath) {
  char tempPath[kPathSize];
  if (!platform::CreateTempFile("data", tempPath, sizeof tempPath)) return kExtractNoFile;
  std::FILE* page = platform::OpenFile(pagePath, "rb");
  if (!page) {
    platform::DeleteFileAt(tempPath);
    return kExtractNoFile;
  }
  std::FILE* temp = platform::OpenFile(tempPath, "wb");
  if (!temp) {
    std::fclose(page);
    platform::DeleteFileAt(tempPath);
    return kExtractNoFile;
  }
  bool written = true;
  {
    PagePieceReader reader(page);
    PageExtractor extractor;
    std::string out;
    char piece[kPageLineBuffer];
    for (size_t n; (n = reader.Next(piece)) > 0;) {
      out.clear();
      extractor.Feed(piece, n, &out);
      if (!out.empty() && std::fwrite(out.data(), 1, out.size(), temp) != out.size()) written = false;
    }
  }
  std::fclose(page);
  if (std::fclose(temp) != 0) written = false;
  platform::DeleteFileAt(pagePath);
  // Only a profile that verifies may replace data.vpn; a failed one is not
  // left behind in the temporary folder.
  if (!written || LoadProfile(tempPath, nullptr, nullptr) != kProfileOk) {
    platform::DeleteFileAt(tempPath);
    return kExtractBadProfile;
  }
  // The copy and its flush happen before the lock: Connect on the
  // user-interface thread waits for ProfileLock, and only the rename needs it.
  char staged[kPathSize + 16];
  bool moved = false;
  if (platform::StageBeside(tempPath, profilePath, staged, sizeof staged)) {
    {
      std::lock_guard<std::mutex> lock(ProfileLock);
      moved = platform::MoveStaged(staged, profilePath);
    }
    if (moved)
      platform::SyncDirectoryOf(profilePath);
    else
      platform::DeleteFileAt(staged);
  }
  // A failed move keeps the old data.vpn, from which the lists are then reloaded.
  platform::DeleteFileAt(tempPath);
  return kExtractOk;
}

void UpdateServerLists(const char* profilePath) {
  std::unique_lock<std::mutex> update(UpdateLock, std::try_to_lock);
  if (update.owns_lock()) {
    ServerList* urls = CopyUpdateUrls();
    ServerList* servers = NewServerList();
    ServerList* sources = NewServerList();
    for (ServerListEntry* url; (url = TakeBack(urls)) != nullptr;) {
      char pagePath[kPathSize];
      bool loaded = false;
      // A fresh file per page: every page file is deleted after use.
      if (platform::CreateTempFile("html", pagePath, sizeof pagePath)) {
        if (DownloadToFile(url->text, pagePath) == kDownloadOk && ExtractProfile(pagePath, profilePath) == kExtractOk) {
          loaded = LoadProfile(profilePath, servers, sources) == kProfileOk;
        }
        // Usually gone already (ExtractProfile deletes it); never left behind.
        platform::DeleteFileAt(pagePath);
      }
      FreeServerEntry(url);
      if (!loaded) continue;
      {
        std::lock_guard<std::mutex> lock(ListsLock);
        // Null lists mean shutdown has freed them: do not bring them back.
        if (Servers && UpdateUrls) {
          std::swap(Servers, servers);
          std::swap(UpdateUrls, sources);
        }
      }
      break;
    }
    // The replaced lists, or the new ones when nothing was swapped in.
    FreeServerList(servers);
    FreeServerList(sources);
    FreeServerList(urls);
  }
}

void StartServerListUpdate(const char* profilePath) { StartUpdate(profilePath, 0); }

void StartDelayedServerListUpdate(const char* profilePath) { StartUpdate(profilePath, delayMs.load()); }

void SetUpdateDelayMs(unsigned ms) { delayMs.store(ms); }

void SetUpdateWorkerDoneHook(void (*hook)(void*), void* context) {
  std::lock_guard<std::mutex> lock(hookLock);
  doneHook = hook;
  doneContext = context;
}
