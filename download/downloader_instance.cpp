#include "download/http_downloader.h"

HttpDownloader* downloader_instance() {
  // Never destroyed: the engine lives until the process ends.
  static HttpDownloader* const instance = new HttpDownloader();
  return instance;
}

// Made during the program image's initialisation, before the process entry runs.
HttpDownloader* g_downloader = downloader_instance();
