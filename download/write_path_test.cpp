#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/download_task.h"
#include "download/engine_test_fixture.h"
#include "platform/files.h"
#include "tests/support/test_content.h"

namespace {

struct Completion {
  int calls = 0;
  int32_t result = -9;
  int32_t status = -9;
  size_t body_size_then = 0;
  const std::string* body = nullptr;
};

void record_completion(int32_t result, int32_t status, void* user) {
  auto* completion = static_cast<Completion*>(user);
  ++completion->calls;
  completion->result = result;
  completion->status = status;
  completion->body_size_then = completion->body->size();
}

// Delivers `bytes` as libcurl would, in blocks of at most `block` bytes.
void deliver(TransferContext& context, const std::string& bytes, size_t block) {
  for (size_t at = 0; at < bytes.size(); at += block) {
    std::string piece = bytes.substr(at, block);
    ASSERT_EQ(on_transfer_data(piece.data(), 1, piece.size(), &context), piece.size());
  }
}

class WritePathTest : public testing::Test {
 protected:
  TransferContext context_for(DownloadChunk* chunk) {
    TransferContext context;
    context.chunk = chunk;
    context.received_bytes = &received_bytes_;
    context.expected_total = &expected_total_;
    context.last_data_ns = &last_data_ns_;
    context.completions = &completions_;
    context.body_mode = BODY_STORE;
    return context;
  }
  std::string content_part(const DownloadChunk& chunk) {
    return content_.substr(chunk.buffer->file_offset + chunk.offset, chunk.length);
  }

