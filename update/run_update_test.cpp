#include "update/run_update.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/log.h"
#include "launcher/command_line.h"
#include "launcher/update_settings.h"
#include "platform/files.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text_lines.h"
#include "update/copy_tail.h"
#include "update/pipeline_state.h"

namespace {

// What each fake step returns, attempt by attempt (the last value repeats), and how often it ran.
struct FakeStep {
  std::vector<int> results{0};
  int calls = 0;
  int next() {
    int code = results[std::min<size_t>(calls, results.size() - 1)];
    ++calls;
    return code;
  }
};

FakeStep g_index, g_meta, g_check, g_sync, g_unzip, g_copy, g_service;
std::string g_checked_path;
std::vector<std::string> g_slot_calls;

const PipelineSteps kFakeSteps{
    [] { return g_index.next(); },
    [] { return g_meta.next(); },
    [](const char* path) {
      g_checked_path = path;
      return g_check.next();
    },
    [] { return g_sync.next(); },
    [] { return g_unzip.next(); },
    [] { return g_copy.next(); },
    [] { return g_service.next(); },
};

// The run deletes the table on every road: the sanitizer build reports a table left behind or deleted twice.
UiCallbacks* recording_table() {
  auto* table = new UiCallbacks;
  table->update_done = [](platform::Hwnd window, int32_t code) {
    g_slot_calls.push_back("done " + std::to_string(code) + (window ? " window" : ""));
    return 0;
  };
  table->update_error = [](platform::Hwnd window, int32_t id) {
    g_slot_calls.push_back("error " + std::to_string(id) + (window ? " window" : ""));
    return 0;
  };
  return table;
}

class RunUpdateTest : public testing::Test {
 protected:
  void SetUp() override {
    scratch_.enter();
    for (FakeStep* step : {&g_index, &g_meta, &g_check, &g_sync, &g_unzip, &g_copy, &g_service}) {
      *step = FakeStep{};
    }
    g_slot_calls.clear();
    g_checked_path.clear();
    g_settings = UpdateSettings{};
    g_launch_mode = kLaunchDefault;
    init_logger();
  }
  void TearDown() override { spdlog::drop("update"); }

  // The messages of the log after the first line, without the default pattern's prefix.
  std::vector<std::string> messages() {
    std::vector<std::string> lines = text_lines(scratch_.read("logs/update"));
    std::vector<std::string> messages;
    for (size_t i = 1; i < lines.size(); ++i) {
      size_t level_end = lines[i].find("] ", lines[i].find("] [update] ") + 11);
      messages.push_back(lines[i].substr(level_end + 2));
    }
    return messages;
  }

  int run() { return run_update_with(kFakeSteps, recording_table(), window_); }

  ScratchDir scratch_;
  platform::Hwnd window_ = reinterpret_cast<platform::Hwnd>(0x1234);
};

TEST_F(RunUpdateTest, IntactInstallationEndsAfterTheCheck) {
  g_check.results = {0};
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(messages(), (std::vector<std::string>{" start", "begin SETUP_INDEX_DATA", "end SETUP_INDEX_DATA",
                                                  "begin META_JSON_INTEGRITY", "end META_JSON_INTEGRITY",
                                                  "begin CHECK_INSTALLED_FILES",
                                                  "end CHECK_INSTALLED_FILES(completed)", "UPDATE RES:0"}));
  EXPECT_EQ(g_checked_path, "packages/quembra_client_win32_installed.json");
  EXPECT_EQ(g_sync.calls + g_service.calls, 0);
  EXPECT_EQ(g_slot_calls, (std::vector<std::string>{"done 0 window"}));
  EXPECT_FALSE(spdlog::get("update"));
}

TEST_F(RunUpdateTest, RepairRunsEveryStepThenTheService) {
  g_check.results = {9};
  EXPECT_EQ(run(), 0);
  std::vector<std::string> lines = messages();
  std::vector<std::string> tail(lines.begin() + 6, lines.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"end CHECK_INSTALLED_FILES(need repair)", "begin SYNC_ZIP", "end SYNC_ZIP",
                                            "begin UNZIP", "end UNZIP", "begin COPY", "end COPY",
                                            "end check_zantho_service", "UPDATE RES:0"}));
  EXPECT_EQ(g_service.calls, 1);
}

