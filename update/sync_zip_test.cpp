#include "update/sync_zip.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "download/http_downloader.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/process.h"
#include "tests/support/fault_server.h"
#include "tests/support/free_port.h"
#include "tests/support/test_content.h"
#include "update/fetch_test_fixture.h"
#include "update/index_request.h"
#include "update/meta_integrity.h"
#include "update/meta_paths.h"

namespace {

using fetch_test::g_slot_calls;
using fetch_test::read_file;
using fetch_test::SlotCall;
using fetch_test::write_file;

class SyncZipTest : public fetch_test::PublishedCdnTest {
 protected:
  // Two packages; the served manifest is the local one.
  void publish_two() {
    publish_and_serve({{"core.zip", {"zantho.exe", "zanthoui.exe", "empty"}}, {"runtime.zip", {"bin"}}});
    write_file(manifest_json_path(), served("quembra_client_win32_manifest.json." + published_.metaman));
  }
  std::string served(const std::string& name) const { return read_file(scratch_ / "cdn" / name); }
  std::vector<std::string> zip_requests(size_t at_least) const {
    std::vector<std::string> uris;
    for (const std::string& line : requests(at_least)) {
      if (line.rfind("GET ", 0) == 0) {
        uris.push_back(line.substr(4, line.find(' ', 4) - 4));
      }
    }
    return uris;
  }
  fetch_test::CapturedLog log_;
};

TEST_F(SyncZipTest, DownloadsMissingAndPartialZipsByteForByte) {
  publish_two();
  const std::string runtime = served("runtime.zip");
  ASSERT_GT(runtime.size(), 600000u);
  write_file("packages/runtime.zip", runtime.substr(0, 300000));

  EXPECT_EQ(sync_zip_packages(), 0);
  EXPECT_EQ(read_file("packages/core.zip"), served("core.zip"));
  EXPECT_EQ(read_file("packages/runtime.zip"), runtime);

  ASSERT_GE(g_slot_calls.size(), 2u);
  EXPECT_EQ(g_slot_calls.front(), (SlotCall{"sync_begin", 0, 0}));
  const int32_t total = static_cast<int32_t>(served("core.zip").size() + runtime.size());
  EXPECT_EQ(g_slot_calls.back(), (SlotCall{"sync_progress", total, total}));
  for (size_t i = 1; i < g_slot_calls.size(); ++i) {
    EXPECT_EQ(g_slot_calls[i].slot, "sync_progress");
    EXPECT_EQ(g_slot_calls[i].total, total);
    EXPECT_GE(g_slot_calls[i].done, g_slot_calls[i - 1].done);
  }
  EXPECT_FALSE(fetch_test::g_slot_window_seen_wrong);
  // The partial zip was resumed: its first GET asks from where the local copy ended.
  bool resumed = false;
  for (const std::string& line : requests(5)) {
    if (line.rfind("GET /runtime.zip?", 0) == 0) {
      EXPECT_EQ(line.find("bytes=0-"), std::string::npos) << line;
      resumed = resumed || line.find("bytes=300000-") != std::string::npos;
    }
  }
  EXPECT_TRUE(resumed);
}

TEST_F(SyncZipTest, EveryPackageCurrentSkipsTheDownload) {
  publish_two();
  write_file("packages/core.zip", served("core.zip"));
  write_file("packages/runtime.zip", served("runtime.zip"));
  write_file("packages/stray.zip", "x");
  EXPECT_EQ(sync_zip_packages(), 0);
  EXPECT_EQ(g_slot_calls, (std::vector<SlotCall>{{"sync_begin", 0, 0}, {"sync_progress", 1, 1}}));
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{"info skip SYNC_ZIP"}));
  EXPECT_TRUE(requests().empty());
  EXPECT_FALSE(std::filesystem::exists("packages/stray.zip"));
}

