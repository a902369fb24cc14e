#include "download/buffer_storage.h"
#include "download/download_task.h"

#include <cstdio>

bool SizeRule::allows(int64_t length) const {
  if (most >= 0 && length > most) return false;
  // A listed length stands for every length that has its low 32 bits.
  return listed_low32 < 0 || length <= listed_low32 || (length & 0xffffffff) == listed_low32;
}

DownloadTask::DownloadTask(std::string url, std::string rel_path, SizeRule rule)
    : output_path(std::move(rel_path)), source_url(std::move(url)), size_rule(rule) {}

DownloadTask::DownloadTask(std::string url, std::string* body)
    : source_url(std::move(url)), memory_target(body), size_rule{kMemoryReplyLimit} {}

DownloadTask::~DownloadTask() {
  if (output_file) fclose(output_file);
  for (auto& [buffer, chunks] : buffers) {
    for (DownloadChunk* chunk : chunks) delete chunk;
    release_buffer_storage(buffer->data);
    delete buffer;
  }
}

bool DownloadTask::prepare_task() {
  probe_content_length();
  // Asking for a length that cannot be used would only hold the run: the task fails before any request, and
  // its file stays as it was.
  if (total_size >= 0 && !size_rule.allows(total_size)) {
    failed = true;
    return true;
  }
  return memory_target || open_output_for_resume();
}

std::string DownloadTask::log_task_url() const {
  printf("+++++++++++++url:[%s]\n", source_url.c_str());
  return source_url;
}

bool DownloadTask::write_out(const char* bytes, size_t count) {
  if (write_failed) return false;
  if (count == 0) return true;
  if (memory_target) {
    memory_target->append(bytes, count);
    return true;
  }
  // A full disk must not pass for a download: the transfer fails, and the file keeps its in-order prefix.
  if (!output_file || fwrite(bytes, 1, count, output_file) != count || fflush(output_file) != 0) write_failed = true;
  return !write_failed;
}
