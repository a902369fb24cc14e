#include <chrono>
#include <vector>

#include "download/engine_test_fixture.h"

namespace {

struct ProbeCase {
  const char* name;
  Fault fault;
  int64_t total_size;
  std::vector<std::string> ranges;  // of the GET requests
};

void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.name; }

class ProbeTest : public EngineTest, public testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeTest, ProbedLengthDecidesTheRequests) {
  const ProbeCase& c = GetParam();
  const std::string content = patterned_content(300000);
  server_.serve("f", content, c.fault);
  // An existing file is truncated when the size is undetermined (else it would be resumed from its length).
  if (c.total_size < 0) scratch_.write("f", "old bytes");
  ASSERT_EQ(engine_.add_file_task(server_.url("f"), "f"), 0);
  ASSERT_EQ(engine_.active_tasks.size(), 1u);
  EXPECT_EQ(engine_.active_tasks[0]->total_size, c.total_size);
  EXPECT_EQ(engine_.expected_total, c.total_size);
  const DownloadResult result = engine_.run_downloads();
  if (c.fault == Fault::kStatus404) {
    EXPECT_EQ(result, DOWNLOAD_HTTP_STATUS);
    EXPECT_EQ(file("f"), "");
  } else {
    EXPECT_EQ(result, DOWNLOAD_OK);
    EXPECT_TRUE(file("f") == content);
  }
  std::vector<std::string> ranges;
  for (const auto& request : server_.gets("f")) ranges.push_back(request.range);
  std::sort(ranges.begin(), ranges.end());
  EXPECT_EQ(ranges, c.ranges);
  ASSERT_EQ(server_.requests().front().method, "HEAD");
}

INSTANTIATE_TEST_SUITE_P(
    Probes, ProbeTest,
    testing::Values(ProbeCase{"Length", Fault::kNone, 300000, {"bytes=0-262143", "bytes=262144-299999"}},
                    ProbeCase{"NoLength", Fault::kNoLength, -1, {""}},
                    ProbeCase{"LengthOfZero", Fault::kZeroLength, -1, {""}},
                    // The error page's length is taken for the content's.
                    ProbeCase{"ErrorPageLength", Fault::kStatus404, 9, {"bytes=0-8"}}),
    [](const testing::TestParamInfo<ProbeCase>& info) { return std::string(info.param.name); });

struct ResumeCase {
  const char* name;
  size_t on_disk;  // bytes of the content already in the file, or of other bytes when `foreign`
  bool foreign;
  std::string range;
  int64_t counted;  // received_bytes after queueing
};

void PrintTo(const ResumeCase& c, std::ostream* os) { *os << c.name; }

class ResumeTest : public EngineTest, public testing::WithParamInterface<ResumeCase> {};

int record_progress(int64_t total, int64_t done, void* user) {
  static_cast<std::vector<std::pair<int64_t, int64_t>>*>(user)->emplace_back(total, done);
  return 0;
}

TEST_P(ResumeTest, FileLengthDecidesWhereTheDownloadStarts) {
  const ResumeCase& c = GetParam();
  const std::string content = patterned_content(2000);
  server_.serve("f", content);
  scratch_.write("f", c.foreign ? std::string(c.on_disk, 'x') : content.substr(0, c.on_disk));
  ASSERT_EQ(engine_.add_file_task(server_.url("f"), "f"), 0);
  EXPECT_EQ(engine_.received_bytes, c.counted);
  std::vector<std::pair<int64_t, int64_t>> progress;
  engine_.set_progress_callback(record_progress, &progress);
  ASSERT_EQ(engine_.run_downloads(), DOWNLOAD_OK);
  EXPECT_TRUE(file("f") == content);
  ASSERT_EQ(server_.gets("f").size(), 1u);
  EXPECT_EQ(server_.gets("f")[0].range, c.range);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), std::make_pair(int64_t{2000}, int64_t{2000}));
}

INSTANTIATE_TEST_SUITE_P(Resumes, ResumeTest,
                         testing::Values(ResumeCase{"NoFile", 0, false, "bytes=0-1999", 0},
                                         ResumeCase{"Shorter", 1000, false, "bytes=1000-1999", 1000},
                                         ResumeCase{"AsLong", 2000, true, "bytes=0-1999", 0},
                                         ResumeCase{"Longer", 3000, true, "bytes=0-1999", 0}),
                         [](const testing::TestParamInfo<ResumeCase>& info) { return std::string(info.param.name); });

// A probed length the caller cannot use fails the run at once: not one GET, and a partial file stays as it was.
struct UnusableLengthCase {
  const char* name;
  bool memory;
  SizeRule rule;  // of the file task
  int64_t announced;
};

void PrintTo(const UnusableLengthCase& c, std::ostream* os) { *os << c.name; }

class UnusableLengthTest : public EngineTest, public testing::WithParamInterface<UnusableLengthCase> {};

void never_called(int32_t, int32_t, void* user) { *static_cast<bool*>(user) = true; }

