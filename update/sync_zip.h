// SYNC_ZIP: downloads every package zip whose local copy does not match the manifest.
#pragma once

#include <cstdint>

// The stall limit the step gives the downloader: 60 seconds; tests shorten it.
extern uint32_t g_sync_stall_seconds;

// 0 every package checks out; 7 or 11 the manifest is unusable; 15 cannot connect, or a package still
// fails after a run without failure; 20 other download failure; 21 stalled; 22 TLS connect failure.
int sync_zip_packages();
// The downloader's progress, handed to the run's sync_progress slot as (done, total).
int relay_progress(int64_t total, int64_t done, void* user);
