#include "common/md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/support/scratch_dir.h"
#include "tests/support/test_data.h"

namespace {

std::string hex_of(const unsigned char digest[16]) {
  char hex[33];
  md5_to_hex(digest, hex);
  return hex;
}

std::string reference_md5(const std::string& data) {
  unsigned char digest[16];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
  return hex_of(digest);
}

TEST(Md5Test, Rfc1321TestSuite) {
  struct {
    const char* text;
    const char* digest;
  } suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& entry : suite) {
    unsigned char digest[16];
    md5_string(entry.text, digest);
    EXPECT_EQ(hex_of(digest), entry.digest) << '"' << entry.text << '"';
  }
}

TEST(Md5Test, PiecesInAnySplitGiveTheDigestOfTheWhole) {
  // Lengths around the padding limits (55, 56, 63, 64) and several blocks, split at every place in turn.
  for (size_t size : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 300u}) {
    std::string data = random_bytes(size, static_cast<unsigned>(size));
    std::string expected = reference_md5(data);
    for (size_t split = 0; split <= size; ++split) {
      Md5Context context;
      md5_init(context);
      const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
      md5_update(context, bytes, static_cast<uint32_t>(split));
      md5_update(context, bytes + split, static_cast<uint32_t>(size - split));
      unsigned char digest[16];
      md5_final(digest, context);
      ASSERT_EQ(hex_of(digest), expected) << size << " split at " << split;
      const auto* raw = reinterpret_cast<const unsigned char*>(&context);
      EXPECT_EQ(std::count(raw, raw + sizeof context, 0), static_cast<long>(sizeof context));
    }
  }
}

TEST(Md5Test, ByteCountCarriesIntoTheHighWordAtTwoToTheTwentyNine) {
  Md5Context context;
  md5_init(context);
  context.count[0] = 0x1FFFFFC0;  // 2^29 - 64 bytes so far
  unsigned char block[128] = {};
  md5_update(context, block, 128);
  EXPECT_EQ(context.count[0], 64u);
  EXPECT_EQ(context.count[1], 1u);
  const unsigned char* end = md5_transform(context, block, 128);
  EXPECT_EQ(end, block + 128);
}

TEST(Md5Test, HexIsLowerCaseAndTerminated) {
  unsigned char digest[16];
  for (int i = 0; i < 16; ++i) {
    digest[i] = static_cast<unsigned char>(0xF0 + i * 0x1B);
  }
  char hex[34];
  std::memset(hex, 'X', sizeof hex);
  md5_to_hex(digest, hex);
  EXPECT_EQ(hex[32], '\0');
  EXPECT_EQ(hex[33], 'X');
  EXPECT_EQ(std::string(hex), "f00b26415c7792adc8e3fe19344f6a85");
}

class Md5FileTest : public ::testing::Test {
 protected:
  void SetUp() override { scratch_.enter(); }
  ScratchDir scratch_;
};

TEST_F(Md5FileTest, FileDigestMatchesTheWholeContentAtBlockBoundaries) {
  for (size_t size : {0u, 1023u, 1024u, 2048u, 65535u, 65536u, 65537u, 3u * 65536u}) {
    std::string content = random_bytes(size, static_cast<unsigned>(size) + 1);
    scratch_.write("package.zip", content);
    unsigned char digest[16] = {};
    testing::internal::CaptureStdout();
    md5_file_print("package.zip", digest);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(hex_of(digest), reference_md5(content)) << size;
    EXPECT_EQ(printed, "aaaMD5 (package.zip) = " + reference_md5(content) + "\n");
  }
}

TEST_F(Md5FileTest, MissingFileLeavesTheDigestAndSaysSo) {
  unsigned char digest[16] = {};
  testing::internal::CaptureStdout();
  md5_file_print("packages/missing.zip", digest);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "packages/missing.zip can't be opened\n");
  EXPECT_EQ(hex_of(digest), std::string(32, '0'));
}

TEST_F(Md5FileTest, NoStreamStaysOpen) {
  scratch_.write("a", "abc");
  size_t before = open_descriptor_count();
  unsigned char digest[16];
  testing::internal::CaptureStdout();
  md5_file_print("a", digest);
  md5_file_print("missing", digest);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(open_descriptor_count(), before);
}

}  // namespace