TEST_P(UnusableLengthTest, FailsTheRunWithoutARequest) {
  const UnusableLengthCase& c = GetParam();
  server_.serve("f", patterned_content(5000));
  server_.announce("f", static_cast<size_t>(c.announced));
  scratch_.write("f", "partial");
  std::string body;
  bool called = false;
  if (c.memory) {
    ASSERT_EQ(engine_.add_memory_task_with_callback(server_.url("f"), &body, never_called, &called), 0);
  } else {
    ASSERT_EQ(engine_.add_file_task(server_.url("f"), "f", c.rule), 0);
  }
  EXPECT_EQ(engine_.expected_total, 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_FAILED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_TRUE(server_.gets().empty());
  EXPECT_EQ(file("f"), "partial");
  EXPECT_EQ(body, "");
  EXPECT_FALSE(called);
}

const int64_t kTenTerabytes = 10'000'000'000'000;

INSTANTIATE_TEST_SUITE_P(
    UnusableLengths, UnusableLengthTest,
    testing::Values(UnusableLengthCase{"MemoryReplyOfTenTerabytes", true, {}, kTenTerabytes},
                    UnusableLengthCase{"MemoryReplyJustOverItsLimit", true, {}, kMemoryReplyLimit + 1},
                    UnusableLengthCase{"FileOverItsBound", false, {1048576}, kTenTerabytes},
                    UnusableLengthCase{"FileOverItsListedSize", false, {-1, 5000}, kTenTerabytes},
                    UnusableLengthCase{"FileJustOverItsListedSize", false, {-1, 5000}, 5001}),
    [](const testing::TestParamInfo<UnusableLengthCase>& info) { return std::string(info.param.name); });

// A listed size is a length's low 32 bits, so it allows every length that has them; a bound is a bound.
TEST(SizeRuleTest, ListedSizeAllowsItsLengthsAndBoundCapsThem) {
  const struct {
    SizeRule rule;
    int64_t length;
    bool allowed;
  } cases[] = {{{}, kTenTerabytes, true},
               {{1000}, 1000, true},
               {{1000}, 1001, false},
               {{-1, 5000}, 5000, true},
               {{-1, 5000}, 4000, true},
               {{-1, 5000}, (int64_t{1} << 32) + 5000, true},
               {{-1, 5000}, (int64_t{1} << 32) + 5001, false},
               {{-1, 5000}, kTenTerabytes, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.rule.allows(c.length), c.allowed) << c.rule.most << " " << c.rule.listed_low32 << " " << c.length;
  }
}

TEST_F(EngineTest, TaskOfUndeterminedSizeStopsTheBatchCount) {
  server_.serve("a", patterned_content(1000));
  server_.serve("b", patterned_content(1000), Fault::kNoLength);
  server_.serve("c", patterned_content(1000));
  scratch_.write("a", patterned_content(1000).substr(0, 100));
  scratch_.write("c", patterned_content(1000).substr(0, 200));
  ASSERT_EQ(engine_.add_file_task(server_.url("a"), "a"), 0);
  EXPECT_EQ(engine_.expected_total, 1000);
  EXPECT_EQ(engine_.received_bytes, 100);
  ASSERT_EQ(engine_.add_file_task(server_.url("b"), "b"), 0);
  ASSERT_EQ(engine_.add_file_task(server_.url("c"), "c"), 0);
  EXPECT_EQ(engine_.expected_total, -1);
  EXPECT_EQ(engine_.received_bytes, 100);
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_OK);
  for (const char* name : {"a", "b", "c"}) EXPECT_TRUE(file(name) == patterned_content(1000)) << name;
}

TEST_F(EngineTest, MemoryTaskAppendsToTheString) {
  const std::string content = patterned_content(700000);
  server_.serve("m", content);
  std::string body = "before|";
  ASSERT_EQ(engine_.add_memory_task(server_.url("m"), &body), 0);
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_OK);
  EXPECT_TRUE(body == "before|" + content);
}

TEST_F(EngineTest, OutputThatCannotBeOpenedIsNotQueued) {
  server_.serve("f", patterned_content(10));
  EXPECT_EQ(engine_.add_file_task(server_.url("f"), "no/such/dir/f"), 1);
  EXPECT_TRUE(engine_.active_tasks.empty());
  EXPECT_EQ(engine_.expected_total, 0);
}

TEST_F(EngineTest, ProgressCallbackReachesOnlyTransfersStartedAfterIt) {
  server_.serve("f", patterned_content(10000));
  ASSERT_EQ(engine_.add_file_task(server_.url("f"), "f"), 0);
  std::vector<std::pair<int64_t, int64_t>> progress;
  engine_.multi_handle = curl_multi_init();
  ASSERT_EQ(engine_.fill_transfers(), 0);
  engine_.set_progress_callback(record_progress, &progress);
  // The one transfer was set up before the callback: it reports to nobody. The run's reset ends it unread.
  ASSERT_EQ(engine_.transfers.size(), 1u);
  TransferContext* context = nullptr;
  curl_easy_getinfo(engine_.transfers.begin()->first, CURLINFO_PRIVATE, &context);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->progress_callback, nullptr);
  engine_.reset_downloader();
}

}  // namespace