TEST_F(SyncZipTest, PackageStillBadAfterTheRunIsUnableToConnect) {
  publish_two();
  write_file("packages/runtime.zip", served("runtime.zip"));
  write_file(manifest_json_path(), R"({"packages":[{"file":"core.zip","checksum":"0123456789abcdef0123456789abcdef"},
                                                   {"file":"runtime.zip","checksum":""}]})");
  EXPECT_EQ(sync_zip_packages(), 15);
  EXPECT_EQ(read_file("packages/core.zip"), served("core.zip"));
  EXPECT_EQ(zip_requests(2).size(), 1u);
}

TEST_F(SyncZipTest, UnusableManifestDeletesEveryZip) {
  const struct {
    const char* manifest;  // null: none
    int result;
  } cases[] = {{nullptr, 11}, {R"([{"file":"a.zip","checksum":""}])", 7}, {"not json", 7},
               {R"({"packages":[{"file":"a.zip","checksum":""},{"file":"../a.zip","checksum":""}]})", 7}};
  for (const auto& c : cases) {
    std::filesystem::remove(manifest_json_path());
    if (c.manifest != nullptr) {
      write_file(manifest_json_path(), c.manifest);
    }
    write_file("packages/a.zip", "x");
    write_file("packages/keep.txt", "x");
    g_slot_calls.clear();
    EXPECT_EQ(sync_zip_packages(), c.result);
    EXPECT_FALSE(std::filesystem::exists("packages/a.zip"));
    EXPECT_TRUE(std::filesystem::exists("packages/keep.txt"));
    EXPECT_EQ(g_slot_calls, (std::vector<SlotCall>{{"sync_begin", 0, 0}}));
  }
}

TEST_F(SyncZipTest, RefusedConnectionCannotConnect) {
  g_settings.cdn_protocol = "http";
  g_settings.cdn_domain = "127.0.0.1:" + std::to_string(free_port());
  write_file(manifest_json_path(), R"({"packages":[{"file":"a.zip","checksum":"00"}]})");
  write_file("packages/a.zip", "x");
  EXPECT_EQ(sync_zip_packages(), 15);
}

// Serves a zip of announced length, sends its first bytes, then nothing until released.
class StallingServer {
 public:
  StallingServer() {
    server_.Get("/slow.zip", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content_provider(4000, "application/zip",
                                    [this](size_t offset, size_t, httplib::DataSink& sink) {
                                      if (offset == 0) {
                                        sink.write(std::string(100, 'x').data(), 100);
                                        return true;
                                      }
                                      std::unique_lock<std::mutex> lock(mutex_);
                                      released_.wait_for(lock, std::chrono::seconds(20), [this] { return done_; });
                                      return false;
                                    });
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~StallingServer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    released_.notify_all();
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }

 private:
  httplib::Server server_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable released_;
  bool done_ = false;
  int port_ = 0;
};

TEST_F(SyncZipTest, NoDataForTheStallLimitIsATimeout) {
  StallingServer server;
  g_settings.cdn_protocol = "http";
  g_settings.cdn_domain = "127.0.0.1:" + std::to_string(server.port());
  write_file(manifest_json_path(), R"({"packages":[{"file":"slow.zip","checksum":"ff","size":4000}]})");
  g_sync_stall_seconds = 1;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sync_zip_packages(), 21);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  g_sync_stall_seconds = 60;
}

// One package "a.zip" of `size` bytes listed in the manifest and served by a fault server with `fault`.
class FaultyCdnTest : public SyncZipTest {
 protected:
  void list_package(size_t size, Fault fault) {
    zip_ = patterned_content(size);
    // The manifest's checksum is taken over text.
    std::replace(zip_.begin(), zip_.end(), '\0', '\1');
    server_.serve("a.zip", zip_, fault);
    g_settings.cdn_protocol = "http";
    g_settings.cdn_domain = "127.0.0.1:" + std::to_string(server_.port());
    write_file(manifest_json_path(), R"({"packages":[{"file":"a.zip","checksum":")" + fetch_test::md5_hex(zip_) +
                                         R"(","size":)" + std::to_string(size) + "}]}");
  }
  void TearDown() override {
    server_.release();
    platform::set_disk_full_path_suffix(nullptr, 0);
    platform::use_test_clock(false);
    SyncZipTest::TearDown();
  }

  FaultServer server_;
  std::string zip_;
};

