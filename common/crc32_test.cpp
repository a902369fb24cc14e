#include "common/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <string>

#include "common/crc32_kernels.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_data.h"

namespace {

const unsigned char* bytes_of(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

uint32_t reference_crc(const std::string& data) {
  return static_cast<uint32_t>(::crc32(0L, bytes_of(data), static_cast<uInt>(data.size())));
}

TEST(Crc32Test, TableIsTheReflectedPolynomialsAsZlibHasIt) {
  crc32_build_table();
  const auto* zlib_table = get_crc_table();
  for (int n = 0; n < 256; ++n) {
    ASSERT_EQ(g_crc32_table[n], static_cast<uint32_t>(zlib_table[n])) << n;
  }
}

TEST(Crc32Test, KnownValuesAndNoInversionInsideTheUpdate) {
  std::string check = "123456789";
  EXPECT_EQ(~crc32_update(0xFFFFFFFF, bytes_of(check), 9), 0xCBF43926u);
  EXPECT_EQ(crc32_update(0x12345678, bytes_of(check), 0), 0x12345678u);
  EXPECT_EQ(~crc32_update(0xFFFFFFFF, bytes_of(std::string(32, '\0')), 32), 0x190A55ADu);
}

// Every inner loop against zlib at lengths around its strides (16, 64) and from unaligned starts.
TEST(Crc32Test, EveryKernelAgreesWithZlib) {
  std::string data = random_bytes(5000, 1);
  struct {
    const char* name;
    uint32_t (*kernel)(uint32_t, const unsigned char*, size_t);
  } kernels[] = {{"bytewise", crc32_bytewise}, {"slice16", crc32_slice16}, {"fold", crc32_fold}};
  for (const auto& k : kernels) {
    if (k.kernel == crc32_fold && !crc32_fold_available()) {
      continue;
    }
    for (size_t offset : {0u, 1u, 3u, 8u, 15u}) {
      for (size_t length : {0u, 1u, 15u, 16u, 17u, 63u, 64u, 65u, 127u, 128u, 129u, 255u, 1000u, 4096u, 4985u}) {
        std::string piece = data.substr(offset, length);
        ASSERT_EQ(~k.kernel(0xFFFFFFFF, bytes_of(data) + offset, length), reference_crc(piece))
            << k.name << " offset " << offset << " length " << length;
      }
    }
  }
}

TEST(Crc32Test, PiecesGiveTheSameValueAsOneCall) {
  std::string data = random_bytes(200000, 2);
  uint32_t whole = crc32_update(0xFFFFFFFF, bytes_of(data), static_cast<uint32_t>(data.size()));
  for (size_t piece : {1u, 7u, 64u, 1000u, 65536u}) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t at = 0; at < data.size(); at += piece) {
      size_t length = std::min(piece, data.size() - at);
      crc = crc32_update(crc, bytes_of(data) + at, static_cast<uint32_t>(length));
    }
    EXPECT_EQ(crc, whole) << piece;
  }
  EXPECT_EQ(~whole, reference_crc(data));
}

class Crc32FileTest : public ::testing::Test {
 protected:
  void SetUp() override { scratch_.enter(); }
  ScratchDir scratch_;
};

TEST_F(Crc32FileTest, FileCrcMatchesZlibAtBlockBoundaries) {
  for (size_t size : {0u, 1u, 1024u, 65535u, 65536u, 65537u, 2u * 65536u, 1000003u}) {
    std::string content = random_bytes(size, static_cast<unsigned>(size) + 3);
    scratch_.write("bin/quillon.dll", content);
    EXPECT_EQ(crc32_file("bin\\quillon.dll"), reference_crc(content)) << size;
  }
}

TEST_F(Crc32FileTest, MissingFileGivesAllOnesAndSaysSo) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(crc32_file("zanthoui.exe"), 0xFFFFFFFFu);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "zanthoui.exe can't be opened\n");
  std::filesystem::create_directory(scratch_ / "dir");
  testing::internal::CaptureStdout();
  EXPECT_EQ(crc32_file("dir"), 0xFFFFFFFFu);
  testing::internal::GetCapturedStdout();
}

TEST_F(Crc32FileTest, NoStreamStaysOpen) {
  scratch_.write("a", "abc");
  size_t before = open_descriptor_count();
  testing::internal::CaptureStdout();
  crc32_file("a");
  crc32_file("missing");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(open_descriptor_count(), before);
}

}  // namespace
