#include "common/log.h"
#include "download/buffer_storage.h"
#include "download/easy_handle.h"
#include "download/http_downloader.h"
#include "platform/process.h"

namespace {

void release_transfer(CURLM* multi, CURL* easy, DownloadChunk* chunk) {
  TransferContext* context = nullptr;
  curl_easy_getinfo(easy, CURLINFO_PRIVATE, &context);
  curl_multi_remove_handle(multi, easy);
  curl_easy_cleanup(easy);
  delete chunk;
  delete context;
}

int32_t failure_code(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_CONNECT:
      return DOWNLOAD_CANNOT_CONNECT;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
      return DOWNLOAD_TLS_FAILED;
    default:
      return DOWNLOAD_FAILED;
  }
}

}  // namespace

int32_t HttpDownloader::fill_transfers() {
  if (active_tasks.empty()) return 2;
  while (transfers.size() < static_cast<size_t>(max_transfers)) {
    if (active_tasks.empty()) return 0;
    if (next_task >= active_tasks.size()) next_task = 0;
    DownloadTask* task = active_tasks[next_task];
    // A task that cannot be completed any more asks for nothing more: every further range would be in vain.
    DownloadChunk* chunk = task->failed ? nullptr : task->next_chunk();
    if (task->failed || !task->has_more_work()) {
      drained_tasks.push_back(task);
      active_tasks.erase(active_tasks.begin() + next_task);
    }
    if (!chunk) continue;
    CURL* easy = new_easy_handle();
    if (!easy) {
      delete chunk;
      return 1;
    }
    if (chunk->length > 0) curl_easy_setopt(easy, CURLOPT_RANGE, chunk_range_text(*chunk).c_str());
    curl_easy_setopt(easy, CURLOPT_URL, task->log_task_url().c_str());
    auto* context = new TransferContext{chunk,         progress_callback, &received_bytes, &expected_total,
                                        progress_user, &last_data_ns,     &completions,    easy};
    curl_easy_setopt(easy, CURLOPT_PRIVATE, context);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, context);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_transfer_data);
    // A receive buffer of a whole range takes a range in a few reads instead of sixteen, each with its wake-up,
    // its copy and its progress report.
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(g_range_size));
    // libcurl's own progress meter stays on, on the standard error stream.
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    set_request_options(easy);
    if (curl_multi_add_handle(multi_handle, easy) != CURLM_OK) {
      curl_easy_cleanup(easy);
      delete context;
      delete chunk;
      return 1;
    }
    ++next_task;
    transfers.emplace(easy, chunk);
  }
  return 0;
}

DownloadResult HttpDownloader::run_downloads() {
  multi_handle = curl_multi_init();
  // A run's stall clock starts with the run, not with whatever data an earlier run brought.
  last_data_ns = static_cast<int64_t>(platform::monotonic_ns());
  int32_t result = DOWNLOAD_OK;
  // A task refused at its probe fails the run without a request.
  for (const DownloadTask* task : active_tasks) {
    if (task->failed) result = DOWNLOAD_FAILED;
  }
  range_not_honoured_ = false;
  int running = 0;
  int idle = 0;
  auto end_run = [this](int32_t code) {
    // Otherwise nothing would tell why a server that works for a browser fails every package.
    if (range_not_honoured_) log_to("update", spdlog::level::err, "range not honoured");
    reset_downloader();
    return static_cast<DownloadResult>(code);
  };
  if (!multi_handle) return end_run(DOWNLOAD_FAILED);
  if (fill_transfers() == 1) return end_run(DOWNLOAD_FAILED);
  // Until every chunk has been requested and every transfer's end has been read.
  while (!transfers.empty()) {
    if (curl_multi_perform(multi_handle, &running) != CURLM_OK) return end_run(DOWNLOAD_FAILED);
    int waiting = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_handle, &waiting)) {
      if (message->msg == CURLMSG_DONE) finish_transfer(message->easy_handle, message->data.result, &result);
    }
    const size_t before = transfers.size();
    if (fill_transfers() == 1) return end_run(DOWNLOAD_FAILED);
    if (transfers.empty()) break;
    // New transfers are driven at once: a wait right after adding one returns on libcurl's start timer with
    // no descriptor, and two such waits in a row would bring the 100 ms idle pause between ranges.
    if (transfers.size() > before) continue;
    int descriptors = 0;
    if (curl_multi_wait(multi_handle, nullptr, 0, 1000, &descriptors) != CURLM_OK) return end_run(DOWNLOAD_FAILED);
    if (stall_timed_out()) return end_run(DOWNLOAD_STALLED);
    if (descriptors == 0) {
      if (++idle > 1) platform::sleep_ms(100);
    } else {
      idle = 0;
    }
  }
  return end_run(result);
}

void HttpDownloader::finish_transfer(CURL* easy, CURLcode code, int32_t* result) {
  auto entry = transfers.find(easy);
  if (entry == transfers.end()) return;
  DownloadChunk* chunk = entry->second;
  DownloadTask* task = chunk->task;
  // There is no second try of a range within a run: one that failed leaves its task short for good.
  auto fail = [result, task](int32_t failure) {
    *result = failure;
    task->failed = true;
  };
  long status = -1;
  if (code == CURLE_OK) {
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200 && !(status == 206 && chunk->length > 0)) {
      fail(DOWNLOAD_HTTP_STATUS);
    } else if (chunk->length > 0 && chunk->received != chunk->length) {
      // A short ranged body is no success: the task would never reach its size.
      fail(DOWNLOAD_FAILED);
    }
  } else {
    fail(failure_code(code));
  }
  long answered = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &answered);
  // A 200 is the whole content, which is the range asked for only when the range is the whole content. (The
  // chunk's buffer may be gone by now: a chunk as long as the content can only start it.)
  if (chunk->length > 0 && answered == 200 && chunk->length != task->total_size) range_not_honoured_ = true;
  // A whole body that was empty still replaces a file kept through a failed probe.
  if (code == CURLE_OK && status == 200 && !task->open_deferred_output()) fail(DOWNLOAD_FAILED);
  if (task->total_size == -1) {
    if (!task->flush_pending_buffer(chunk)) fail(DOWNLOAD_FAILED);
    auto record = completions.find(task);
    if (record != completions.end() && record->second->completion_fn)
      record->second->completion_fn(*result, static_cast<int32_t>(status), record->second->completion_user);
  }
  transfers.erase(entry);
  release_transfer(multi_handle, easy, chunk);
}

bool HttpDownloader::stall_timed_out() const {
  // Without a stall limit of its own a run still gives up on a server that has gone silent.
  const uint32_t limit = stall_seconds != 0 ? stall_seconds : kSilenceLimitSeconds;
  const int64_t quiet = static_cast<int64_t>(platform::monotonic_ns()) - last_data_ns;
  return quiet > static_cast<int64_t>(limit) * 1000000000;
}

void HttpDownloader::reset_downloader() {
  for (auto& [easy, chunk] : transfers) release_transfer(multi_handle, easy, chunk);
  transfers.clear();
  if (multi_handle) curl_multi_cleanup(multi_handle);
  multi_handle = nullptr;
  for (DownloadTask* task : drained_tasks) delete task;
  for (DownloadTask* task : active_tasks) delete task;
  drained_tasks.clear();
  active_tasks.clear();
  for (auto& [task, record] : completions) delete record;
  completions.clear();
  received_bytes = 0;
  expected_total = 0;
  progress_user = nullptr;
  trim_buffer_storage();
  release_probe_share();
}
