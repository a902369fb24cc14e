#include <algorithm>
#include <atomic>
#include <cstring>

#include "common/threads.h"
#include "download/buffer_storage.h"
#include "download/download_task.h"
#include "platform/process.h"

namespace {

// What to do with the body of a ranged transfer, decided on its first block. A 206 is the range asked for; a
// 200 is the whole content, which is the chunk's bytes only when the chunk starts the content (beyond it the
// excess is refused). An error page is taken and dropped: it is no content, and its status fails the transfer.
TransferBodyMode ranged_body_mode(const TransferContext& context, long status) {
  if (status == 206) return BODY_STORE;
  const DownloadChunk& chunk = *context.chunk;
  if (status == 200) return chunk.buffer->file_offset + chunk.offset == 0 ? BODY_STORE : BODY_REFUSE;
  return BODY_DROP;
}

}  // namespace

size_t on_transfer_data(char* bytes, size_t size, size_t nmemb, void* userdata) {
  auto* context = static_cast<TransferContext*>(userdata);
  const size_t count = size * nmemb;
  DownloadChunk* chunk = context->chunk;
  DownloadTask* task = chunk->task;
  long status = 0;
  if (context->easy) curl_easy_getinfo(context->easy, CURLINFO_RESPONSE_CODE, &status);
  // An error page is no sign that the download moves on: its bytes do not hold off the stall limit.
  if (status < 400) *context->last_data_ns = static_cast<int64_t>(platform::monotonic_ns());
  // Taking nothing fails the transfer: after a failed write, and beyond what the task may hold.
  if (task->write_failed) return 0;
  if (task->size_rule.most >= 0 && task->received + static_cast<int64_t>(count) > task->size_rule.most) return 0;
  if (task->output_deferred) {
    // Only the content itself replaces the file that was kept: an error page is dropped, its status fails.
    if (status != 200) return count;
    if (!task->open_deferred_output()) return 0;
  }
  if (chunk->length > 0) {
    if (context->body_mode == BODY_UNDECIDED) context->body_mode = ranged_body_mode(*context, status);
    if (context->body_mode == BODY_DROP) return count;
    // Taking fewer bytes than offered fails the transfer; nothing lands outside the chunk's place.
    if (context->body_mode == BODY_REFUSE) return 0;
    if (count > static_cast<size_t>(chunk->length - chunk->received)) return 0;
  }
  if (task->write_chunk_data(chunk, static_cast<uint32_t>(count), bytes) != count) return 0;
  const int64_t done =
      std::atomic_ref<int64_t>(*context->received_bytes).fetch_add(static_cast<int64_t>(count)) +
      static_cast<int64_t>(count);
  if (context->progress_callback) context->progress_callback(*context->expected_total, done, context->progress_user);
  auto record = context->completions->find(task);
  if (record != context->completions->end() && record->second->completion_fn && task->received == task->total_size)
    record->second->completion_fn(0, 200, record->second->completion_user);
  return count;
}

uint32_t DownloadTask::write_chunk_data(DownloadChunk* chunk, uint32_t count, const char* bytes) {
  received += count;
  DownloadBuffer* buffer = chunk->buffer;
  if (chunk->length > 0) {
    memcpy(buffer->data + chunk->offset + chunk->received, bytes, count);
    interlocked_add(&chunk->received, static_cast<int32_t>(count));
    interlocked_add(&buffer->filled, static_cast<int32_t>(count));
    if (chunk->received != chunk->length) return count;
    // Whole buffers go out from the front only, so the output grows strictly in content order.
    std::lock_guard<std::mutex> hold(flush_lock);
    while (!buffers.empty() && buffers.front().first->filled == buffers.front().first->length) {
      DownloadBuffer* done = buffers.front().first;
      if (!write_out(done->data, static_cast<size_t>(done->length))) return 0;
      release_buffer_storage(done->data);
      delete done;
      buffers.pop_front();
    }
    return count;
  }
  // The unbounded chunk streams through its buffer, which goes out whenever it is full.
  const int32_t capacity = g_ranges_per_buffer * g_range_size;
  uint32_t taken = 0;
  while (taken < count) {
    const auto part = std::min<uint32_t>(count - taken, static_cast<uint32_t>(capacity - buffer->filled));
    memcpy(buffer->data + buffer->filled, bytes + taken, part);
    buffer->filled += static_cast<int32_t>(part);
    taken += part;
    if (buffer->filled == capacity) {
      if (!write_out(buffer->data, static_cast<size_t>(capacity))) return 0;
      buffer->file_offset += capacity;
      buffer->filled = 0;
    }
  }
  return count;
}

bool DownloadTask::flush_pending_buffer(DownloadChunk* chunk) {
  if (total_size >= 0) return true;
  DownloadBuffer* buffer = chunk->buffer;
  const bool written = write_out(buffer->data, static_cast<size_t>(buffer->filled));
  buffer->file_offset += buffer->filled;
  buffer->filled = 0;
  return written;
}
