// The built zantho.exe in a scratch installation, against nginx on loopback serving a published tree,
// with the stand-ins of the client UI, runtime and service program beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/md5.h"
#include "tests/support/deep_json.h"
#include "tests/support/free_port.h"
#include "tests/support/nginx_fixture.h"
#include "tests/support/platform_dir.h"
#include "tests/support/probe_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text_lines.h"
#include "platform/services.h"
#include "tools/publisher/publisher.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string random_bytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    c = static_cast<char>(random());
  }
  return bytes;
}

// The messages of the log's lines after the first, without the pattern's date, logger and level.
std::vector<std::string> log_messages(const fs::path& log) {
  std::vector<std::string> lines = text_lines(read_file(log));
  std::vector<std::string> messages;
  for (size_t i = 1; i < lines.size(); ++i) {
    size_t logger = lines[i].find("] [update] [");
    if (logger == std::string::npos) {
      continue;
    }
    size_t level_end = lines[i].find("] ", logger + 12);
    messages.push_back(lines[i].substr(level_end + 2));
  }
  return messages;
}

// Files are compared by content without printing it: a binary difference is shown as its size.
testing::AssertionResult same_content(const fs::path& actual, const fs::path& expected) {
  std::string a = read_file(actual), b = read_file(expected);
  if (a == b) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << actual << " (" << a.size() << " bytes) differs from " << expected << " ("
                                     << b.size() << " bytes)";
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Windows programs end their text lines with "\r\n".
std::vector<std::string> lines_of(const fs::path& path) { return text_lines(read_file(path)); }

class LauncherE2E : public testing::Test {
 protected:
  void SetUp() override {
    image_ = scratch_ / "image";
    cdn_ = scratch_ / "cdn";
    install_ = scratch_ / "install";
    fs::create_directories(cdn_);
    fs::create_directories(install_);
    nginx_ = std::make_unique<NginxFixture>(cdn_, scratch_ / "nginx");
    ASSERT_TRUE(nginx_->ok()) << nginx_->error();

    const fs::path standins = program_dir() / "standins";
    copy(launcher_program(), image_ / "zantho.exe");
    copy(standins / "zanthoui.exe", image_ / "zanthoui.exe");
    copy(standins / "bin" / "quillon.dll", image_ / "bin" / "quillon.dll");
    copy(standins / "ZanthoClientService.exe", image_ / "ZanthoClientService.exe");
    write_file(image_ / "data" / "readme.txt", "zantho games\n");
    write_file(image_ / "data" / "levels" / "one.bin", random_bytes(3 << 20, 1));
    write_file(image_ / "data" / "levels" / "two.bin", random_bytes(700000, 2));
  }

  // What the launcher left running (the client UI, the service with its waiter) and what the test started.
  // Under a runner those are the runner's, the service started by its service manager among them.
  void TearDown() override {
    if (std::string cleanup = program_cleanup(); !cleanup.empty()) {
      [[maybe_unused]] int none_left = std::system(cleanup.c_str());  // fails when nothing runs
    }
  }

  void copy(const fs::path& from, const fs::path& to) {
    fs::create_directories(to.parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  }

  void publish(const std::string& cdn_path = "") {
    PublishOptions options;
    options.image = image_;
    options.out = cdn_;
    options.packages = {{"programs.zip", {"zantho.exe", "zanthoui.exe", "ZanthoClientService.exe", "bin"}},
                        {"data.zip", {"*"}}};
    options.cdndomain = test_host() + ":" + std::to_string(nginx_->https_port()) + cdn_path;
    ASSERT_EQ(publish_tree(options, &published_), 0);
  }

  // The launcher alone with its configuration: everything else must come from the CDN.
  void install_launcher_only(const std::string& index_host = "") {
    copy(launcher_program(), install_ / "zantho.exe");
    std::string host = index_host.empty() ? test_host() + ":" + std::to_string(nginx_->https_port()) : index_host;
    write_file(install_ / "config.json", "{\"zantho\":{\"indexserver\":\"" + host + "\"}}");
  }

  // A complete installation of the published image.
  void install_everything() {
    install_launcher_only();
    for (const auto& entry : fs::recursive_directory_iterator(image_)) {
      if (entry.is_regular_file()) {
        copy(entry.path(), install_ / fs::relative(entry.path(), image_));
      }
    }
  }

  // The Windows programs' windows can be seen from another process, as the user sees them: a watcher records the
  // update dialog and answers each message box with OK, recording it as the POSIX layer records the boxes it shows
  // (whose windows no other process sees).
  bool watching_windows() const { return !program_runner().empty() && has_display(); }
  void watch_windows() {
    if (!watching_windows() || fs::exists(dialog_record())) {
      return;
    }
    std::string command = "cd '" + scratch_.path().string() + "' && " + program_runner() + "'" +
                          (program_dir() / "standins" / ("window_watcher" + program_suffix())).string() + "' '" +
                          program_path(dialog_record()) + "' '" + program_path(install_ / "message_boxes.txt") +
                          "' >/dev/null 2>&1 &";
    ASSERT_EQ(std::system(command.c_str()), 0);
    wait_for(dialog_record());
  }
  fs::path dialog_record() const { return scratch_ / "dialog.txt"; }

  // Runs install/zantho.exe with the arguments (a shell word list) and returns its exit code.
  int run_launcher(const std::string& arguments, const std::string& extra_env = "") {
    watch_windows();
    std::string command = "cd '" + install_.string() + "' && " + environment() + "CURL_CA_BUNDLE='" + nginx_->ca_file().string() +
                          "' ZANTHO_MESSAGE_BOX_LOG='" + (install_ / "message_boxes.txt").string() + "' " + extra_env + " " + program_runner() + "./zantho.exe " + arguments + " >stdout.txt 2>stderr.txt; echo $? >exit.txt";
    if (std::system(command.c_str()) != 0) {
      return -1000;
    }
    return std::stoi(read_file(install_ / "exit.txt"));
  }

  // The run's lines: from " start" on, after the configuration's.
  std::vector<std::string> log() {
    std::vector<std::string> lines = log_messages(install_ / "logs" / "update");
    auto start = std::find(lines.begin(), lines.end(), " start");
    return std::vector<std::string>(start, lines.end());
  }
  // The launcher may end before the client it started has written its line.
  std::vector<std::string> ui_calls() {
    fs::path calls = install_ / "zanthoui.calls";
    for (int i = 0; i < 1000 && !ends_with_line(calls); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return lines_of(calls);
  }
  static bool ends_with_line(const fs::path& file) {
    std::string text = fs::exists(file) ? read_file(file) : std::string();
    return !text.empty() && text.back() == '\n';
  }
  std::vector<std::string> runtime_calls() { return lines_of(install_ / "quillon.calls"); }

  void expect_installation_matches_image() {
    for (const auto& entry : fs::recursive_directory_iterator(image_)) {
      if (entry.is_regular_file()) {
        EXPECT_TRUE(same_content(install_ / fs::relative(entry.path(), image_), entry.path()));
      }
    }
  }

  // A run that copied the image in, with no message box, then restarted the client service.
  void expect_repaired_and_started() {
    expect_installation_matches_image();
    EXPECT_FALSE(fs::exists(install_ / "message_boxes.txt"));
    std::vector<std::string> lines = log();
    EXPECT_TRUE(contains(lines, "end COPY"));
    EXPECT_TRUE(contains(lines, "end check_zantho_service"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "UPDATE RES:0");
    // The service program installed the service and the launcher started it with the program directory.
    EXPECT_NE(read_file(install_ / "service_log.txt").find("-path=" + program_path(install_)), std::string::npos)
        << read_file(install_ / "service_log.txt");
  }

  static bool has_display() { return std::getenv("DISPLAY") != nullptr; }

  // Puts on the CDN, in place of the published metadata file `name`, {"checksum":…,member:value} sealed with
  // its right checksum, and has the index reply name it. Gives the file's text.
  std::string publish_metadata(const char* name, const std::string& member, const std::string& value) {
    const std::string hashed = "{\"" + member + "\":" + value + "}";
    unsigned char digest[16];
    md5_string(hashed.c_str(), digest);
    char hex[33];
    md5_to_hex(digest, hex);
    const std::string text = "{\"checksum\":\"" + std::string(hex) + "\"," + hashed.substr(1);
    write_file(cdn_ / (std::string(name) + "." + hex), text);
    std::string& published = name == std::string(kInstalledJsonName) ? published_.metains : published_.metaman;
    std::string index = read_file(cdn_ / "api" / "clients.json");
    const size_t at = index.find(published);
    EXPECT_NE(at, std::string::npos);
    index.replace(at, published.size(), hex);
    write_file(cdn_ / "api" / "clients.json", index);
    published = hex;
    return text;
  }

  std::string environment() const {
    return "env ZANTHO_PLATFORM_DIR='" + (scratch_ / "platform").string() + "' ";
  }

  // Runs `program` in the background in a directory of its own, alive for linger_ms, on this test's machine.
  void start_lingering(const fs::path& program, int linger_ms) {
    fs::path dir = scratch_ / ("elsewhere-" + std::to_string(++lingering_));
    fs::create_directories(dir);
    std::string command = "cd '" + dir.string() + "' && " + environment() + "ZANTHO_UI_LINGER_MS=" +
                          std::to_string(linger_ms) + " " + program_runner() + "'" + program.string() + "' >/dev/null 2>&1 &";
    ASSERT_EQ(std::system(command.c_str()), 0);
    wait_for(dir / "zanthoui.calls");
  }

  // Another process holds the single-instance mutex for hold_ms.
  void hold_instance_mutex(int hold_ms) {
    fs::path report = scratch_ / "mutex.report";
    std::string command = environment() + program_runner() + "'" + probe_program().string() +
                          "' mutex zantho.exe '" + program_path(report) + "' " + std::to_string(hold_ms) + " >/dev/null 2>&1 &";
    ASSERT_EQ(std::system(command.c_str()), 0);
    wait_for(report);
    ASSERT_NE(read_file(report).find("created"), std::string::npos);
  }

  // Stops the client service that a run left running, and waits until it has stopped.
  bool stop_client_service() {
    ScopedPlatformDir machine(scratch_ / "platform");
    platform::ScHandle manager = platform::open_sc_manager(nullptr, nullptr, platform::SC_MANAGER_CONNECT);
    platform::ScHandle service = platform::open_service(manager, "Zantho Client Service",
                                                        platform::SERVICE_STOP | platform::SERVICE_QUERY_STATUS);
    platform::ServiceStatus control{};
    bool stopped = platform::control_service(service, platform::SERVICE_CONTROL_STOP, &control);
    platform::ServiceStatusProcess status{};
    status.current_state = control.current_state;
    for (int i = 0; stopped && i < 500 && status.current_state != platform::SERVICE_STOPPED; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      uint32_t needed = 0;
      stopped = platform::query_service_status_ex(service, platform::SC_STATUS_PROCESS_INFO, &status,
                                                  sizeof status, &needed);
    }
    platform::close_service_handle(service);
    platform::close_service_handle(manager);
    return stopped && status.current_state == platform::SERVICE_STOPPED;
  }

  static void wait_for(const fs::path& file) {
    for (int i = 0; i < 500 && !fs::exists(file); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  int lingering_ = 0;

  ScratchDir scratch_;
  // This test's machine: what the test started there is ended when the test is over.
  ScopedPlatformDir machine_{scratch_ / "platform"};
  fs::path image_, cdn_, install_;
  std::unique_ptr<NginxFixture> nginx_;
  PublishResult published_;
};

TEST_F(LauncherE2E, BackgroundModeDownloadsThePackagesAndStartsNothing) {
  publish();
  install_launcher_only();
  EXPECT_EQ(run_launcher("-b"), 0);
  std::vector<std::string> lines = log();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "end SYNC_ZIP");
  EXPECT_EQ(lines.back(), "UPDATE RES:0");
  EXPECT_FALSE(contains(lines, "begin UNZIP"));
  EXPECT_TRUE(same_content(install_ / "packages" / "programs.zip", cdn_ / "programs.zip"));
  EXPECT_TRUE(same_content(install_ / "packages" / "data.zip", cdn_ / "data.zip"));
  EXPECT_FALSE(fs::exists(install_ / "zanthoui.calls"));
  EXPECT_FALSE(fs::exists(install_ / "zanthoui.exe"));
}

TEST_F(LauncherE2E, BackgroundModeWithTheIndexHostUnreachableFailsAfterFourAttempts) {
  publish();
  install_launcher_only("127.0.0.1:" + std::to_string(free_port()));
  EXPECT_EQ(run_launcher("-b"), 255);
  EXPECT_EQ(log(), (std::vector<std::string>{" start", "begin SETUP_INDEX_DATA", "retry SETUP_INDEX_DATA",
                                             "retry SETUP_INDEX_DATA", "retry SETUP_INDEX_DATA",
                                             "error SETUP_INDEX_DATA", "error occur:14 224", "UPDATE RES:-1"}));
}

TEST_F(LauncherE2E, RemovalDeletesTheListedPathsPackagesAndTheOldLauncher) {
  publish();
  install_everything();
  ASSERT_EQ(run_launcher("-b"), 0);  // stores the installed-file list in packages/
  write_file(install_ / "zantho.old.exe", "old");
  write_file(install_ / "saves" / "keep.txt", "not listed");
  EXPECT_EQ(run_launcher("/del"), 0);
  EXPECT_FALSE(fs::exists(install_ / "zanthoui.exe"));
  EXPECT_FALSE(fs::exists(install_ / "bin" / "quillon.dll"));
  EXPECT_FALSE(fs::exists(install_ / "data" / "levels" / "one.bin"));
  EXPECT_FALSE(fs::exists(install_ / "packages"));
  EXPECT_FALSE(fs::exists(install_ / "zantho.old.exe"));
  EXPECT_TRUE(fs::exists(install_ / "saves" / "keep.txt"));
}

TEST_F(LauncherE2E, RemovalTakesAListedNameThatBecameALinkAsTheLink) {
  publish();
  install_everything();
  ASSERT_EQ(run_launcher("-b"), 0);
  write_file(scratch_ / "outside" / "keep.txt", "outside");
  fs::remove(install_ / "zanthoui.exe");
  fs::create_directory_symlink(scratch_ / "outside", install_ / "zanthoui.exe");
  EXPECT_EQ(run_launcher("/del"), 0);
  EXPECT_EQ(read_file(scratch_ / "outside" / "keep.txt"), "outside");
  EXPECT_FALSE(fs::exists(fs::symlink_status(install_ / "zanthoui.exe")));
}

// A module path cut to 259 characters would name a parent of the program directory.
TEST_F(LauncherE2E, AProgramDirectoryLongerThanTheUsualLimitIsTheOneUsed) {
  publish();
  fs::path top = scratch_ / "long";
  install_ = top;
  for (int level = 0; install_.string().size() < 300; ++level) {
    install_ /= std::string(60, static_cast<char>('a' + level));
  }
  install_launcher_only();
  EXPECT_EQ(run_launcher("/del"), 0) << read_file(install_ / "stdout.txt") << read_file(install_ / "stderr.txt");
  EXPECT_TRUE(fs::is_directory(install_ / "logs"));
  EXPECT_TRUE(fs::is_directory(install_ / "packages"));
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    const std::string path = entry.path().string();
    bool on_the_way = (install_.string() + "/").rfind(path + "/", 0) == 0;
    EXPECT_TRUE(on_the_way || path.rfind(install_.string() + "/", 0) == 0) << path;
  }
}

// The launcher's paths are UTF-8: Windows must be handed them so that it reads them as such, not in the system's
// code page, or a directory named in Chinese is not found (the Windows suite runs these cases also with a launcher
// whose manifest lacks the UTF-8 code page, as Windows before 10 1903 runs it).
TEST_F(LauncherE2E, ANonAsciiProgramDirectoryIsTheOneUsed) {
  publish();
  install_ = scratch_ / "游戏 目录" / "zantho";
  install_launcher_only();
  EXPECT_EQ(run_launcher("-b"), 0) << read_file(install_ / "stderr.txt");
  std::vector<std::string> lines = log();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "UPDATE RES:0");
  EXPECT_TRUE(same_content(install_ / "packages" / "programs.zip", cdn_ / "programs.zip"));
  EXPECT_TRUE(same_content(install_ / "packages" / "data.zip", cdn_ / "data.zip"));
  EXPECT_EQ(run_launcher("/del"), 0);
  EXPECT_FALSE(fs::exists(install_ / "packages"));
}

TEST_F(LauncherE2E, ANonAsciiProgramDirectoryIsInstalledAndStartedInTheDefaultMode) {
  if (!has_display()) GTEST_SKIP() << "no display";
  publish();
  install_ = scratch_ / "游戏 目录" / "zantho";
  install_launcher_only();
  EXPECT_EQ(run_launcher(""), 0) << testing::PrintToString(log());
  expect_repaired_and_started();
  EXPECT_EQ(ui_calls(), (std::vector<std::string>{program_path(install_)}));
  EXPECT_EQ(runtime_calls(), (std::vector<std::string>{"QuillonEntry"}));
  EXPECT_EQ(run_launcher("/del"), 0);
  EXPECT_FALSE(fs::exists(install_ / "zanthoui.exe"));
  EXPECT_FALSE(fs::exists(install_ / "data" / "levels" / "one.bin"));
  EXPECT_FALSE(fs::exists(install_ / "packages"));
}

TEST_F(LauncherE2E, DefaultModeOnAnIntactInstallationStartsTheClient) {
  if (!has_display()) GTEST_SKIP() << "no display";
  publish();
  install_everything();
  EXPECT_EQ(run_launcher(""), 0);
  EXPECT_EQ(log(), (std::vector<std::string>{" start", "begin SETUP_INDEX_DATA", "end SETUP_INDEX_DATA",
                                             "begin META_JSON_INTEGRITY", "end META_JSON_INTEGRITY",
                                             "begin CHECK_INSTALLED_FILES", "end CHECK_INSTALLED_FILES(completed)",
                                             "UPDATE RES:0"}));
  EXPECT_EQ(ui_calls(), (std::vector<std::string>{program_path(install_)}));
  EXPECT_EQ(runtime_calls(), (std::vector<std::string>{"QuillonEntry"}));
}

TEST_F(LauncherE2E, DefaultModeRepairsADamagedInstallationAndReplacesItself) {
  if (!has_display()) GTEST_SKIP() << "no display";
  // The published launcher is a newer build: the same program with a different image.
  write_file(image_ / "zantho.exe", read_file(image_ / "zantho.exe") + "newer build");
  publish();
  install_launcher_only();
  write_file(install_ / "data" / "readme.txt", "damaged");
  EXPECT_EQ(run_launcher(""), 0);
  expect_repaired_and_started();
  // The launcher still runs from zantho.old.exe while it tries to remove it, so the file stays for the
  // next copy to remove.
  EXPECT_TRUE(same_content(install_ / "zantho.old.exe", launcher_program()));
  EXPECT_EQ(ui_calls().size(), 1u);
  EXPECT_EQ(runtime_calls().size(), 1u);
}

// The phases the update dialog showed, in the order of the run: "dialog", then "<phase line>\t<bar>" as each changed.
void expect_dialog_shown_in_order(const std::vector<std::string>& record) {
  const std::string phases[] = {"Synchronize index data...", "Synchronize metadata...", "Sync file package...",
                                "Expand file...", "Copy file..."};
  ASSERT_GE(record.size(), 2u) << "no dialog seen";
  EXPECT_EQ(record[0], "dialog");
  size_t reached = 0;
  for (size_t i = 1; i < record.size(); ++i) {
    const std::string& state = record[i];
    size_t tab = state.rfind('\t');
    ASSERT_NE(tab, std::string::npos) << state;
    const std::string text = state.substr(0, tab);
    const int bar = std::stoi(state.substr(tab + 1));
    EXPECT_TRUE(bar >= 0 && bar <= 100) << state;
    if (text.empty()) {
      EXPECT_EQ(i, 1u) << "an empty phase line after a phase";
      continue;
    }
    auto phase = std::find_if(std::begin(phases), std::end(phases),
                              [&](const std::string& p) { return text.rfind(p, 0) == 0; });
    ASSERT_NE(phase, std::end(phases)) << state;
    size_t rank = static_cast<size_t>(phase - std::begin(phases));
    EXPECT_GE(rank, reached) << state << " after " << phases[reached];
    reached = std::max(reached, rank);
  }
  // The download takes seconds: a watcher that looks every few milliseconds sees it.
  EXPECT_GE(reached, 2u) << "the download was not seen";
}

// From the launcher alone, everything else comes from the CDN; the client gets the launch URL's game id.
TEST_F(LauncherE2E, DefaultModeFillsAnEmptyInstallationAndStartsTheClientWithTheGameId) {
  if (!has_display()) GTEST_SKIP() << "no display";
  publish();
  install_launcher_only();
  EXPECT_EQ(run_launcher("'\"zantho://x/42\"'"), 0);
  expect_repaired_and_started();
  EXPECT_EQ(ui_calls(), (std::vector<std::string>{program_path(install_) + "|-gameid=42"}));
  EXPECT_EQ(runtime_calls(), (std::vector<std::string>{"QuillonEntry"}));
  if (watching_windows()) {
    expect_dialog_shown_in_order(lines_of(dialog_record()));
  }
}

TEST_F(LauncherE2E, PrecheckZeroRunsOnlyTheServiceStep) {
  if (!has_display()) GTEST_SKIP() << "no display";
  publish();
  install_everything();
  write_file(install_ / "config.json", "{\"zantho\":{\"precheck\":0}}");
  EXPECT_EQ(run_launcher(""), 0);
  EXPECT_EQ(log(), (std::vector<std::string>{" start", "end check_zantho_service", "UPDATE RES:0"}));
}

// What the service step leaves running must not pass for a running launcher: the next start repairs.
TEST_F(LauncherE2E, AStartWhileTheClientServiceRunsStillRepairs) {
  if (!has_display()) GTEST_SKIP() << "no display";
  publish();
  install_everything();
  std::string host = "127.0.0.1:" + std::to_string(nginx_->https_port());
  write_file(install_ / "config.json", "{\"zantho\":{\"indexserver\":\"" + host + "\",\"precheck\":0}}");
  ASSERT_EQ(run_launcher(""), 0);
  ASSERT_NE(read_file(install_ / "service_log.txt").find("-path="), std::string::npos);

  write_file(install_ / "config.json", "{\"zantho\":{\"indexserver\":\"" + host + "\"}}");
  write_file(install_ / "data" / "readme.txt", "damaged");
  EXPECT_EQ(run_launcher(""), 0);
  expect_installation_matches_image();
  EXPECT_TRUE(contains(log(), "end COPY"));
  EXPECT_TRUE(stop_client_service());
}

// Windows keeps the service program a running service holds: the copy moves it aside and puts the new one in its
// place, and the service step starts the service from the new one.
TEST_F(LauncherE2E, AnUpdateOfTheServiceProgramWhileTheServiceRunsIsInstalled) {
  if (!has_display()) GTEST_SKIP() << "no display";
  publish();
  install_everything();
  write_file(install_ / "config.json", "{\"zantho\":{\"precheck\":0}}");
  ASSERT_EQ(run_launcher(""), 0);
  const fs::path service = install_ / "ZanthoClientService.exe";
  ASSERT_NE(read_file(install_ / "service_log.txt").find("image " + std::to_string(fs::file_size(service))),
            std::string::npos);

  write_file(image_ / "ZanthoClientService.exe", read_file(image_ / "ZanthoClientService.exe") + "newer build");
  write_file(image_ / "data" / "readme.txt", "zantho games, newer\n");
  publish();
  install_launcher_only();
  EXPECT_EQ(run_launcher(""), 0);
  expect_repaired_and_started();
  std::string service_log = read_file(install_ / "service_log.txt");
  size_t last_start = service_log.rfind("start|");
  ASSERT_NE(last_start, std::string::npos);
  EXPECT_EQ(text_lines(service_log.substr(last_start)).at(1),
            "image " + std::to_string(fs::file_size(image_ / "ZanthoClientService.exe")))
      << service_log;
  // The old program was still running when the copy moved it aside.
  EXPECT_TRUE(fs::exists(install_ / "ZanthoClientService.exe.zantho-old"));
  // Under a runner the service is its service manager's, which the cleanup ends.
  if (program_runner().empty()) {
    EXPECT_TRUE(stop_client_service());
  }
}

TEST_F(LauncherE2E, AFailedUpdateStillStartsTheClientAndEndsWithTheDialogsResult) {
  if (!has_display()) GTEST_SKIP() << "no display";
  publish();
  install_everything();
  write_file(install_ / "config.json",
             "{\"zantho\":{\"indexserver\":\"127.0.0.1:" + std::to_string(free_port()) + "\"}}");
  EXPECT_EQ(run_launcher(""), 255);  // 65535 in eight bits
  ASSERT_FALSE(log().empty());
  EXPECT_EQ(log().back(), "UPDATE RES:-1");
  EXPECT_EQ(ui_calls().size(), 1u);
  EXPECT_EQ(runtime_calls().size(), 1u);
}

TEST_F(LauncherE2E, MissingRuntimeIsReportedAndNotCalled) {
  if (!has_display()) GTEST_SKIP() << "no display";
  publish();
  install_everything();
  fs::remove(install_ / "bin" / "quillon.dll");
  // The installed-file check repairs the runtime, so keep it away from the CDN as well.
  write_file(install_ / "config.json", "{\"zantho\":{\"precheck\":0}}");
  EXPECT_EQ(run_launcher(""), 0);
  EXPECT_EQ(ui_calls().size(), 1u);
  EXPECT_FALSE(fs::exists(install_ / "quillon.calls"));
  // The loader's message follows the client UI's start: dlerror names the file, Windows' text for a missing module
  // does not.
  std::vector<std::string> out = lines_of(install_ / "stdout.txt");
  auto started = std::find(out.begin(), out.end(), "ret : 0");
  ASSERT_TRUE(started != out.end() && started + 1 != out.end()) << read_file(install_ / "stdout.txt");
  EXPECT_FALSE(started[1].empty());
  if (program_runner().empty()) {
    EXPECT_NE(started[1].find("quillon.dll"), std::string::npos) << started[1];
  }
  EXPECT_EQ(lines_of(install_ / "message_boxes.txt"),
            (std::vector<std::string>{"zantho games\tCore component missing error"}));
}

TEST_F(LauncherE2E, MissingClientUiShowsTheStartFailureAndSkipsTheRuntime) {
  if (!has_display()) GTEST_SKIP() << "no display";
  publish();
  install_everything();
  fs::remove(install_ / "zanthoui.exe");
  write_file(install_ / "config.json", "{\"zantho\":{\"precheck\":0}}");
  EXPECT_EQ(run_launcher(""), 0);
  EXPECT_NE(read_file(install_ / "stdout.txt").find("ret : 1"), std::string::npos);
  EXPECT_FALSE(fs::exists(install_ / "quillon.calls"));
  EXPECT_EQ(lines_of(install_ / "message_boxes.txt"),
            (std::vector<std::string>{"zantho games\tIf the startup fails, you can restart zantho.exe to try again. If "
                                      "the problem remains, please visit the our community for help."}));
}

TEST_F(LauncherE2E, ASecondLauncherFindsTheMutexTaken) {
  publish();
  install_everything();
  hold_instance_mutex(8000);
  EXPECT_EQ(run_launcher("-b"), 255);
  EXPECT_EQ(run_launcher("/del"), 255);
  EXPECT_FALSE(fs::exists(install_ / "logs"));
  EXPECT_TRUE(fs::exists(install_ / "zanthoui.exe"));
}

TEST_F(LauncherE2E, DefaultModeHandsOverToARunningClientWithTheGameId) {
  publish();
  install_everything();
  start_lingering(install_ / "zanthoui.exe", 60000);
  EXPECT_EQ(run_launcher("'\"zantho://x/42\"'"), 0);
  EXPECT_EQ(ui_calls(), (std::vector<std::string>{program_path(install_) + "|-gameid=42"}));
  EXPECT_FALSE(fs::exists(install_ / "logs"));
  EXPECT_FALSE(fs::exists(install_ / "packages"));
}

TEST_F(LauncherE2E, DefaultModeHandsOverToAnotherRunningLauncher) {
  publish();
  install_everything();
  // Any program whose executable is named zantho.exe counts as a launcher.
  fs::path other = scratch_ / "other" / "zantho.exe";
  copy(program_dir() / "standins" / "zanthoui.exe", other);
  start_lingering(other, 60000);
  EXPECT_EQ(run_launcher(""), 0);
  EXPECT_EQ(ui_calls(), (std::vector<std::string>{program_path(install_)}));
  EXPECT_FALSE(fs::exists(install_ / "logs"));
}

TEST_F(LauncherE2E, WaitModeGivesUpWhileTheClientKeepsRunning) {
  publish();
  install_everything();
  // The client outlives the wait by far, so a slow machine cannot see it end; the fixture ends it.
  start_lingering(install_ / "zanthoui.exe", 60000);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run_launcher("-n"), 0);
  auto waited = std::chrono::steady_clock::now() - start;
  // 25 pauses of 400 ms; each of the 26 looks at the process list, which takes seconds on a loaded machine.
  EXPECT_GE(waited, std::chrono::milliseconds(9500));
  EXPECT_LT(waited, std::chrono::milliseconds(30000));
  EXPECT_FALSE(fs::exists(install_ / "logs"));
  EXPECT_FALSE(fs::exists(install_ / "zanthoui.calls"));
}

TEST_F(LauncherE2E, WaitModeGoesOnOnceTheClientHasEnded) {
  if (!has_display()) GTEST_SKIP() << "no display";
  publish();
  install_everything();
  start_lingering(install_ / "zanthoui.exe", 1500);
  EXPECT_EQ(run_launcher("-n"), 0);
  ASSERT_FALSE(log().empty());
  EXPECT_EQ(log().back(), "UPDATE RES:0");
  EXPECT_EQ(ui_calls(), (std::vector<std::string>{program_path(install_)}));
  EXPECT_EQ(runtime_calls(), (std::vector<std::string>{"QuillonEntry"}));
}

TEST_F(LauncherE2E, AKilledDownloadResumesOnTheNextRun) {
  write_file(image_ / "data" / "levels" / "one.bin", random_bytes(6 << 20, 3));
  publish("/slow");
  install_launcher_only();
  fs::path partial = install_ / "packages" / "data.zip";
  std::string command = "cd '" + install_.string() + "' && " + environment() + "CURL_CA_BUNDLE='" +
                        nginx_->ca_file().string() + "' " + program_runner() + "./zantho.exe -b >/dev/null 2>&1 & pid=$!; " +
                        "for i in $(seq 1 1000); do s=$(stat -c %s '" + partial.string() +
                        "' 2>/dev/null || echo 0); [ \"$s\" -gt 1048576 ] && break; sleep 0.01; done; kill -9 $pid";
  ASSERT_EQ(std::system(command.c_str()), 0);
  uintmax_t left_behind = fs::file_size(partial);
  ASSERT_GT(left_behind, 1048576u);
  ASSERT_LT(left_behind, fs::file_size(cdn_ / "data.zip"));

  EXPECT_EQ(run_launcher("-b"), 0);
  EXPECT_TRUE(same_content(partial, cdn_ / "data.zip"));
  EXPECT_TRUE(same_content(install_ / "packages" / "programs.zip", cdn_ / "programs.zip"));
  // The second run asked only for what was missing: no request of data.zip starts at its first byte again.
  int ranged_from_start = 0;
  for (const std::string& line : lines_of(nginx_->access_log())) {
    if (line.find("/slow/data.zip") != std::string::npos && line.find("bytes=0-") != std::string::npos) {
      ++ranged_from_start;
    }
  }
  EXPECT_EQ(ranged_from_start, 1) << read_file(nginx_->access_log());
}

}  // namespace

namespace {

// JSON nested deeper than a recursive parser's stack allows, in each place the launcher reads JSON from.
struct DeepJsonCase {
  const char* name;
  const char* metadata;  // the metadata file carrying it; nullptr: the index reply is the deep text itself
  const char* member;    // the member of the metadata file holding the deep value
  bool objects;          // nested objects rather than arrays
  int exit_code;
  std::vector<std::string> tail;  // the last lines of the log
};

std::ostream& operator<<(std::ostream& out, const DeepJsonCase& c) { return out << c.name; }

class DeepJsonE2E : public LauncherE2E, public testing::WithParamInterface<DeepJsonCase> {
 protected:
  std::string deep() const { return GetParam().objects ? nested_objects(kDeepObjects) : nested_arrays(kDeepArrays); }
  std::string deep_in_list() const { return GetParam().objects ? "[" + deep() + "]" : deep(); }

  // The run's last lines, as many as the case names.
  std::vector<std::string> log_tail() {
    std::vector<std::string> lines = log();
    const size_t n = std::min(lines.size(), GetParam().tail.size());
    return std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(n), lines.end());
  }
};

// Served, then stored under the checksum the index names, then read by the removal: each ends with its step's
// result, and a good publication afterwards repairs the installation.
TEST_P(DeepJsonE2E, BackgroundModeEndsWithTheStepsResultAndTheRemovalStillWorks) {
  const DeepJsonCase& c = GetParam();
  publish();
  install_launcher_only();
  std::string stored;
  if (c.metadata == nullptr) {
    write_file(cdn_ / "api" / "clients.json", deep());
  } else {
    stored = publish_metadata(c.metadata, c.member, deep_in_list());
  }
  EXPECT_EQ(run_launcher("-b"), c.exit_code)
      << read_file(install_ / "stdout.txt") << read_file(install_ / "logs" / "update");
  EXPECT_EQ(log_tail(), c.tail);
  if (c.metadata == nullptr) {
    return;
  }
  const fs::path kept = install_ / "packages" / c.metadata;
  ASSERT_TRUE(read_file(kept) == stored) << "the deep file is not the one stored";
  // Stored under the checksum the index still names, it is read again rather than downloaded.
  EXPECT_EQ(run_launcher("-b"), c.exit_code);
  EXPECT_EQ(log_tail(), c.tail);

  write_file(install_ / "zantho.old.exe", "old");
  EXPECT_EQ(run_launcher("/del"), 0);
  EXPECT_FALSE(fs::exists(install_ / "packages"));
  EXPECT_FALSE(fs::exists(install_ / "zantho.old.exe"));
  EXPECT_TRUE(fs::exists(install_ / "zantho.exe"));

  // A good publication replaces the stored file and installs.
  ASSERT_EQ(run_launcher("-b"), c.exit_code);  // stores it again
  publish();
  EXPECT_EQ(run_launcher("-b"), 0);
  EXPECT_FALSE(read_file(kept) == stored);
  EXPECT_EQ(log().back(), "UPDATE RES:0");
}

INSTANTIATE_TEST_SUITE_P(
    Places, DeepJsonE2E,
    testing::Values(
        DeepJsonCase{"IndexReplyArrays", nullptr, "", false, 255,
                     {"error SETUP_INDEX_DATA", "error occur:4 214", "UPDATE RES:-1"}},
        DeepJsonCase{"IndexReplyObjects", nullptr, "", true, 255,
                     {"error SETUP_INDEX_DATA", "error occur:4 214", "UPDATE RES:-1"}},
        DeepJsonCase{"ManifestArrays", kManifestJsonName, "packages", false, 255,
                     {"error SYNC_ZIP", "error occur:7 217", "UPDATE RES:-1"}},
        DeepJsonCase{"ManifestObjects", kManifestJsonName, "packages", true, 255,
                     {"error SYNC_ZIP", "error occur:7 217", "UPDATE RES:-1"}},
        // A list outside its format needs repair (the synchronisation runs), and the background mode only downloads.
        DeepJsonCase{"InstalledListArrays", kInstalledJsonName, "files", false, 0,
                     {"end SYNC_ZIP", "UPDATE RES:0"}},
        DeepJsonCase{"InstalledListObjects", kInstalledJsonName, "files", true, 0,
                     {"end SYNC_ZIP", "UPDATE RES:0"}}),
    [](const testing::TestParamInfo<DeepJsonCase>& info) { return std::string(info.param.name); });

// The dialog ends with the failed run, and the client still starts; the next start repairs once the CDN is good.
TEST_F(LauncherE2E, DefaultModeWithDeepMetadataFailsTheUpdateAndStartsTheClient) {
  if (!has_display()) GTEST_SKIP() << "no display";
  publish();
  install_everything();
  publish_metadata(kManifestJsonName, "packages", nested_arrays(kDeepArrays));
  publish_metadata(kInstalledJsonName, "files", "[" + nested_objects(kDeepObjects) + "]");
  EXPECT_EQ(run_launcher(""), 255);
  ASSERT_FALSE(log().empty());
  EXPECT_TRUE(contains(log(), "error occur:7 217"));
  EXPECT_EQ(log().back(), "UPDATE RES:-1");
  EXPECT_EQ(ui_calls().size(), 1u);
  EXPECT_EQ(runtime_calls().size(), 1u);
}

}  // namespace
