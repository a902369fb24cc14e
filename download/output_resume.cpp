#include "download/download_task.h"

#include "common/file_ops.h"
#include "platform/files.h"

namespace {

// Whole buffers go out in one write each; without stdio's own buffer a failed write cannot leave bytes behind
// that a later close would put out of place.
FILE* open_output(const char* path, const char* mode) {
  FILE* file = fopen_cwd(path, mode);
  if (file) setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

}  // namespace

bool DownloadTask::open_output_for_resume() {
  received = 0;
  planned = 0;
  if (total_size > 0) {
    if (FILE* existing = fopen_cwd(output_path.c_str(), "r")) {
      int64_t length = -1;
      if (platform::seek_stream(existing, 0, SEEK_END) == 0) length = platform::tell_stream(existing);
      fclose(existing);
      // A length that cannot be read restarts the file rather than guessing where to go on.
      if (length >= 0 && length < total_size) {
        received = length;
        planned = length;
        output_file = open_output(output_path.c_str(), "ab+");
        return output_file != nullptr;
      }
    } else {
      output_file = open_output(output_path.c_str(), "ab+");
      return output_file != nullptr;
    }
  } else if (probe_failed) {
    // A transient fault must not throw away a partial download: the file stays as it is until a body comes.
    // Opening it to append proves it could be written without touching it.
    if (FILE* existing = fopen_cwd(output_path.c_str(), "r")) {
      fclose(existing);
      FILE* writable = fopen_cwd(output_path.c_str(), "ab");
      if (!writable) return false;
      fclose(writable);
      output_deferred = true;
      return true;
    }
  }
  // Only the length decides: a file at least as long as the content, or of a content of unknown size, restarts.
  received = 0;
  planned = 0;
  output_file = open_output(output_path.c_str(), "wb+");
  return output_file != nullptr;
}

bool DownloadTask::open_deferred_output() {
  if (!output_deferred) return true;
  output_deferred = false;
  output_file = open_output(output_path.c_str(), "wb+");
  if (!output_file) write_failed = true;
  return output_file != nullptr;
}
