#include "download/download_task.h"
#include "download/easy_handle.h"
#include "platform/process.h"

namespace {

struct ProbeWatch {
  CURL* easy;
  uint64_t last_byte_ns;
  long header_bytes;
};

// libcurl calls this at least once a second while the request waits; header bytes count as signs of life.
int watch_probe(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* watch = static_cast<ProbeWatch*>(user);
  const uint64_t now = platform::monotonic_ns();
  long header_bytes = 0;
  curl_easy_getinfo(watch->easy, CURLINFO_HEADER_SIZE, &header_bytes);
  if (header_bytes != watch->header_bytes) {
    watch->header_bytes = header_bytes;
    watch->last_byte_ns = now;
  }
  return now - watch->last_byte_ns > uint64_t{kSilenceLimitSeconds} * 1000000000 ? 1 : 0;
}

}  // namespace

void DownloadTask::probe_content_length() {
  CURL* easy = new_easy_handle();
  probe_failed = true;
  if (!easy) return;
  curl_easy_setopt(easy, CURLOPT_URL, source_url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  set_request_options(easy);
  if (CURLSH* share = probe_share()) curl_easy_setopt(easy, CURLOPT_SHARE, share);
  ProbeWatch watch{easy, platform::monotonic_ns(), 0};
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, watch_probe);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &watch);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  // The status is not looked at: the length of whatever final response came counts.
  if (curl_easy_perform(easy) == CURLE_OK) {
    probe_failed = false;
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0)
      total_size = length;
  }
  curl_easy_cleanup(easy);
}