TEST_F(RunUpdateTest, UnreachableIndexFailsAfterFourAttempts) {
  g_index.results = {14};
  EXPECT_EQ(run(), -1);
  EXPECT_EQ(messages(), (std::vector<std::string>{" start", "begin SETUP_INDEX_DATA", "retry SETUP_INDEX_DATA",
                                                  "retry SETUP_INDEX_DATA", "retry SETUP_INDEX_DATA",
                                                  "error SETUP_INDEX_DATA", "error occur:14 224", "UPDATE RES:-1"}));
  EXPECT_EQ(g_index.calls, 4);
  EXPECT_EQ(g_meta.calls, 0);
  EXPECT_EQ(g_slot_calls, (std::vector<std::string>{"error 224 window"}));
}

TEST_F(RunUpdateTest, ThreeFailuresThenSuccessGoesOnAndTheNextStepBeginsAfresh) {
  g_meta.results = {19, 19, 19, 0};
  g_check.results = {0};
  EXPECT_EQ(run(), 0);
  std::vector<std::string> lines = messages();
  std::vector<std::string> middle(lines.begin() + 1, lines.begin() + 8);
  EXPECT_EQ(middle, (std::vector<std::string>{"begin SETUP_INDEX_DATA", "end SETUP_INDEX_DATA",
                                              "begin META_JSON_INTEGRITY", "retry META_JSON_INTEGRITY",
                                              "retry META_JSON_INTEGRITY", "retry META_JSON_INTEGRITY",
                                              "end META_JSON_INTEGRITY"}));
}

TEST_F(RunUpdateTest, OnlyTheLastAttemptsCodeIsReported) {
  g_check.results = {9};
  g_copy.results = {13, 13, 13, 11};
  EXPECT_EQ(run(), -1);
  std::vector<std::string> lines = messages();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "error COPY");
  EXPECT_EQ(lines[lines.size() - 2], "error occur:11 221");
  EXPECT_EQ(g_service.calls, 0);
}

TEST_F(RunUpdateTest, BackgroundModeStopsAfterSyncZipWhateverPrecheckSays) {
  g_launch_mode = kLaunchBackground;
  g_settings.precheck = 0;
  g_check.results = {9};
  EXPECT_EQ(run_update_with(kFakeSteps, new UiCallbacks, nullptr), 0);
  std::vector<std::string> lines = messages();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "end SYNC_ZIP");
  EXPECT_EQ(g_index.calls, 1);
  EXPECT_EQ(g_unzip.calls + g_copy.calls + g_service.calls, 0);
}

TEST_F(RunUpdateTest, PrecheckZeroRunsOnlyTheServiceStep) {
  g_settings.precheck = 0;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(messages(), (std::vector<std::string>{" start", "end check_zantho_service", "UPDATE RES:0"}));
  EXPECT_EQ(g_index.calls + g_meta.calls + g_check.calls + g_sync.calls, 0);
}

TEST_F(RunUpdateTest, ServiceStepFailureIsReportedWithItsStringId) {
  g_settings.precheck = 0;
  g_service.results = {10};
  EXPECT_EQ(run(), -1);
  EXPECT_EQ(messages(), (std::vector<std::string>{" start", "error check_zantho_service", "error occur:10 220",
                                                  "UPDATE RES:-1"}));
  EXPECT_EQ(g_slot_calls, (std::vector<std::string>{"error 220 window"}));
  EXPECT_EQ(g_service.calls, 1);
}

// A copy killed while its staging was being removed: every file is in place, so the check finds nothing to repair.
struct InterruptedCopyCase {
  const char* name;
  int service_result;
  int result;
  std::vector<std::string> tail;
};

void PrintTo(const InterruptedCopyCase& c, std::ostream* out) { *out << c.name; }

class InterruptedCopyTest : public RunUpdateTest, public testing::WithParamInterface<InterruptedCopyCase> {};

TEST_P(InterruptedCopyTest, CompletedCheckFinishesTheCopy) {
  scratch_.write("packages/copy.pending", "");
  scratch_.write("packages/tmp/data/a.txt", "a");
  scratch_.write("zantho.exe", "new launcher");
  scratch_.write("zantho.old.exe", "killed launcher");
  g_check.results = {0};
  g_service.results = {GetParam().service_result};
  EXPECT_EQ(run(), GetParam().result);
  std::vector<std::string> lines = messages();
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 5, lines.end()), GetParam().tail);
  EXPECT_EQ(g_service.calls, 1);
  EXPECT_EQ(g_sync.calls + g_unzip.calls + g_copy.calls, 0);
  EXPECT_FALSE(std::filesystem::exists(scratch_ / "packages/tmp"));
  EXPECT_FALSE(std::filesystem::exists(scratch_ / "zantho.old.exe"));
  EXPECT_FALSE(copy_tail_pending());
}

