#include "common/single_instance.h"

#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/sync.h"
#include "tests/support/platform_dir.h"
#include "tests/support/probe_runner.h"
#include "tests/support/scratch_dir.h"

namespace {

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_instance_mutex = nullptr;
  }
  void TearDown() override {
    release_single_instance();
    g_instance_mutex = nullptr;
  }
  ScratchDir scratch_;
  ScopedPlatformDir platform_dir_{scratch_ / "state"};
};

TEST_F(SingleInstanceTest, ReleaseBeforeAnyAcquireFails) { EXPECT_FALSE(release_single_instance()); }

TEST_F(SingleInstanceTest, SecondLauncherFindsTheMutexUntilTheFirstIsKilled) {
  std::string report = (scratch_ / "first").string();
  ProbeReport first = start_probe({"mutex", "zantho.exe", report, "30000"}, report);
  ASSERT_EQ(first.result, "created");

  EXPECT_FALSE(acquire_single_instance("zantho.exe"));
  EXPECT_NE(g_instance_mutex, nullptr);  // still an open handle
  EXPECT_TRUE(release_single_instance());

  platform::Handle process = platform::open_process(first.process_id);
  ASSERT_NE(process, nullptr);
  ASSERT_TRUE(platform::terminate_process(process, 1));
  ASSERT_EQ(platform::wait_for_single_object(process, 10000), platform::WAIT_OBJECT_0);
  platform::close_handle(process);

  EXPECT_TRUE(acquire_single_instance("zantho.exe"));
  std::string second = (scratch_ / "second").string();
  EXPECT_EQ(start_probe({"mutex", "zantho.exe", second, "0"}, second).result, "existed");
  EXPECT_TRUE(release_single_instance());
  EXPECT_FALSE(release_single_instance());  // closed, though not cleared
}

}  // namespace
