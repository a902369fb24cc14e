#include "download/download_task.h"
#include "download/easy_handle.h"

void DownloadTask::probe_content_length() {
  CURL* easy = new_easy_handle();
  if (!easy) return;
  curl_easy_setopt(easy, CURLOPT_URL, source_url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  set_request_options(easy);
  if (CURLSH* share = probe_share()) curl_easy_setopt(easy, CURLOPT_SHARE, share);
  // The status is not looked at: the length of whatever final response came counts.
  if (curl_easy_perform(easy) == CURLE_OK) {
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0)
      total_size = length;
  }
  curl_easy_cleanup(easy);
}
