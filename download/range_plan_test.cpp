#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/download_task.h"

namespace {

struct Geometry {
  const char* name;
  int64_t total_size;
  int64_t resumed_at;
  std::vector<std::string> ranges;  // every chunk's range text, in the order the chunks are handed out
  std::vector<int64_t> buffer_offsets;
};

void PrintTo(const Geometry& c, std::ostream* os) { *os << c.name; }

std::string text(int64_t a, int64_t b) { return std::to_string(a) + "-" + std::to_string(b); }

class RangePlanTest : public testing::TestWithParam<Geometry> {};

TEST_P(RangePlanTest, ChunksCoverTheContentInOrder) {
  const Geometry& geometry = GetParam();
  std::string body;
  DownloadTask task("http://127.0.0.1/x", &body);
  task.total_size = geometry.total_size;
  task.received = task.planned = geometry.resumed_at;
  std::vector<std::string> ranges;
  std::vector<int64_t> offsets;
  while (task.has_more_work()) {
    DownloadChunk* chunk = task.next_chunk();
    ASSERT_NE(chunk, nullptr);
    if (offsets.empty() || offsets.back() != chunk->buffer->file_offset) offsets.push_back(chunk->buffer->file_offset);
    ranges.push_back(chunk->length > 0 ? chunk_range_text(*chunk) : "whole");
    delete chunk;
  }
  EXPECT_EQ(task.next_chunk(), nullptr);
  EXPECT_EQ(ranges, geometry.ranges);
  EXPECT_EQ(offsets, geometry.buffer_offsets);
}

const int64_t kMiB = 1048576;
const int64_t kRange = 262144;

INSTANTIATE_TEST_SUITE_P(
    Geometries, RangePlanTest,
    testing::Values(
        Geometry{"OneByte", 1, 0, {"0-0"}, {0}},
        Geometry{"OneMebibyteAndOne",
                 kMiB + 1,
                 0,
                 {"0-262143", "262144-524287", "524288-786431", "786432-1048575", "1048576-1048576"},
                 {0, kMiB}},
        Geometry{"ResumedHalfway", 2000, 1000, {"1000-1999"}, {1000}},
        Geometry{"UndeterminedSize", -1, 0, {"whole"}, {0}},
        // Offsets past 4 GiB keep their place: nothing narrows them to 32 bits.
        Geometry{"BeyondFourGibibytes",
                 5 * 1024 * kMiB + kRange + 10,
                 5 * 1024 * kMiB,
                 {text(5 * 1024 * kMiB, 5 * 1024 * kMiB + kRange - 1),
                  text(5 * 1024 * kMiB + kRange, 5 * 1024 * kMiB + kRange + 9)},
                 {5 * 1024 * kMiB}}),
    [](const testing::TestParamInfo<Geometry>& info) { return std::string(info.param.name); });

}  // namespace
