#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "download/buffer_storage.h"
#include "download/download_task.h"

int32_t g_range_size = 262144;
int32_t g_ranges_per_buffer = 4;

namespace {

int32_t buffer_capacity() { return g_ranges_per_buffer * g_range_size; }

}  // namespace

bool DownloadTask::plan_next_buffer() {
  if (total_size < 0) {
    if (!buffers.empty()) return false;
    auto* buffer = new DownloadBuffer{acquire_buffer_storage(), planned, 0, 0};
    auto* chunk = new DownloadChunk{0, 0, 0, this, buffer};
    // The entry stays until the task ends: the buffer streams, it is never written out whole.
    buffers.push_back({buffer, {chunk}});
    return true;
  }
  if (planned >= total_size) return false;
  const auto length = static_cast<int32_t>(std::min<int64_t>(buffer_capacity(), total_size - planned));
  auto* buffer = new DownloadBuffer{acquire_buffer_storage(), planned, length, 0};
  planned += length;
  std::list<DownloadChunk*> chunks;
  for (int32_t offset = 0; offset < length; offset += g_range_size)
    chunks.push_back(new DownloadChunk{offset, std::min(g_range_size, length - offset), 0, this, buffer});
  buffers.push_back({buffer, std::move(chunks)});
  return true;
}

DownloadChunk* DownloadTask::next_chunk() {
  for (auto& entry : buffers) {
    if (entry.second.empty()) continue;
    DownloadChunk* chunk = entry.second.front();
    entry.second.pop_front();
    return chunk;
  }
  if (!plan_next_buffer()) return nullptr;
  auto& chunks = buffers.back().second;
  if (chunks.empty()) return nullptr;
  DownloadChunk* chunk = chunks.front();
  chunks.pop_front();
  return chunk;
}

bool DownloadTask::has_more_work() const {
  if (total_size < 0) return buffers.empty();
  if (planned != total_size) return true;
  return std::any_of(buffers.begin(), buffers.end(), [](const auto& entry) { return !entry.second.empty(); });
}

std::string chunk_range_text(const DownloadChunk& chunk) {
  const int64_t first = chunk.buffer->file_offset + chunk.offset;
  char text[512];
  snprintf(text, sizeof text, "%" PRId64 "-%" PRId64, first, first + chunk.length - 1);
  return text;
}
