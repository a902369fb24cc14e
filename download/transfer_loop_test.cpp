#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "download/easy_handle.h"
#include "download/engine_test_fixture.h"
#include "platform/process.h"
#include "tests/support/free_port.h"

namespace {

const size_t kRange = 262144;

struct QueuedFile {
  std::string name;  // also the output file; "refused" goes to a port nothing listens on, and so does a
                     // kRedirect, after its delay
  size_t size;
  Fault fault;
  int delay_ms;
  bool arrives;  // the file must then hold the content exactly
};

struct ResultCase {
  const char* name;
  std::vector<QueuedFile> files;
  DownloadResult result;
};

void PrintTo(const ResultCase& c, std::ostream* os) { *os << c.name; }

class ResultTest : public EngineTest, public testing::WithParamInterface<ResultCase> {};

TEST_P(ResultTest, RunReportsTheLatestFailure) {
  const int closed_port = free_port();
  std::map<std::string, std::string> contents;
  for (const QueuedFile& queued : GetParam().files) {
    const std::string content = patterned_content(queued.size, static_cast<uint32_t>(contents.size() + 1));
    contents[queued.name] = content;
    std::string url = server_.url(queued.name);
    const std::string refused_url = "http://127.0.0.1:" + std::to_string(closed_port) + "/refused";
    if (queued.name == "refused") {
      url = refused_url;
    } else if (queued.fault == Fault::kRedirect) {
      server_.serve(queued.name, refused_url, queued.fault, queued.delay_ms);
    } else {
      server_.serve(queued.name, content, queued.fault, queued.delay_ms);
    }
    ASSERT_EQ(engine_.add_file_task(url, queued.name), 0);
  }
  EXPECT_EQ(engine_.run_downloads(), GetParam().result);
  for (const QueuedFile& queued : GetParam().files) {
    const std::string on_disk = file(queued.name);
    if (queued.arrives) {
      EXPECT_TRUE(on_disk == contents[queued.name]) << queued.name << " differs";
    } else {
      // Whatever did arrive lies in its place: the file is a prefix of its content.
      EXPECT_EQ(on_disk, contents[queued.name].substr(0, on_disk.size())) << queued.name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Results, ResultTest,
    testing::Values(
        ResultCase{"RangesAnsweredWith206", {{"a", 3 * 1048576 + 5, Fault::kNone, 0, true}}, DOWNLOAD_OK},
        ResultCase{"BodyWithoutLength", {{"a", 2 * 1048576 + 524288, Fault::kNoLength, 0, true}}, DOWNLOAD_OK},
        ResultCase{"LengthOfZero", {{"a", 5000, Fault::kZeroLength, 0, true}}, DOWNLOAD_OK},
        ResultCase{"WholeBodyForTheOneRangeOfASmallFile", {{"a", 5000, Fault::kIgnoreRange, 0, true}}, DOWNLOAD_OK},
        ResultCase{"PartialContentWithoutRange", {{"a", 5000, Fault::kPartialWithoutRange, 0, false}},
                   DOWNLOAD_HTTP_STATUS},
        ResultCase{"ServiceUnavailable", {{"a", 5000, Fault::kStatus503, 0, false}}, DOWNLOAD_HTTP_STATUS},
        ResultCase{"RefusedConnection", {{"refused", 0, Fault::kNone, 0, false}}, DOWNLOAD_CANNOT_CONNECT},
        ResultCase{"RangeIgnoredOnALargeFile", {{"a", 3 * kRange, Fault::kIgnoreRange, 0, false}}, DOWNLOAD_FAILED},
        ResultCase{"ShortRangedBody", {{"a", 3 * kRange, Fault::kShortRange, 0, false}}, DOWNLOAD_FAILED},
        // The refusal comes at once, the 404 after its delay.
        ResultCase{"ConnectFailureThen404",
                   {{"refused", 0, Fault::kNone, 0, false}, {"missing", 100, Fault::kStatus404, 300, false}},
                   DOWNLOAD_HTTP_STATUS},
        // The redirect to the closed port comes after its delay, the 404 at once.
        ResultCase{"NotFoundThenConnectFailure",
                   {{"missing", 100, Fault::kStatus404, 0, false}, {"late", 0, Fault::kRedirect, 300, false}},
                   DOWNLOAD_CANNOT_CONNECT},
        ResultCase{"FailuresDoNotStopTheOtherTasks",
                   {{"a", 1048576 + 1, Fault::kNone, 0, true},
                    {"refused", 0, Fault::kNone, 0, false},
                    {"b", 700000, Fault::kNone, 0, true}},
                   DOWNLOAD_CANNOT_CONNECT}),
    [](const testing::TestParamInfo<ResultCase>& info) { return std::string(info.param.name); });

TEST_F(EngineTest, EmptyRunSucceedsAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(EngineTest, EveryChunkIsRequestedOnceWithItsRange) {
  const std::string content = patterned_content(3 * 1048576);
  server_.serve("three", content);
  ASSERT_EQ(engine_.add_file_task(server_.url("three"), "three"), 0);
  ASSERT_EQ(engine_.run_downloads(), DOWNLOAD_OK);
  EXPECT_TRUE(file("three") == content);
  std::vector<std::string> ranges;
  for (const auto& request : server_.gets("three")) ranges.push_back(request.range);
  std::sort(ranges.begin(), ranges.end(), [](const std::string& a, const std::string& b) {
    return std::stoll(a.substr(6)) < std::stoll(b.substr(6));
  });
  ASSERT_EQ(ranges.size(), 12u);
  for (size_t i = 0; i < ranges.size(); ++i)
    EXPECT_EQ(ranges[i], "bytes=" + std::to_string(i * kRange) + "-" + std::to_string((i + 1) * kRange - 1));
}

TEST_F(EngineTest, LaterRangesFinishingFirstStillGiveTheFileInOrder) {
  const std::string content = patterned_content(2 * 1048576 + 77);
  server_.serve("slowstart", content, Fault::kSlowFirstRange, 400);
  ASSERT_EQ(engine_.add_file_task(server_.url("slowstart"), "slowstart"), 0);
  ASSERT_EQ(engine_.run_downloads(), DOWNLOAD_OK);
  EXPECT_TRUE(file("slowstart") == content);
}

TEST_F(EngineTest, AtMostFiveTransfersRunAtOnce) {
  // Each answer waits until five requests meet at the server (or two seconds have passed).
  server_.serve("big", patterned_content(10 * kRange), Fault::kGather, 2000);
  ASSERT_EQ(engine_.add_file_task(server_.url("big"), "big"), 0);
  ASSERT_EQ(engine_.run_downloads(), DOWNLOAD_OK);
  EXPECT_EQ(server_.max_concurrent_gets(), 5);
  EXPECT_EQ(server_.gets("big").size(), 10u);
}

TEST_F(EngineTest, TasksTakeTurnsForTheFivePlaces) {
  std::vector<std::string> bodies(3);
  for (int i = 0; i < 3; ++i) {
    const std::string index = std::to_string(i);
    const std::string name = "t" + index;
    server_.serve(name, patterned_content(1048576));
    ASSERT_EQ(engine_.add_memory_task(server_.url(name), &bodies[i]), 0);
  }
  std::vector<DownloadTask*> tasks = engine_.active_tasks;
  engine_.multi_handle = curl_multi_init();
  ASSERT_EQ(engine_.fill_transfers(), 0);
  std::map<DownloadTask*, int> per_task;
  for (const auto& [easy, chunk] : engine_.transfers) ++per_task[chunk->task];
  EXPECT_EQ(engine_.transfers.size(), 5u);
  EXPECT_EQ(per_task[tasks[0]], 2);
  EXPECT_EQ(per_task[tasks[1]], 2);
  EXPECT_EQ(per_task[tasks[2]], 1);
  EXPECT_EQ(engine_.next_task, 2u);
  engine_.reset_downloader();
}

struct CompletionCall {
  int32_t result;
  int32_t status;
};

void record_call(int32_t result, int32_t status, void* user) {
  static_cast<std::vector<CompletionCall>*>(user)->push_back({result, status});
}

struct CompletionCase {
  const char* name;
  Fault fault;
  bool refused;
  DownloadResult result;
  std::vector<std::pair<int32_t, int32_t>> calls;
  bool body_arrives;
};

void PrintTo(const CompletionCase& c, std::ostream* os) { *os << c.name; }

class CompletionTest : public EngineTest, public testing::WithParamInterface<CompletionCase> {};

TEST_P(CompletionTest, CallbackRunsOnceWhenTheBodyIsThere) {
  const CompletionCase& c = GetParam();
  const std::string content = patterned_content(600000);
  server_.serve("index", content, c.fault);
  const std::string url =
      c.refused ? "http://127.0.0.1:" + std::to_string(free_port()) + "/index" : server_.url("index");
  std::string body = "kept:";
  std::vector<CompletionCall> calls;
  ASSERT_EQ(engine_.add_memory_task_with_callback(url, &body, record_call, &calls), 0);
  EXPECT_EQ(engine_.run_downloads(), c.result);
  std::vector<std::pair<int32_t, int32_t>> seen;
  for (const auto& call : calls) seen.emplace_back(call.result, call.status);
  EXPECT_EQ(seen, c.calls);
  if (c.body_arrives) {
    EXPECT_TRUE(body == "kept:" + content);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Completions, CompletionTest,
    testing::Values(CompletionCase{"KnownSize", Fault::kNone, false, DOWNLOAD_OK, {{0, 200}}, true},
                    CompletionCase{"UndeterminedSize", Fault::kNoLength, false, DOWNLOAD_OK, {{0, 200}}, true},
                    CompletionCase{"UndeterminedSizeRefused", Fault::kNone, true, DOWNLOAD_CANNOT_CONNECT,
                                   {{3, -1}}, false},
                    CompletionCase{"UndeterminedSizeAnsweredWith206", Fault::kPartialWithoutRange, false,
                                   DOWNLOAD_HTTP_STATUS, {{6, 206}}, false},
                    // A task of known size that fails never completes; the run's result shows it.
                    CompletionCase{"KnownSizeShortBody", Fault::kShortRange, false, DOWNLOAD_FAILED, {}, false}),
    [](const testing::TestParamInfo<CompletionCase>& info) { return std::string(info.param.name); });

void expect_empty(const HttpDownloader& engine) {
  EXPECT_TRUE(engine.transfers.empty());
  EXPECT_TRUE(engine.active_tasks.empty());
  EXPECT_TRUE(engine.drained_tasks.empty());
  EXPECT_TRUE(engine.completions.empty());
  EXPECT_EQ(engine.multi_handle, nullptr);
  EXPECT_EQ(engine.received_bytes, 0);
  EXPECT_EQ(engine.expected_total, 0);
  EXPECT_EQ(engine.progress_user, nullptr);
}

int ignore_progress(int64_t, int64_t, void*) { return 0; }

TEST_F(EngineTest, StallLimitEndsTheRunAndTheNextBatchStartsEmpty) {
  server_.serve("stall", patterned_content(3 * 1048576), Fault::kStallMidBody);
  server_.serve("next", patterned_content(1000));
  int progress_user = 0;
  std::vector<CompletionCall> calls;
  std::string body;
  ASSERT_EQ(engine_.add_file_task(server_.url("stall"), "stall"), 0);
  ASSERT_EQ(engine_.add_memory_task_with_callback(server_.url("next"), &body, record_call, &calls), 0);
  engine_.set_progress_callback(ignore_progress, &progress_user);
  engine_.set_stall_timeout(1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_STALLED);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GT(took, std::chrono::milliseconds(1000));
  EXPECT_LT(took, std::chrono::milliseconds(3500));
  expect_empty(engine_);
  EXPECT_EQ(engine_.stall_seconds, 1u);
  EXPECT_EQ(engine_.progress_callback, ignore_progress);
  server_.release();
  // What was written in order stays, and the next batch resumes from it.
  const std::string content = patterned_content(3 * 1048576);
  ASSERT_EQ(engine_.add_file_task(server_.url("stall"), "stall"), 0);
  EXPECT_EQ(engine_.received_bytes, static_cast<int64_t>(file("stall").size()));
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_OK);
  EXPECT_TRUE(file("stall") == content);
}

TEST_F(EngineTest, WithoutStallLimitAQuietServerIsWaitedFor) {
  const std::string content = patterned_content(600000);
  server_.serve("quiet", content, Fault::kStallMidBody);
  ASSERT_EQ(engine_.add_file_task(server_.url("quiet"), "quiet"), 0);
  std::thread releaser([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    server_.release();
  });
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_OK);
  releaser.join();
  EXPECT_TRUE(file("quiet") == content);
}

TEST_F(EngineTest, StallClockStartsWithTheRun) {
  // A fresh engine has seen no data ever; a run whose first bytes take a moment is still no stall.
  const std::string content = patterned_content(1000);
  server_.serve("late", content, Fault::kNone, 300);
  ASSERT_EQ(engine_.add_file_task(server_.url("late"), "late"), 0);
  engine_.set_stall_timeout(1);
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_OK);
  EXPECT_TRUE(file("late") == content);
}

TEST_F(EngineTest, TransferThatCannotBeSetUpFailsTheRun) {
  server_.serve("a", patterned_content(1000));
  ASSERT_EQ(engine_.add_file_task(server_.url("a"), "a"), 0);
  set_easy_init_function([]() -> CURL* { return nullptr; });
  const DownloadResult result = engine_.run_downloads();
  set_easy_init_function(nullptr);
  EXPECT_EQ(result, DOWNLOAD_FAILED);
  expect_empty(engine_);
}

// Servers that misbehave part-way: the run ends with its failure (never hangs), the bytes on disk are still the
// content's beginning with nothing lost, and once the server behaves the next run completes the file.
struct MisbehaviourCase {
  const char* name;
  Fault fault;
  size_t served;     // bytes the GETs serve
  int64_t announced;  // the length HEAD reports, -1 for the served one
  DownloadResult result;
};

void PrintTo(const MisbehaviourCase& c, std::ostream* os) { *os << c.name; }

class MisbehaviourTest : public EngineTest, public testing::WithParamInterface<MisbehaviourCase> {};

const size_t kAnnounced = 3 * kRange + 5000;
const size_t kSeed = 1000;

TEST_P(MisbehaviourTest, FailsAndKeepsWhatArrivedInOrder) {
  const MisbehaviourCase& c = GetParam();
  const std::string content = patterned_content(c.served);
  server_.serve("f", content, c.fault);
  if (c.announced >= 0) server_.announce("f", static_cast<size_t>(c.announced));
  scratch_.write("f", content.substr(0, kSeed));
  ASSERT_EQ(engine_.add_file_task(server_.url("f"), "f"), 0);
  EXPECT_EQ(engine_.run_downloads(), c.result);
  const std::string after = file("f");
  if (c.result == DOWNLOAD_OK) {
    EXPECT_TRUE(after == content.substr(0, static_cast<size_t>(c.announced >= 0 ? c.announced : c.served)));
  } else {
    EXPECT_GE(after.size(), kSeed);
    EXPECT_TRUE(after == content.substr(0, after.size())) << "not the content's beginning";
  }
  server_.serve("f", content);
  ASSERT_EQ(engine_.add_file_task(server_.url("f"), "f"), 0);
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_OK);
  EXPECT_TRUE(file("f") == content);
}

INSTANTIATE_TEST_SUITE_P(
    Misbehaviours, MisbehaviourTest,
    testing::Values(MisbehaviourCase{"ResetInTheMiddleOfARange", Fault::kResetMidBody, kAnnounced, -1, DOWNLOAD_FAILED},
                    MisbehaviourCase{"ShortBodyWithTheRightLengthThenClose", Fault::kCloseMidBody, kAnnounced, -1,
                                     DOWNLOAD_FAILED},
                    MisbehaviourCase{"EndlessBodyAfter206", Fault::kEndlessBody, kAnnounced, -1, DOWNLOAD_FAILED},
                    MisbehaviourCase{"FiveRedirectsAreFollowed", Fault::kFiveRedirects, kAnnounced, -1, DOWNLOAD_OK},
                    // The probe fails too: the partial file must survive it.
                    MisbehaviourCase{"SixRedirects", Fault::kSixRedirects, kAnnounced, -1, DOWNLOAD_FAILED},
                    // The ranges of the probed length are all there: only the callers' checksum can tell.
                    MisbehaviourCase{"GrewAfterTheProbe", Fault::kNone, kAnnounced + 5000,
                                     static_cast<int64_t>(kAnnounced), DOWNLOAD_OK},
                    MisbehaviourCase{"ShrankInsideTheLastRange", Fault::kNone, kAnnounced - 1000,
                                     static_cast<int64_t>(kAnnounced), DOWNLOAD_FAILED},
                    // The last range lies wholly beyond the new end: 416.
                    MisbehaviourCase{"ShrankBelowTheLastRange", Fault::kNone, kAnnounced - 4000,
                                     static_cast<int64_t>(kAnnounced), DOWNLOAD_HTTP_STATUS}),
    [](const testing::TestParamInfo<MisbehaviourCase>& info) { return std::string(info.param.name); });

// A server that accepts and then says nothing: the probe and the run each give up once the silence has lasted
// longer than a minute on the test clock, also without a stall limit; a partial file stays as it was.
struct SilenceCase {
  const char* name;
  Fault fault;
  bool memory;
  uint64_t silence_ms;  // how far each held request moves the test clock
  DownloadResult result;
};

void PrintTo(const SilenceCase& c, std::ostream* os) { *os << c.name; }

class SilenceTest : public EngineTest, public testing::WithParamInterface<SilenceCase> {
 protected:
  void SetUp() override { platform::use_test_clock(true, 1000000); }
  void TearDown() override {
    server_.release();
    platform::use_test_clock(false);
  }
};

TEST_P(SilenceTest, SilentServerIsGivenUpAfterAMinute) {
  const SilenceCase& c = GetParam();
  const std::string content = patterned_content(5000);
  server_.serve("f", content, c.fault);
  const uint64_t silence = c.silence_ms;
  server_.on_hold([silence] { platform::advance_test_clock(silence); });
  scratch_.write("f", content.substr(0, kSeed));
  std::string body;
  const auto start = std::chrono::steady_clock::now();
  if (c.memory) {
    ASSERT_EQ(engine_.add_memory_task(server_.url("f"), &body), 0);
  } else {
    ASSERT_EQ(engine_.add_file_task(server_.url("f"), "f"), 0);
  }
  EXPECT_EQ(engine_.run_downloads(), c.result);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  if (c.result == DOWNLOAD_OK) {
    EXPECT_TRUE((c.memory ? body : file("f")) == content);
  } else {
    EXPECT_EQ(body, "");
    EXPECT_TRUE(file("f") == content.substr(0, kSeed));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Silences, SilenceTest,
    testing::Values(SilenceCase{"SilentFromTheStart", Fault::kSilent, false, 60001, DOWNLOAD_STALLED},
                    SilenceCase{"SilentAfterTheProbe", Fault::kSilentBody, false, 60001, DOWNLOAD_STALLED},
                    SilenceCase{"SilentIndexServer", Fault::kSilent, true, 60001, DOWNLOAD_STALLED},
                    // The probe gives up; the whole body then replaces the partial file.
                    SilenceCase{"SilentProbeOnly", Fault::kSilentHead, false, 60001, DOWNLOAD_OK}),
    [](const testing::TestParamInfo<SilenceCase>& info) { return std::string(info.param.name); });

TEST_F(EngineTest, SilenceOfUnderAMinuteIsWaitedOut) {
  platform::use_test_clock(true, 1000000);
  server_.serve("f", patterned_content(5000), Fault::kSilentBody);
  ASSERT_EQ(engine_.add_file_task(server_.url("f"), "f"), 0);
  // The run's idle pauses move the test clock too, by 100 ms each.
  server_.on_hold([] { platform::advance_test_clock(59000); });
  std::thread letting_go([this] {
    // Several checks of the stall clock pass meanwhile; then the server speaks.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    server_.release();
  });
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_HTTP_STATUS);
  letting_go.join();
  platform::use_test_clock(false);
}

TEST_F(EngineTest, MemoryReplyWithoutEndIsCutAtTheLimit) {
  server_.serve("index", "{", Fault::kEndlessBody);
  server_.announce("index", 0);
  std::string body;
  std::vector<CompletionCall> calls;
  ASSERT_EQ(engine_.add_memory_task_with_callback(server_.url("index"), &body, record_call, &calls), 0);
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_FAILED);
  EXPECT_LE(body.size(), static_cast<size_t>(kMemoryReplyLimit));
  EXPECT_GT(body.size(), static_cast<size_t>(kMemoryReplyLimit) - 1048576);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].result, DOWNLOAD_FAILED);
  EXPECT_EQ(calls[0].status, -1);
}

