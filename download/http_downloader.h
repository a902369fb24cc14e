// The process-wide download engine: queues file and memory tasks, fetches them over the libcurl
// multi interface with at most five transfers at once, and reports one DownloadResult per run.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <curl/curl.h>

#include "download/download_task.h"

class HttpDownloader {
 public:
  HttpDownloader();
  ~HttpDownloader();
  HttpDownloader(const HttpDownloader&) = delete;
  HttpDownloader& operator=(const HttpDownloader&) = delete;

  // 0 queued, 1 the output file cannot be opened. The size probe runs inside the call; a probed length that
  // `rule` does not allow is queued as a failure, which the run reports without a request.
  int add_file_task(std::string url, std::string rel_path, SizeRule rule = {});
  // Always 0; the body is appended to *body, which must outlive the run.
  int add_memory_task(std::string url, std::string* body);
  int add_memory_task_with_callback(std::string url, std::string* body, DownloadCompletionCallback callback,
                                    void* user);
  // 0 leaves only kSilenceLimitSeconds; kept across runs.
  void set_stall_timeout(uint32_t seconds);
  // Reaches only the transfers started after the call.
  void set_progress_callback(DownloadProgressCallback callback, void* user);
  // Fetches the batch queued since the last run; the engine is empty afterwards.
  DownloadResult run_downloads();

  // 0 the limit is reached or no task is left, 1 a transfer cannot be set up, 2 no active task on entry.
  int32_t fill_transfers();
  bool stall_timed_out() const;
  void reset_downloader();

  DownloadProgressCallback progress_callback = nullptr;
  void* progress_user = nullptr;
  CURLM* multi_handle = nullptr;
  int32_t max_transfers = 5;
  int32_t curl_ready = 0;
  int64_t received_bytes = 0;
  int64_t expected_total = 0;
  uint32_t next_task = 0;
  uint32_t stall_seconds = 0;
  int64_t last_data_ns = 0;
  std::unordered_map<CURL*, DownloadChunk*> transfers;
  CompletionMap completions;
  std::vector<DownloadTask*> active_tasks;
  std::vector<DownloadTask*> drained_tasks;

 private:
  // A ranged request of this run was answered with the whole content.
  bool range_not_honoured_ = false;

  int queue_task(DownloadTask* task, bool with_record, DownloadCompletionCallback callback, void* user);
  // Judges a finished transfer into `result` and releases it.
  void finish_transfer(CURL* easy, CURLcode code, int32_t* result);
};

// The engine, made on the first call (and before the process entry, through g_downloader).
HttpDownloader* downloader_instance();
extern HttpDownloader* g_downloader;

// A CURLOPT_HEADERFUNCTION that keeps the value of the region header in a std::string; no transfer installs it.
size_t on_region_header(char* header, size_t size, size_t nitems, void* userdata);