TEST_F(FaultyCdnTest, FullDiskIsADownloadFailure) {
  list_package(2 * 1048576, Fault::kNone);
  platform::set_disk_full_path_suffix("packages/a.zip", 1048576 + 1000);
  EXPECT_EQ(sync_zip_packages(), 20);
  platform::set_disk_full_path_suffix(nullptr, 0);
  EXPECT_EQ(read_file("packages/a.zip"), zip_.substr(0, 1048576 + 1000));
  EXPECT_EQ(sync_zip_packages(), 0);
  EXPECT_EQ(read_file("packages/a.zip"), zip_);
}

// A server that answers ranges with the whole zip fails the step as any other download failure, and the log
// says why; so do servers whose GETs fail, after a few requests.
TEST_F(FaultyCdnTest, FailedRangesEndTheStepAndTheLogNamesAnIgnoredRange) {
  const size_t range = 262144;
  const struct {
    const char* name;
    size_t size;
    Fault fault;
    int result;
    bool range_line;
    size_t most_gets;
  } cases[] = {{"RangeIgnored", 40 * range, Fault::kIgnoreRange, 20, true, 5},
               {"RangeIgnoredOnAZipOfOneRange", 5000, Fault::kIgnoreRange, 0, false, 1},
               {"ServerErrors", 40 * range, Fault::kGetsFail500, 20, false, 5}};
  for (const auto& c : cases) {
    list_package(c.size, c.fault);
    std::filesystem::remove("packages/a.zip");
    const size_t gets_before = server_.gets("a.zip").size();
    const size_t lines_before = log_.lines().size();
    EXPECT_EQ(sync_zip_packages(), c.result) << c.name;
    EXPECT_LE(server_.gets("a.zip").size() - gets_before, c.most_gets) << c.name;
    const std::vector<std::string> lines = log_.lines();
    const bool logged = std::find(lines.begin() + static_cast<std::ptrdiff_t>(lines_before), lines.end(),
                                  "error range not honoured") != lines.end();
    EXPECT_EQ(logged, c.range_line) << c.name;
  }
}

// A probe that reports ten terabytes fails each fetching step at once with its own code, with no GET at all.
TEST_F(FaultyCdnTest, HugeProbedLengthFailsEachStepAtOnce) {
  list_package(5000, Fault::kNone);
  write_file("packages/a.zip", zip_.substr(0, 1000));
  const size_t huge = 10'000'000'000'000;
  server_.announce("a.zip", huge);
  for (const std::string& path : {std::string("api/clients.json"), std::string(kInstalledJsonName) + ".a",
                                  std::string(kManifestJsonName) + ".b"}) {
    server_.serve(path, "{}");
    server_.announce(path, huge);
  }
  g_settings.server_protocol = "http";
  g_settings.indexserver = g_settings.cdn_domain;
  g_settings.metains = "a";
  g_settings.metaman = "b";
  const std::string manifest = read_file(manifest_json_path());
  const struct {
    const char* name;
    int (*step)();
    int result;
  } cases[] = {{"Index", run_setup_index_data, 18}, {"Metadata", meta_json_integrity, 19},
               {"Package", sync_zip_packages, 20}};
  for (const auto& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.step(), c.result) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.name;
  }
  EXPECT_TRUE(server_.gets().empty());
  EXPECT_EQ(read_file("packages/a.zip"), zip_.substr(0, 1000));
  EXPECT_EQ(read_file(manifest_json_path()), manifest);
}

