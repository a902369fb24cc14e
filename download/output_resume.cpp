#include "download/download_task.h"

#include "common/file_ops.h"
#include "platform/files.h"

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
        output_file = fopen_cwd(output_path.c_str(), "ab+");
        return output_file != nullptr;
      }
    } else {
      output_file = fopen_cwd(output_path.c_str(), "ab+");
      return output_file != nullptr;
    }
  }
  // Only the length decides: a file at least as long as the content, or of a content of unknown size, restarts.
  received = 0;
  planned = 0;
  output_file = fopen_cwd(output_path.c_str(), "wb+");
  return output_file != nullptr;
}
