// Making libcurl easy handles, and the options every request of the engine carries (the probe's too).
#pragma once

#include <curl/curl.h>

// curl_easy_init, through a seam that tests may replace to make handle creation fail.
CURL* new_easy_handle();
using EasyInitFunction = CURL* (*)();
// Null puts curl_easy_init back.
void set_easy_init_function(EasyInitFunction function);

// Redirects (at most 5), HTTP/1.1, peer and host verification against the system's CA store, or against the
// PEM file named by CURL_CA_BUNDLE when that is set.
void set_request_options(CURL* easy);

// Connections, TLS sessions and name lookups shared by the size probes, which follow each other to the same
// hosts: they spare each probe its own connection and handshake. Null when it cannot be made.
CURLSH* probe_share();
// Closes what the probes kept; the next probe starts a new share. The engine calls it when a run ends.
void release_probe_share();
