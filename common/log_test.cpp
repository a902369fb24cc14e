#include "common/log.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kMaxLogSize = 5242880;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log_ready = 0;
    scratch_.enter();
  }
  void TearDown() override { spdlog::drop("update"); }

  std::string log_text(const std::string& name = "logs/update") const { return scratch_.read(name); }

  // Runs init_logger and returns what it printed.
  static std::string init_and_capture_stdout() {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(init_logger(), 0);
    return ::testing::internal::GetCapturedStdout();
  }

  ScratchDir scratch_;
};

std::vector<std::string> crlf_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "text after the last CR LF";
  return lines;
}

TEST_F(LogTest, FirstLineNamesVersionThenDefaultPatternInLocalTime) {
  EXPECT_EQ(init_and_capture_stdout(), "");
  ASSERT_EQ(g_log_ready, 1);
  log_to("update", spdlog::level::info, "precheck:{}", 1);
  log_to("update", spdlog::level::warn, "missing {}", "a.dll");
  log_to("update", spdlog::level::err, "UPDATE RES:{}", -1);

  std::vector<std::string> lines = crlf_lines(log_text());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\[[A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4}\])"
                                                    R"(\[process \d+\] \[thread \d+\] ver 2\.5\.6 begin log)")))
      << lines[0];
  const std::string stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[update\] )";
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(stamp + R"(\[info\] precheck:1)"))) << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(stamp + R"(\[warning\] missing a\.dll)"))) << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(stamp + R"(\[error\] UPDATE RES:-1)"))) << lines[3];

  // The stamp is local time: read back as local time it is now.
  std::tm stamped{};
  std::istringstream(lines[1].substr(1, 19)) >> std::get_time(&stamped, "%Y-%m-%d %H:%M:%S");
  stamped.tm_isdst = -1;
  EXPECT_LT(std::abs(std::difftime(std::mktime(&stamped), std::time(nullptr))), 60.0) << lines[1];
}

TEST_F(LogTest, SecondRunAppendsToTheSameFile) {
  scratch_.write("logs/update", "earlier run\r\n");
  init_and_capture_stdout();
  std::vector<std::string> lines = crlf_lines(log_text());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "earlier run");
  EXPECT_NE(lines[1].find("ver 2.5.6 begin log"), std::string::npos);
}

TEST_F(LogTest, RotatesWhenALineWouldPassTheLimitAndDropsTheOldest) {
  scratch_.write("logs/update.1", "generation 1\r\n");
  scratch_.write("logs/update.2", "generation 2\r\n");
  scratch_.write("logs/update.3", "generation 3\r\n");
  // Leave room for the first line and a few more.
  scratch_.write("logs/update", std::string(kMaxLogSize - 4096, 'o') + "\r\n");
  init_and_capture_stdout();
  ASSERT_EQ(g_log_ready, 1);

  // A line's overhead beyond its message, measured, so the next one can fill the file exactly.
  const std::uintmax_t before = fs::file_size(scratch_ / "logs/update");
  log_to("update", spdlog::level::info, "{}", "m");
  const std::uintmax_t overhead = fs::file_size(scratch_ / "logs/update") - before - 1;
  const std::uintmax_t room = kMaxLogSize - fs::file_size(scratch_ / "logs/update");
  ASSERT_GT(room, overhead);
  log_to("update", spdlog::level::info, "{}", std::string(room - overhead, 'f'));
  ASSERT_EQ(fs::file_size(scratch_ / "logs/update"), kMaxLogSize) << "a line that just fits must not rotate";
  EXPECT_EQ(log_text("logs/update.3"), "generation 3\r\n");

  log_to("update", spdlog::level::info, "{}", "after rotation");
  std::vector<std::string> fresh = crlf_lines(log_text());
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_NE(fresh[0].find("after rotation"), std::string::npos);
  EXPECT_EQ(fs::file_size(scratch_ / "logs/update.1"), kMaxLogSize);
  EXPECT_EQ(log_text("logs/update.2"), "generation 1\r\n");
  EXPECT_EQ(log_text("logs/update.3"), "generation 2\r\n");
  EXPECT_FALSE(fs::exists(scratch_ / "logs/update.4"));
}

// The log cannot be opened: the library's message goes to standard output and no line is written later.
void expect_unopenable_log(const ScratchDir& dir, size_t entries_in_logs) {
  g_log_ready = 0;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(init_logger(), 0);
  std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("logs/update"), std::string::npos) << printed;
  EXPECT_NE(printed.back(), '\n') << "no line end is added";
  EXPECT_EQ(g_log_ready, 0);
  EXPECT_EQ(spdlog::get("update"), nullptr);
  log_to("update", spdlog::level::err, "lost {}", 1);
  std::vector<fs::path> entries(fs::recursive_directory_iterator(dir / "logs"), {});
  EXPECT_EQ(entries.size(), entries_in_logs);
}

TEST_F(LogTest, LogPathThatIsADirectoryPrintsMessageAndWritesNothing) {
  fs::create_directories(scratch_ / "logs/update");
  expect_unopenable_log(scratch_, 1);
}

TEST_F(LogTest, ReadOnlyLogsDirectoryPrintsMessageAndWritesNothing) {
  fs::create_directories(scratch_ / "logs");
  fs::permissions(scratch_ / "logs", fs::perms::owner_read | fs::perms::owner_exec);
  if (std::ofstream(scratch_ / "logs/probe")) {
    GTEST_SKIP() << "this user (root) writes into read-only directories";
  }
  expect_unopenable_log(scratch_, 0);
}

// log_to writes nothing before set-up, for an unknown name and after the logger was dropped.
TEST_F(LogTest, LogToWritesNothingWithoutAReadyNamedLogger) {
  // Registered but not yet announced ready: still nothing is written.
  spdlog::rotating_logger_mt("update", "logs/update", kMaxLogSize, 3, false);
  log_to("update", spdlog::level::err, "before set-up");
  EXPECT_EQ(log_text(), "");
  spdlog::drop("update");

  init_and_capture_stdout();
  ASSERT_EQ(g_log_ready, 1);
  const std::string after_init = log_text();
  log_to("updates", spdlog::level::err, "unknown {}", 1);
  log_to(nullptr, spdlog::level::err, "null name");
  EXPECT_EQ(log_text(), after_init);

  log_to("update", spdlog::level::info, "kept");
  const std::string with_kept = log_text();
  EXPECT_NE(with_kept.find("kept\r\n"), std::string::npos);

  spdlog::drop("update");
  log_to("update", spdlog::level::err, "after drop {}", 2);
  EXPECT_EQ(log_text(), with_kept);
  EXPECT_EQ(g_log_ready, 1);
}

}  // namespace