INSTANTIATE_TEST_SUITE_P(
    ServiceResults, InterruptedCopyTest,
    testing::Values(InterruptedCopyCase{"ServiceRestarted",
                                        0,
                                        0,
                                        {"begin CHECK_INSTALLED_FILES", "end CHECK_INSTALLED_FILES(completed)",
                                         "end check_zantho_service", "UPDATE RES:0"}},
                    InterruptedCopyCase{"ServiceProgramMissing",
                                        10,
                                        -1,
                                        {"begin CHECK_INSTALLED_FILES", "end CHECK_INSTALLED_FILES(completed)",
                                         "error check_zantho_service", "error occur:10 220", "UPDATE RES:-1"}}),
    [](const testing::TestParamInfo<InterruptedCopyCase>& info) { return std::string(info.param.name); });

// Extraction also leaves packages/tmp behind when killed; nothing was copied then, so the service is not restarted.
TEST_F(RunUpdateTest, StagingOfARunThatNeverCopiedRestartsNothing) {
  scratch_.write("packages/tmp/data/a.txt", "a");
  g_check.results = {0};
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(messages().back(), "UPDATE RES:0");
  EXPECT_EQ(g_service.calls, 0);
}

TEST_F(RunUpdateTest, BackgroundModeLeavesACutShortCopyToTheDialog) {
  g_launch_mode = kLaunchBackground;
  scratch_.write("packages/copy.pending", "");
  scratch_.write("packages/tmp/data/a.txt", "a");
  g_check.results = {0};
  EXPECT_EQ(run_update_with(kFakeSteps, new UiCallbacks, nullptr), 0);
  EXPECT_EQ(g_service.calls, 0);
  EXPECT_TRUE(std::filesystem::exists(scratch_ / "packages/tmp/data/a.txt"));
  EXPECT_TRUE(copy_tail_pending());
}

TEST_F(RunUpdateTest, StagingThatCannotBeRemovedFailsWithTheCopysCode) {
  scratch_.write("packages/copy.pending", "");
  scratch_.write("packages/tmp/locked.txt", "k");
  g_check.results = {0};
  platform::set_denied_path_suffix("/packages/tmp/locked.txt");
  int result = run();
  platform::set_denied_path_suffix(nullptr);
  EXPECT_EQ(result, -1);
  std::vector<std::string> lines = messages();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"end CHECK_INSTALLED_FILES(completed)", "error occur:13 223", "UPDATE RES:-1"}));
  EXPECT_EQ(g_slot_calls, (std::vector<std::string>{"error 223 window"}));
  EXPECT_EQ(g_service.calls, 0);
  EXPECT_TRUE(copy_tail_pending());
}

// The copy is pending from before its first file moves until the service step has run, whatever that gives.
struct PendingCase {
  const char* name;
  std::vector<int> copy_results;
  int service_result;
  int result;
  bool pending_after;
};

void PrintTo(const PendingCase& c, std::ostream* out) { *out << c.name; }

class PendingCopyTest : public RunUpdateTest, public testing::WithParamInterface<PendingCase> {};

std::vector<bool> g_pending_in_copy;

TEST_P(PendingCopyTest, RepairMarksItsCopy) {
  std::filesystem::create_directories(scratch_ / "packages");
  g_pending_in_copy.clear();
  PipelineSteps steps = kFakeSteps;
  steps.copy = [] {
    g_pending_in_copy.push_back(copy_tail_pending());
    return g_copy.next();
  };
  g_check.results = {9};
  g_copy.results = GetParam().copy_results;
  g_service.results = {GetParam().service_result};
  EXPECT_EQ(run_update_with(steps, recording_table(), window_), GetParam().result);
  EXPECT_EQ(g_pending_in_copy, std::vector<bool>(static_cast<size_t>(g_copy.calls), true));
  EXPECT_EQ(copy_tail_pending(), GetParam().pending_after);
}

INSTANTIATE_TEST_SUITE_P(Roads, PendingCopyTest,
                         testing::Values(PendingCase{"Copied", {0}, 0, 0, false},
                                         PendingCase{"CopiedOnRetryServiceFailed", {13, 0}, 2, -1, false},
                                         PendingCase{"CopyFailed", {13}, 0, -1, true}),
                         [](const testing::TestParamInfo<PendingCase>& info) { return std::string(info.param.name); });

TEST(UpdateErrorStringIds, MapEveryCode) {
  EXPECT_EQ(update_error_string_ids[0], 211);
  EXPECT_EQ(update_error_string_ids[1], 212);
  EXPECT_EQ(update_error_string_ids[2], 241);
  for (int code = 3; code <= 30; ++code) {
    EXPECT_EQ(update_error_string_ids[code], 210 + code) << code;
  }
}

}  // namespace
