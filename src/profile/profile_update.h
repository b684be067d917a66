#pragma once
// Background renewal of data.vpn from the update pages listed in UpdateUrls.
// An update page carries the profile between a line "<!--" and a line
// "!!<crc>-->"; the first page (walking UpdateUrls from the back) whose
// profile verifies replaces data.vpn and both shared lists.

// Both starters read UpdateUrls under ListsLock: call them without it held.
// Starts an update now on a worker thread, when UpdateUrls is not empty.
void StartServerListUpdate(const char* profilePath);
// Starts an update 30 s from now, when UpdateUrls is not empty (tested now).
// Returns at once; the worker does the waiting.
void StartDelayedServerListUpdate(const char* profilePath);

// The worker body: one walk over UpdateUrls, at most one walk at a time
// (a walk that finds another running ends at once).
void UpdateServerLists(const char* profilePath);

enum DownloadResult { kDownloadOk = 0, kDownloadFailed = 1 };
// GETs url into the file at path (created or truncated). 0 when the address
// answered and its body (possibly cut short by a broken connection) is in the
// file; 1 when it did not answer, the file cannot be written, or the body is
// over the 4 MiB bound.
int DownloadToFile(const char* url, const char* path);

enum ExtractResult { kExtractOk = 0, kExtractNoFile = 1, kExtractBadProfile = 2 };
// Cuts the profile out of the page file (which is deleted), verifies it and
// only then moves it onto profilePath under ProfileLock.
int ExtractProfile(const char* pagePath, const char* profilePath);

// Milliseconds the delayed starter waits (30000); tests shorten it.
void SetUpdateDelayMs(unsigned ms);
// Called on the worker thread as the last thing each started worker does
// (tests wait on it); nullptr removes it.
void SetUpdateWorkerDoneHook(void (*hook)(void* context), void* context);
