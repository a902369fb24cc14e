#include "platform/process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/sync.h"
#include "tests/support/platform_dir.h"
#include "tests/support/probe_runner.h"
#include "tests/support/scratch_dir.h"

namespace {

// This test program, with the extension the system gives programs (".exe" on Windows).
std::filesystem::path own_program() {
  std::filesystem::path path = build_dir() / "platform/platform_tests";
  return std::filesystem::exists(path) ? path : path.replace_extension(".exe");
}

std::string narrow(const char16_t* wide) {
  char out[4096];
  return platform::wide_char_to_multi_byte(platform::CP_UTF8, 0, wide, -1, out, sizeof out) > 0 ? out : "";
}

TEST(ProcessTest, ModuleFileNameIsThisProgramAndIsCutLikeWindows) {
  char16_t path[1024];
  uint32_t length = platform::get_module_file_name(path, 1024);
  EXPECT_EQ(narrow(path), std::filesystem::canonical(own_program()).string());
  EXPECT_EQ(length, std::char_traits<char16_t>::length(path));

  char16_t cut[5] = {u'x', u'x', u'x', u'x', u'x'};
  EXPECT_EQ(platform::get_module_file_name(cut, 5), 5u);
  EXPECT_EQ(platform::last_error(), platform::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::u16string(cut), std::u16string(path, 4));
}

TEST(ProcessTest, SnapshotListsThisProcessByExecutableFileName) {
  platform::Handle snapshot = platform::create_process_snapshot();
  ASSERT_NE(snapshot, nullptr);
  platform::ProcessEntry entry;
  bool found = false;
  for (bool more = platform::process_first(snapshot, &entry); more; more = platform::process_next(snapshot, &entry)) {
    if (entry.process_id == platform::get_current_process_id()) {
      found = true;
      EXPECT_EQ(entry.exe_file, own_program().filename().string());
    }
  }
  EXPECT_EQ(platform::last_error(), platform::ERROR_NO_MORE_FILES);
  EXPECT_TRUE(found);
  EXPECT_TRUE(platform::close_handle(snapshot));
  EXPECT_FALSE(platform::process_first(snapshot, &entry));
}

TEST(ProcessTest, ProcessHandleGivesItsIdEndsWhenKilledAndRefusesNoProcess) {
  ScratchDir scratch;
  ScopedPlatformDir platform_dir(scratch / "state");
  std::string report = (scratch / "report").string();
  ProbeReport probe = start_probe({"mutex", "m", report, "30000"}, report);
  ASSERT_NE(probe.process_id, 0u);

  platform::Handle process = platform::open_process(probe.process_id);
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(platform::get_process_id(process), probe.process_id);
  EXPECT_EQ(platform::wait_for_single_object(process, 50), platform::WAIT_TIMEOUT);
  EXPECT_TRUE(platform::terminate_process(process, 0));
  EXPECT_EQ(platform::wait_for_single_object(process, 10000), platform::WAIT_OBJECT_0);
  EXPECT_TRUE(platform::close_handle(process));
  EXPECT_EQ(platform::get_process_id(process), 0u);
  EXPECT_EQ(platform::last_error(), platform::ERROR_INVALID_HANDLE);

  EXPECT_EQ(platform::open_process(0), nullptr);
  EXPECT_EQ(platform::last_error(), platform::ERROR_INVALID_PARAMETER);
}

TEST(ProcessTest, ThreadHandleIsSignalledWhenTheFunctionHasReturned) {
  static std::atomic<bool> release{false};
  static std::atomic<int> ran{0};
  static int argument = 7;
  platform::Handle thread = platform::create_thread(
      [](void* argument) -> uint32_t {
        while (!release) {
          platform::sleep_ms(1);
        }
        ran = *static_cast<int*>(argument);
        return 0;
      },
      &argument);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(platform::wait_for_single_object(thread, 30), platform::WAIT_TIMEOUT);
  release = true;
  EXPECT_EQ(platform::wait_for_single_object(thread, platform::INFINITE), platform::WAIT_OBJECT_0);
  EXPECT_EQ(ran, 7);
  EXPECT_TRUE(platform::close_handle(thread));
}

TEST(ProcessTest, TestClockRunsSleepsTickCountsAndTimeOutsWithoutWaiting) {
  auto real_start = std::chrono::steady_clock::now();
  platform::use_test_clock(true, 0xFFFFFF00u);
  platform::sleep_ms(0x200);
  EXPECT_EQ(platform::tick_count64(), 0x100000100u);
  EXPECT_EQ(platform::tick_count(), 0x100u);  // wrapped, as the 32-bit count does
  EXPECT_EQ(platform::monotonic_ns(), 0x100000100u * 1000000u);

  platform::sleep_ms(30000);
  platform::Handle event = platform::create_event(nullptr, true, false);
  EXPECT_EQ(platform::wait_for_single_object(event, 5000), platform::WAIT_TIMEOUT);
  EXPECT_EQ(platform::tick_count64(), 0x100000100u + 35000u);
  platform::advance_test_clock(1);
  EXPECT_EQ(platform::tick_count64(), 0x100000100u + 35001u);
  EXPECT_TRUE(platform::set_event(event));
  EXPECT_EQ(platform::wait_for_single_object(event, 5000), platform::WAIT_OBJECT_0);
  EXPECT_EQ(platform::tick_count64(), 0x100000100u + 35001u);  // a satisfied wait takes no time
  platform::close_handle(event);
  platform::use_test_clock(false);

  EXPECT_LT(std::chrono::steady_clock::now() - real_start, std::chrono::seconds(2));
  uint64_t before = platform::tick_count64();
  platform::sleep_ms(20);
  EXPECT_GE(platform::tick_count64() - before, 20u);
}

}  // namespace
