// What the suites of the fetching steps share: a log they can read, a callback table that records its
// calls, an installation image published into a CDN tree, and nginx serving that tree on loopback.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "common/log.h"
#include "common/md5.h"
#include "download/http_downloader.h"
#include "launcher/update_settings.h"
#include "tests/support/nginx_fixture.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text_lines.h"
#include "tools/publisher/publisher.h"
#include "update/pipeline_state.h"
#include "update/unix_time.h"

namespace fetch_test {

// The "update" logger writing "<level> <message>" lines into a string.
class CapturedLog {
 public:
  CapturedLog() {
    spdlog::drop("update");
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
    auto logger = std::make_shared<spdlog::logger>("update", sink);
    logger->set_pattern("%l %v");
    spdlog::register_logger(logger);
    g_log_ready = 1;
  }
  ~CapturedLog() { spdlog::drop("update"); }
  std::vector<std::string> lines() const { return text_lines(stream_.str()); }

 private:
  std::ostringstream stream_;
};

struct SlotCall {
  std::string slot;
  int32_t done;
  int32_t total;
  bool operator==(const SlotCall&) const = default;
};

inline std::vector<SlotCall> g_slot_calls;
inline platform::Hwnd g_slot_window = reinterpret_cast<platform::Hwnd>(0x1234);
inline bool g_slot_window_seen_wrong = false;

inline void record(platform::Hwnd window, const char* slot, int32_t done = 0, int32_t total = 0) {
  if (window != g_slot_window) {
    g_slot_window_seen_wrong = true;
  }
  g_slot_calls.push_back({slot, done, total});
}

// Every slot the fetching steps may call, recording (slot, done, total) and checking the window.
inline UiCallbacks recording_callbacks() {
  UiCallbacks callbacks;
  callbacks.index_begin = [](platform::Hwnd w) { return record(w, "index_begin"), 0; };
  callbacks.index_end = [](platform::Hwnd w) { return record(w, "index_end"), 0; };
  callbacks.meta_begin = [](platform::Hwnd w) { return record(w, "meta_begin"), 0; };
  callbacks.meta_progress = [](platform::Hwnd w, int32_t d, int32_t t) { return record(w, "meta_progress", d, t), 0; };
  callbacks.sync_begin = [](platform::Hwnd w) { return record(w, "sync_begin"), 0; };
  callbacks.sync_progress = [](platform::Hwnd w, int32_t d, int32_t t) { return record(w, "sync_progress", d, t), 0; };
  return callbacks;
}

inline std::string md5_hex(const std::string& text) {
  unsigned char digest[16];
  md5_string(text.c_str(), digest);
  char hex[33];
  md5_to_hex(digest, hex);
  return hex;
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write_file(const std::filesystem::path& path, const std::string& content) {
  if (path.has_parent_path()) {
    std::filesystem::create_directories(path.parent_path());
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Bytes that do not compress, so a zip of them spans several download ranges.
inline std::string noise(size_t length, uint32_t seed) {
  std::string bytes(length, '\0');
  for (char& byte : bytes) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<char>(seed >> 24);
  }
  return bytes;
}

// A small installation: a launcher, a client program, a runtime library in bin/, and one empty directory.
inline void make_image(const std::filesystem::path& image) {
  write_file(image / "zantho.exe", noise(70000, 1));
  write_file(image / "zanthoui.exe", "client ui");
  write_file(image / "bin/quillon.dll", noise(600000, 2));
  std::filesystem::create_directories(image / "empty");
}

// The current directory is the program directory; "image/" is published into "cdn/", which nginx serves.
class PublishedCdnTest : public testing::Test {
 protected:
  void SetUp() override {
    scratch_.enter();
    g_settings = UpdateSettings{};
    g_slot_calls.clear();
    g_slot_window_seen_wrong = false;
    callbacks_ = recording_callbacks();
    g_ui_callbacks = &callbacks_;
    g_ui_window = g_slot_window;
    // As in a new process: the engine keeps the progress callback an earlier case's package download set.
    g_downloader->set_progress_callback(nullptr, nullptr);
    std::filesystem::create_directories("packages");
  }
  void TearDown() override {
    g_ui_callbacks = nullptr;
    g_ui_window = nullptr;
    set_unix_time_source(nullptr);
  }

  // Publishes the image with the given layout and starts nginx on the tree; settings point at it.
  void publish_and_serve(const std::vector<PackageLayout>& packages = {}) {
    make_image(scratch_ / "image");
    PublishOptions options{scratch_ / "image", scratch_ / "cdn", packages, ""};
    ASSERT_EQ(publish_tree(options, &published_), 0);
    serve();
  }
  void serve() {
    server_ = std::make_unique<NginxFixture>(scratch_ / "cdn", scratch_ / "nginx");
    ASSERT_TRUE(server_->ok()) << server_->error();
    const std::string host = test_host() + ":" + std::to_string(server_->http_port());
    g_settings.server_protocol = "http";
    g_settings.cdn_protocol = "http";
    g_settings.indexserver = host;
    g_settings.cdn_domain = host;
    g_settings.metains = published_.metains;
    g_settings.metaman = published_.metaman;
  }
  // The request lines nginx has logged ("<method> <uri> <range> ..."). nginx logs a request just after its
  // reply has gone out, so this waits (up to two seconds) until at least `at_least` lines are there.
  std::vector<std::string> requests(size_t at_least = 0) const {
    std::vector<std::string> result;
    for (int tries = 0; tries < 100; ++tries) {
      result.clear();
      std::ifstream in(server_->access_log());
      for (std::string line; std::getline(in, line);) {
        result.push_back(line);
      }
      if (result.size() >= at_least) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return result;
  }

  ScratchDir scratch_;
  UiCallbacks callbacks_;
  PublishResult published_;
  std::unique_ptr<NginxFixture> server_;
};

}  // namespace fetch_test
