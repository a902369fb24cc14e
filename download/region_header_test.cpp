#include <gtest/gtest.h>

#include <string>

#include "download/http_downloader.h"

namespace {

struct HeaderCase {
  const char* line;
  const char* value_after;  // the string's value after the call, which starts as "unset"
  const char* printed;
};

class RegionHeaderTest : public testing::TestWithParam<HeaderCase> {};

TEST_P(RegionHeaderTest, KeepsTheRegionValueAndConsumesEveryLine) {
  std::string line = GetParam().line;
  std::string value = "unset";
  testing::internal::CaptureStdout();
  size_t taken = on_region_header(line.data(), 1, line.size(), &value);
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(taken, line.size());
  EXPECT_EQ(value, GetParam().value_after);
  EXPECT_EQ(printed, GetParam().printed);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RegionHeaderTest,
    testing::Values(HeaderCase{"X-Region: us\r\n", "us", "header_print X-Region: us\r\n"},
                    // At most as many characters as the home region has.
                    HeaderCase{"X-Region: cnxyz\r\n", "cn", "header_print X-Region: cnxyz\r\n"},
                    HeaderCase{"Content-Length: 5\r\n", "unset",
                               "header_print Content-Length: 5\r\n------------------\n"},
                    // A line too short to hold a value after the name leaves the string empty.
                    HeaderCase{"X-Region", "", "header_print X-Region"}));

}  // namespace
