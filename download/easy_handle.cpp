#include "download/easy_handle.h"

#include <cstdlib>

namespace {

EasyInitFunction easy_init_function = nullptr;
// The engine is used from one thread at a time, so the share needs no locks.
CURLSH* shared_by_probes = nullptr;

}  // namespace

CURL* new_easy_handle() { return easy_init_function ? easy_init_function() : curl_easy_init(); }

void set_easy_init_function(EasyInitFunction function) { easy_init_function = function; }

void set_request_options(CURL* easy) {
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  // Over TLS libcurl would negotiate HTTP/2 and put every range on one connection.
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  // The updater installs what it downloads, with administrator rights: never accept an unverified peer.
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  // libcurl reads no CA variable by itself; the curl tool's convention lets private deployments bring a CA.
  const char* bundle = std::getenv("CURL_CA_BUNDLE");
  if (bundle && *bundle) curl_easy_setopt(easy, CURLOPT_CAINFO, bundle);
}

CURLSH* probe_share() {
  if (!shared_by_probes && (shared_by_probes = curl_share_init())) {
    curl_share_setopt(shared_by_probes, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(shared_by_probes, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(shared_by_probes, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
  return shared_by_probes;
}

void release_probe_share() {
  if (shared_by_probes) curl_share_cleanup(shared_by_probes);
  shared_by_probes = nullptr;
}
