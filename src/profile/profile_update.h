#pragma once
// Background renewal of data.vpn from the update pages listed in UpdateUrls.

// Starts an update now on a worker thread, when UpdateUrls is not empty.
void StartServerListUpdate(const char* profilePath);
// Starts an update 30 s from now, when UpdateUrls is not empty.
void StartDelayedServerListUpdate(const char* profilePath);