// GETs that keep failing after a good probe: once a range has failed its task asks for nothing more, so the run
// ends after the transfers that were already under way, also when the probe reported ten terabytes.
struct FailingRangesCase {
  const char* name;
  bool memory;
  size_t served;
  int64_t announced;  // -1 for the served length
};

void PrintTo(const FailingRangesCase& c, std::ostream* os) { *os << c.name; }

class FailingRangesTest : public EngineTest, public testing::WithParamInterface<FailingRangesCase> {};

TEST_P(FailingRangesTest, RunEndsAfterTheRangesUnderWay) {
  const FailingRangesCase& c = GetParam();
  server_.serve("f", patterned_content(c.served), Fault::kGetsFail500);
  if (c.announced >= 0) server_.announce("f", static_cast<size_t>(c.announced));
  std::string body;
  if (c.memory) {
    ASSERT_EQ(engine_.add_memory_task(server_.url("f"), &body), 0);
  } else {
    ASSERT_EQ(engine_.add_file_task(server_.url("f"), "f"), 0);
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_HTTP_STATUS);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_GE(server_.gets("f").size(), 1u);
  EXPECT_LE(server_.gets("f").size(), static_cast<size_t>(engine_.max_transfers));
  EXPECT_EQ(body, "");
}

INSTANTIATE_TEST_SUITE_P(
    FailingRanges, FailingRangesTest,
    testing::Values(FailingRangesCase{"FileOfFortyRanges", false, 40 * kRange, -1},
                    FailingRangesCase{"FileProbedAtTenTerabytes", false, 5000, 10'000'000'000'000},
                    FailingRangesCase{"MemoryReplyOfTwentyRanges", true, 20 * kRange, -1}),
    [](const testing::TestParamInfo<FailingRangesCase>& info) { return std::string(info.param.name); });