// The step's stall limit is a minute: under it a silent server is waited for, past it the step times out.
TEST_F(FaultyCdnTest, MinuteWithoutDataIsAStall) {
  list_package(5000, Fault::kSilentBody);
  platform::use_test_clock(true, 1000000);
  // The held request moves the clock just short of the limit; later the test moves it past.
  server_.on_hold([] { platform::advance_test_clock(59000); });
  std::atomic<bool> moved_past{false};
  std::thread mover([&moved_past] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    moved_past = true;
    platform::advance_test_clock(2000);
  });
  EXPECT_EQ(sync_zip_packages(), 21);
  EXPECT_TRUE(moved_past);
  mover.join();
  EXPECT_EQ(g_downloader->stall_seconds, 60u);
}

// The step sets the stall limit only on its way to a download; before it, the limit stays as it was.
TEST_F(FaultyCdnTest, StallLimitIsSetOnlyForTheDownload) {
  list_package(5000, Fault::kNone);
  const struct {
    const char* name;
    bool manifest;
    bool zip_present;
    int result;
    uint32_t stall_after;
  } cases[] = {{"NoManifest", false, false, 11, 7}, {"AllCurrent", true, true, 0, 7}, {"Download", true, false, 0, 60}};
  const std::string manifest = read_file(manifest_json_path());
  for (const auto& c : cases) {
    std::filesystem::remove(manifest_json_path());
    std::filesystem::remove("packages/a.zip");
    if (c.manifest) write_file(manifest_json_path(), manifest);
    if (c.zip_present) write_file("packages/a.zip", zip_);
    g_downloader->set_stall_timeout(7);
    EXPECT_EQ(sync_zip_packages(), c.result) << c.name;
    EXPECT_EQ(g_downloader->stall_seconds, c.stall_after) << c.name;
  }
}

// The downloader trusts the CA bundle named by CURL_CA_BUNDLE: with the test CA the download goes through,
// with a bundle that lacks it the server's certificate is not trusted.
TEST_F(SyncZipTest, UntrustedCertificateIsACertificateError) {
  publish_two();
  g_settings.cdn_protocol = "https";
  g_settings.cdn_domain = test_host() + ":" + std::to_string(server_->https_port());
  const char* previous = std::getenv("CURL_CA_BUNDLE");
  const std::string saved = previous != nullptr ? previous : "";
  ASSERT_TRUE(platform::set_environment_variable("CURL_CA_BUNDLE",
                                                 server_->certificates().untrusted_cert_file.string().c_str()));
  EXPECT_EQ(sync_zip_packages(), 22);
  ASSERT_TRUE(platform::set_environment_variable("CURL_CA_BUNDLE", server_->ca_file().string().c_str()));
  EXPECT_EQ(sync_zip_packages(), 0);
  EXPECT_EQ(read_file("packages/core.zip"), served("core.zip"));
  platform::set_environment_variable("CURL_CA_BUNDLE", previous != nullptr ? saved.c_str() : nullptr);
}

TEST(RelayProgressTest, PassesLowBitsOrNothingWithoutASlot) {
  g_slot_calls.clear();
  UiCallbacks callbacks;
  callbacks.sync_progress = [](platform::Hwnd w, int32_t done, int32_t total) {
    fetch_test::record(w, "sync_progress", done, total);
    return 42;
  };
  g_ui_callbacks = &callbacks;
  EXPECT_EQ(relay_progress(-1, 5, fetch_test::g_slot_window), 42);
  EXPECT_EQ(relay_progress((int64_t{1} << 32) + 7, (int64_t{1} << 32) + 3, fetch_test::g_slot_window), 42);
  EXPECT_EQ(g_slot_calls, (std::vector<SlotCall>{{"sync_progress", 5, -1}, {"sync_progress", 3, 7}}));
  callbacks.sync_progress = nullptr;
  EXPECT_EQ(relay_progress(10, 5, fetch_test::g_slot_window), 0);
  EXPECT_EQ(g_slot_calls.size(), 2u);
  g_ui_callbacks = nullptr;
}

}  // namespace
