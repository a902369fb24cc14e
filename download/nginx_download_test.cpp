#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "download/engine_test_fixture.h"
#include "platform/environment.h"
#include "tests/support/nginx_fixture.h"

namespace {

struct Served {
  const char* name;
  size_t size;
};

const std::vector<Served> kFiles = {{"one.bin", 1}, {"odd.bin", 3 * 1048576 + 1}, {"small.bin", 700000}};

class NginxDownloadTest : public EngineTest, public testing::WithParamInterface<bool> {};

TEST_P(NginxDownloadTest, FilesArriveWholeInRangesOverHttp11) {
  const bool https = GetParam();
  std::vector<std::string> contents;
  for (const Served& served : kFiles) {
    contents.push_back(patterned_content(served.size, static_cast<uint32_t>(contents.size() + 7)));
    scratch_.write(std::string("root/") + served.name, contents.back());
  }
  NginxFixture nginx(scratch_ / "root", scratch_ / "nginx");
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  ASSERT_TRUE(platform::set_environment_variable("CURL_CA_BUNDLE", nginx.ca_file().string().c_str()));
  std::filesystem::create_directories(scratch_ / "out");
  for (const Served& served : kFiles) {
    const std::string url = https ? nginx.https_url(served.name) : nginx.http_url(served.name);
    ASSERT_EQ(engine_.add_file_task(url, std::string("out/") + served.name), 0);
  }
  std::string body;
  ASSERT_EQ(engine_.add_memory_task(https ? nginx.https_url("small.bin") : nginx.http_url("small.bin"), &body), 0);
  ASSERT_EQ(engine_.run_downloads(), DOWNLOAD_OK);
  for (size_t i = 0; i < kFiles.size(); ++i)
    EXPECT_TRUE(file(std::string("out/") + kFiles[i].name) == contents[i]) << kFiles[i].name;
  EXPECT_TRUE(body == contents[2]);
  // nginx writes its access log line when the response has gone out; the last may lag a moment.
  std::vector<std::string> lines;
  for (int attempt = 0; attempt < 100 && lines.size() < 4 + 1 + 13 + 3 + 3; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    lines.clear();
    std::ifstream log(nginx.access_log());
    for (std::string line; std::getline(log, line);) lines.push_back(line);
  }
  // Four probes, then one range for the 1-byte file, 13 for the odd one and 3 each for the small one.
  ASSERT_EQ(lines.size(), 24u);
  int heads = 0;
  for (const std::string& line : lines) {
    EXPECT_NE(line.find(" HTTP/1.1 "), std::string::npos) << line;
    if (line.rfind("HEAD ", 0) == 0) {
      ++heads;
      EXPECT_NE(line.find(" 200"), std::string::npos) << line;
    } else {
      EXPECT_NE(line.find(" 206"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(heads, 4);
}

INSTANTIATE_TEST_SUITE_P(Schemes, NginxDownloadTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Https" : "Http"; });

}  // namespace
