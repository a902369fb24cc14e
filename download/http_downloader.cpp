#include "download/http_downloader.h"

#include <cstdio>

namespace {

// libcurl prints its progress meter one character at a time; on an unbuffered standard error stream that is
// one system call per character, which costs more than the transfer itself. Line buffering keeps every
// line whole and in time.
void buffer_standard_error() {
  static const bool buffered = setvbuf(stderr, nullptr, _IOLBF, 4096) == 0;
  (void)buffered;
}

}  // namespace

HttpDownloader::HttpDownloader() {
  buffer_standard_error();
  curl_ready = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK ? 1 : 0;
}

HttpDownloader::~HttpDownloader() {
  reset_downloader();
  curl_global_cleanup();
}

int HttpDownloader::add_file_task(std::string url, std::string rel_path, SizeRule rule) {
  return queue_task(new DownloadTask(std::move(url), std::move(rel_path), rule), false, nullptr, nullptr);
}

int HttpDownloader::add_memory_task(std::string url, std::string* body) {
  return queue_task(new DownloadTask(std::move(url), body), false, nullptr, nullptr);
}

int HttpDownloader::add_memory_task_with_callback(std::string url, std::string* body,
                                                  DownloadCompletionCallback callback, void* user) {
  return queue_task(new DownloadTask(std::move(url), body), true, callback, user);
}

int HttpDownloader::queue_task(DownloadTask* task, bool with_record, DownloadCompletionCallback callback,
                               void* user) {
  if (!task->prepare_task()) {
    delete task;
    return 1;
  }
  active_tasks.push_back(task);
  if (with_record) completions[task] = new CompletionRecord{callback, user};
  // Once one task's size is unknown the batch's total is unknown, and nothing more is counted into it. A task
  // that failed at its probe brings no bytes.
  if (expected_total >= 0 && !task->failed) {
    if (task->total_size >= 0) {
      expected_total += task->total_size;
    } else {
      expected_total = -1;
    }
    received_bytes += task->received;
  }
  return 0;
}

void HttpDownloader::set_stall_timeout(uint32_t seconds) { stall_seconds = seconds; }

void HttpDownloader::set_progress_callback(DownloadProgressCallback callback, void* user) {
  progress_callback = callback;
  progress_user = user;
}