  int64_t received_bytes_ = 0;
  int64_t expected_total_ = 0;
  int64_t last_data_ns_ = 0;
  CompletionMap completions_;
  std::string content_ = patterned_content(2 * 1048576 + 1000);
};

TEST_F(WritePathTest, LaterChunksWaitForTheFirstAndThenGoOutInOrder) {
  std::string body;
  DownloadTask task("http://127.0.0.1/x", &body);
  task.total_size = static_cast<int64_t>(content_.size());
  std::vector<DownloadChunk*> chunks;
  while (task.has_more_work()) chunks.push_back(task.next_chunk());
  ASSERT_EQ(chunks.size(), 9u);
  // Every chunk but the very first arrives, last ones first.
  for (size_t i = chunks.size() - 1; i >= 1; --i) {
    TransferContext context = context_for(chunks[i]);
    deliver(context, content_part(*chunks[i]), 16384);
    EXPECT_EQ(body.size(), 0u) << "written before the first chunk came, after chunk " << i;
  }
  TransferContext first = context_for(chunks[0]);
  deliver(first, content_part(*chunks[0]), 16384);
  EXPECT_EQ(body, content_);
  EXPECT_EQ(received_bytes_, static_cast<int64_t>(content_.size()));
  for (DownloadChunk* chunk : chunks) delete chunk;
}

TEST_F(WritePathTest, CompletionComesOnceOnTheLastBlockWithTheWholeBody) {
  std::string body;
  DownloadTask task("http://127.0.0.1/x", &body);
  task.total_size = 300000;
  Completion completion;
  completion.body = &body;
  CompletionRecord record{record_completion, &completion};
  completions_[&task] = &record;
  DownloadChunk* first = task.next_chunk();
  DownloadChunk* second = task.next_chunk();
  TransferContext second_context = context_for(second);
  deliver(second_context, content_.substr(262144, 300000 - 262144), 1000);
  TransferContext first_context = context_for(first);
  deliver(first_context, content_.substr(0, 262144), 1000);
  EXPECT_EQ(completion.calls, 1);
  EXPECT_EQ(completion.result, 0);
  EXPECT_EQ(completion.status, 200);
  EXPECT_EQ(completion.body_size_then, 300000u);
  EXPECT_EQ(body, content_.substr(0, 300000));
  delete first;
  delete second;
}

TEST_F(WritePathTest, BytesBeyondTheChunkAreRefusedAndNothingIsStored) {
  std::string body;
  DownloadTask task("http://127.0.0.1/x", &body);
  task.total_size = 1000;
  DownloadChunk* chunk = task.next_chunk();
  TransferContext context = context_for(chunk);
  std::string block = content_.substr(0, 600);
  EXPECT_EQ(on_transfer_data(block.data(), 1, block.size(), &context), 600u);
  // 600 more would overrun the chunk's 1000 bytes: libcurl is told that nothing was taken.
  EXPECT_EQ(on_transfer_data(block.data(), 1, block.size(), &context), 0u);
  EXPECT_EQ(chunk->received, 600);
  EXPECT_EQ(task.received, 600);
  EXPECT_EQ(body, "");
  delete chunk;
}

TEST_F(WritePathTest, UnboundedBodyGoesOutInWholeMebibytesAndTheRestAtTheEnd) {
  const std::string content = content_.substr(0, 2 * 1048576 + 524288);
  std::string body;
  DownloadTask task("http://127.0.0.1/x", &body);
  DownloadChunk* chunk = task.next_chunk();
  ASSERT_EQ(chunk->length, 0);
  EXPECT_FALSE(task.has_more_work());
  TransferContext context = context_for(chunk);
  std::vector<size_t> sizes_seen;
  for (size_t at = 0; at < content.size(); at += 100000) {
    std::string piece = content.substr(at, 100000);
    on_transfer_data(piece.data(), 1, piece.size(), &context);
    if (sizes_seen.empty() || sizes_seen.back() != body.size()) sizes_seen.push_back(body.size());
  }
  EXPECT_EQ(sizes_seen, (std::vector<size_t>{0, 1048576, 2 * 1048576}));
  task.flush_pending_buffer(chunk);
  EXPECT_EQ(body, content);
  delete chunk;
}

// A disk that fills during the download fails the transfer; the file keeps the content's beginning, and once
// there is room again the next run resumes from it.
struct DiskFullCase {
  const char* name;
  Fault fault;
  uint64_t room;
};

void PrintTo(const DiskFullCase& c, std::ostream* os) { *os << c.name; }

class DiskFullTest : public EngineTest, public testing::WithParamInterface<DiskFullCase> {
 protected:
  void TearDown() override { platform::set_disk_full_path_suffix(nullptr, 0); }
};

TEST_P(DiskFullTest, FailedWriteFailsTheTransfer) {
  const DiskFullCase& c = GetParam();
  const std::string content = patterned_content(3 * 1048576 + 100);
  server_.serve("full", content, c.fault);
  platform::set_disk_full_path_suffix("full", c.room);
  ASSERT_EQ(engine_.add_file_task(server_.url("full"), "full"), 0);
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_FAILED);
  const std::string after = file("full");
  EXPECT_EQ(after.size(), c.room);
  EXPECT_TRUE(after == content.substr(0, after.size()));
  platform::set_disk_full_path_suffix(nullptr, 0);
  server_.serve("full", content);
  ASSERT_EQ(engine_.add_file_task(server_.url("full"), "full"), 0);
  EXPECT_EQ(engine_.run_downloads(), DOWNLOAD_OK);
  EXPECT_TRUE(file("full") == content);
}

INSTANTIATE_TEST_SUITE_P(DiskFull, DiskFullTest,
                         testing::Values(DiskFullCase{"Ranges", Fault::kNone, 1048576 + 524288},
                                         DiskFullCase{"WholeBody", Fault::kNoLength, 1048576 + 524288},
                                         DiskFullCase{"RoomForAFewBytes", Fault::kNone, 1000},
                                         // Only the very last buffer finds the disk full.
                                         DiskFullCase{"LastBuffer", Fault::kNone, 3 * 1048576 + 50}),
                         [](const testing::TestParamInfo<DiskFullCase>& info) { return std::string(info.param.name); });

}  // namespace