TEST_F(EngineTest, ErrorPagesDoNotHoldOffTheStallLimit) {
  // Five error pages trickle in for eight seconds; they are no data, so the one-second limit ends the run.
  server_.serve("f", patterned_content(40 * kRange), Fault::kGetsTrickle500);
  ASSERT_EQ(engine_.add_file_task(server_.url("f"), "f"), 0);
  engine_.set_stall_timeout(1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_STALLED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3500));
  server_.release();
}

TEST_F(EngineTest, EachTransferPrintsItsUrlOnce) {
  server_.serve("three", patterned_content(3 * 1048576));
  server_.serve("whole", patterned_content(1000), Fault::kNoLength);
  ASSERT_EQ(engine_.add_file_task(server_.url("three"), "three"), 0);
  ASSERT_EQ(engine_.add_file_task(server_.url("whole"), "whole"), 0);
  testing::internal::CaptureStdout();
  const DownloadResult result = engine_.run_downloads();
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, DOWNLOAD_OK);
  const std::string three = "+++++++++++++url:[" + server_.url("three") + "]\n";
  const std::string whole = "+++++++++++++url:[" + server_.url("whole") + "]\n";
  size_t three_lines = 0;
  size_t whole_lines = 0;
  for (size_t at = 0; at < printed.size();) {
    if (printed.compare(at, three.size(), three) == 0) {
      ++three_lines;
      at += three.size();
    } else if (printed.compare(at, whole.size(), whole) == 0) {
      ++whole_lines;
      at += whole.size();
    } else {
      ADD_FAILURE() << "unexpected output at " << at << ": " << printed.substr(at, 80);
      break;
    }
  }
  EXPECT_EQ(three_lines, 12u);
  EXPECT_EQ(whole_lines, 1u);
}

}  // namespace
