// One URL to fetch and its pieces: the task, its 1 MiB buffers and their 256 KiB chunks,
// the per-transfer context, and the two callback types of the engine.
#pragma once

#include <cstdint>
#include <cstdio>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include <curl/curl.h>

// Sizes and offsets in a content are 64-bit throughout, so contents of 2 GiB and more are handled.

// A memory reply larger than this fails its transfer, one probed larger before anything is fetched: no real
// reply comes near it, and a server that never stops sending must not grow the string without end.
constexpr int64_t kMemoryReplyLimit = int64_t{16} << 20;
// What a caller can use of a content's length. The probed length is held against it before anything is fetched,
// so a length no download of the task can live up to fails the task at once; `most` also bounds the bytes as
// they arrive.
struct SizeRule {
  int64_t most = -1;          // no more bytes than this; -1 for no bound
  int64_t listed_low32 = -1;  // a listed length of which only the low 32 bits are known; -1 for none
  bool allows(int64_t length) const;
};

// No probe and no run waits longer than this for a byte, even without a stall limit: a server that accepts
// and then says nothing must not hold the launcher forever.
constexpr uint32_t kSilenceLimitSeconds = 60;

// Result of a run: 0 success, 1 transfer or library failure, 3 cannot connect, 4 stalled,
// 5 TLS failure (handshake or certificate), 6 an HTTP status that is not a success.
enum DownloadResult : int32_t {
  DOWNLOAD_OK = 0,
  DOWNLOAD_FAILED = 1,
  DOWNLOAD_CANNOT_CONNECT = 3,
  DOWNLOAD_STALLED = 4,
  DOWNLOAD_TLS_FAILED = 5,
  DOWNLOAD_HTTP_STATUS = 6,
};

// (total of the batch or -1 when undetermined, bytes received in the batch, user); result ignored.
using DownloadProgressCallback = int (*)(int64_t total, int64_t done, void* user);
// (result, HTTP status or -1, user).
using DownloadCompletionCallback = void (*)(int32_t result, int32_t http_status, void* user);

// The geometry: a chunk asks for at most g_range_size bytes; a buffer holds g_ranges_per_buffer chunks.
extern int32_t g_range_size;
extern int32_t g_ranges_per_buffer;

struct DownloadTask;

struct DownloadBuffer {
  char* data = nullptr;
  int64_t file_offset = 0;
  int32_t length = 0;  // 0 for the one buffer of a task of undetermined size
  int32_t filled = 0;
};

struct DownloadChunk {
  int32_t offset = 0;  // in its buffer
  int32_t length = 0;  // 0: the whole body, without a range
  int32_t received = 0;
  DownloadTask* task = nullptr;
  DownloadBuffer* buffer = nullptr;
};

struct CompletionRecord {
  DownloadCompletionCallback completion_fn = nullptr;
  void* completion_user = nullptr;
};

using CompletionMap = std::unordered_map<DownloadTask*, CompletionRecord*>;

// What a ranged transfer does with its body, decided on its first block.
enum TransferBodyMode : int32_t { BODY_UNDECIDED = 0, BODY_STORE = 1, BODY_DROP = 2, BODY_REFUSE = 3 };

struct TransferContext {
  DownloadChunk* chunk = nullptr;
  DownloadProgressCallback progress_callback = nullptr;
  int64_t* received_bytes = nullptr;
  int64_t* expected_total = nullptr;
  void* progress_user = nullptr;
  int64_t* last_data_ns = nullptr;
  CompletionMap* completions = nullptr;
  // The transfer's handle, so the write path can see which status the body belongs to.
  CURL* easy = nullptr;
  int32_t body_mode = 0;  // a TransferBodyMode
};

struct DownloadTask {
  DownloadTask(std::string url, std::string rel_path, SizeRule rule = {});
  DownloadTask(std::string url, std::string* body);
  ~DownloadTask();
  DownloadTask(const DownloadTask&) = delete;
  DownloadTask& operator=(const DownloadTask&) = delete;

  bool prepare_task();
  void probe_content_length();
  bool open_output_for_resume();
  bool is_complete() const { return received == total_size; }

  bool plan_next_buffer();
  DownloadChunk* next_chunk();
  bool has_more_work() const;
  std::string log_task_url() const;
  // The byte count, or 0 when the output could not take what was due.
  uint32_t write_chunk_data(DownloadChunk* chunk, uint32_t count, const char* bytes);
  // False when the output could not take the bytes.
  bool flush_pending_buffer(DownloadChunk* chunk);
  // A file kept through a failed probe is replaced only once a body comes to replace it; false when it cannot be.
  bool open_deferred_output();

  FILE* output_file = nullptr;
  int64_t total_size = -1;
  int64_t received = 0;
  int64_t planned = 0;
  std::string output_path;
  std::string source_url;
  std::string* memory_target = nullptr;
  // The probe failed (an error, not merely no length): an existing output is not truncated before a body comes.
  bool probe_failed = false;
  bool output_deferred = false;
  // A write to the output failed: the file is short, and every transfer of the task fails from now on.
  bool write_failed = false;
  SizeRule size_rule;
  // A transfer of the task failed, or its probed length cannot be used: the task can no longer be completed,
  // so nothing more of it is asked for.
  bool failed = false;
  std::mutex flush_lock;
  std::list<std::pair<DownloadBuffer*, std::list<DownloadChunk*>>> buffers;

 private:
  bool write_out(const char* bytes, size_t count);
};

// The inclusive byte range a bounded chunk asks for, "first-last" in content offsets.
std::string chunk_range_text(const DownloadChunk& chunk);

// libcurl's write callback of every transfer; userdata is the transfer's TransferContext.
size_t on_transfer_data(char* bytes, size_t size, size_t nmemb, void* context);
