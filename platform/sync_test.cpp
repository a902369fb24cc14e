#include "platform/sync.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/errors.h"
#include "platform/process.h"
#include "tests/support/platform_dir.h"
#include "tests/support/probe_runner.h"
#include "tests/support/scratch_dir.h"

namespace {

class SyncTest : public ::testing::Test {
 protected:
  std::string report_path(const std::string& name) const { return (scratch_ / name).string(); }

  // Kills a probe and waits until it has ended.
  static void kill_probe(uint32_t process_id) {
    platform::Handle process = platform::open_process(process_id);
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(platform::terminate_process(process, 1));
    EXPECT_EQ(platform::wait_for_single_object(process, 10000), platform::WAIT_OBJECT_0);
    platform::close_handle(process);
  }

  ScratchDir scratch_;
  ScopedPlatformDir platform_dir_{scratch_ / "state"};
};

TEST_F(SyncTest, MutexExistsWhileAnotherProcessHoldsItAndNotOnceItWasKilled) {
  std::string report = report_path("holder");
  ProbeReport holder = start_probe({"mutex", "zantho.exe", report, "30000"}, report);
  ASSERT_NE(holder.process_id, 0u);
  EXPECT_EQ(holder.result, "created");

  platform::Handle seen = platform::create_mutex("zantho.exe", false);
  EXPECT_NE(seen, nullptr);
  EXPECT_EQ(platform::last_error(), platform::ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(platform::close_handle(seen));

  kill_probe(holder.process_id);
  platform::Handle mine = platform::create_mutex("zantho.exe", false);
  EXPECT_NE(mine, nullptr);
  EXPECT_EQ(platform::last_error(), platform::ERROR_SUCCESS);

  // And now the other way round: this process holds it, then lets go.
  std::string second = report_path("second");
  EXPECT_EQ(start_probe({"mutex", "zantho.exe", second, "0"}, second).result, "existed");
  EXPECT_TRUE(platform::close_handle(mine));
  std::string third = report_path("third");
  EXPECT_EQ(start_probe({"mutex", "zantho.exe", third, "0"}, third).result, "created");
}

TEST_F(SyncTest, MutexNamesAreDistinctAndEverySecondHandleInOneProcessSeesTheFirst) {
  platform::Handle first = platform::create_mutex("Global\\one", false);
  ASSERT_EQ(platform::last_error(), platform::ERROR_SUCCESS);
  platform::Handle again = platform::create_mutex("Global\\one", true);
  EXPECT_EQ(platform::last_error(), platform::ERROR_ALREADY_EXISTS);
  platform::Handle other = platform::create_mutex("Global/one", false);
  EXPECT_EQ(platform::last_error(), platform::ERROR_SUCCESS);
  for (platform::Handle handle : {first, again, other}) {
    EXPECT_NE(handle, nullptr);
    EXPECT_TRUE(platform::close_handle(handle));
  }
  platform::Handle fresh = platform::create_mutex("Global\\one", false);
  EXPECT_EQ(platform::last_error(), platform::ERROR_SUCCESS);
  platform::close_handle(fresh);
}

TEST_F(SyncTest, EventSetByAnotherProcessStaysSetAfterThatProcessHasEnded) {
  platform::Handle event = platform::create_event("Zantho Client Service", true, false);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(platform::last_error(), platform::ERROR_SUCCESS);
  EXPECT_EQ(platform::wait_for_single_object(event, 0), platform::WAIT_TIMEOUT);

  EXPECT_EQ(run_probe({"set-event", "Zantho Client Service"}), 0);
  EXPECT_EQ(platform::wait_for_single_object(event, 5000), platform::WAIT_OBJECT_0);
  EXPECT_EQ(platform::wait_for_single_object(event, 0), platform::WAIT_OBJECT_0);  // manual reset: still set
  EXPECT_TRUE(platform::reset_event(event));
  EXPECT_EQ(platform::wait_for_single_object(event, 0), platform::WAIT_TIMEOUT);
  EXPECT_TRUE(platform::close_handle(event));

  // With no handle left anywhere the event is gone.
  EXPECT_EQ(run_probe({"set-event", "Zantho Client Service"}), 1);
  EXPECT_EQ(platform::open_event("Zantho Client Service"), nullptr);
  EXPECT_EQ(platform::last_error(), platform::ERROR_FILE_NOT_FOUND);
}

TEST_F(SyncTest, EventWaitWakesWhenAnotherProcessSetsIt) {
  platform::Handle event = platform::create_event("wake", false, false);
  ASSERT_NE(event, nullptr);
  auto start = std::chrono::steady_clock::now();
  // The setter runs while this thread waits.
  platform::Handle setter = platform::create_thread(
      [](void*) -> uint32_t {
        platform::sleep_ms(200);
        return static_cast<uint32_t>(run_probe({"set-event", "wake"}));
      },
      nullptr);
  EXPECT_EQ(platform::wait_for_single_object(event, 10000), platform::WAIT_OBJECT_0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  // Auto reset: the wait took the signal.
  EXPECT_EQ(platform::wait_for_single_object(event, 50), platform::WAIT_TIMEOUT);
  EXPECT_EQ(platform::wait_for_single_object(setter, 10000), platform::WAIT_OBJECT_0);
  platform::close_handle(setter);
  platform::close_handle(event);
}

TEST_F(SyncTest, EventOfAKilledCreatorIsGoneAndANewOneStartsFresh) {
  std::string report = report_path("creator");
  ProbeReport creator = start_probe({"event", "lamp", report, "30000"}, report);
  ASSERT_NE(creator.process_id, 0u);

  platform::Handle opened = platform::open_event("lamp");
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(platform::wait_for_single_object(opened, 0), platform::WAIT_OBJECT_0);  // the creator's state
  platform::Handle created = platform::create_event("lamp", false, false);
  EXPECT_EQ(platform::last_error(), platform::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(platform::wait_for_single_object(created, 0), platform::WAIT_OBJECT_0);  // opened as it was
  platform::close_handle(created);
  platform::close_handle(opened);

  kill_probe(creator.process_id);
  EXPECT_EQ(platform::open_event("lamp"), nullptr);
  platform::Handle fresh = platform::create_event("lamp", true, false);
  EXPECT_EQ(platform::last_error(), platform::ERROR_SUCCESS);
  EXPECT_EQ(platform::wait_for_single_object(fresh, 0), platform::WAIT_TIMEOUT);
  platform::close_handle(fresh);
}

TEST_F(SyncTest, WaitAndCloseRejectHandlesTheyDoNotKnow) {
  platform::Handle event = platform::create_event(nullptr, true, true);
  ASSERT_NE(event, nullptr);
  EXPECT_TRUE(platform::close_handle(event));
  int not_a_handle = 0;
  for (platform::Handle handle : {static_cast<platform::Handle>(nullptr), static_cast<platform::Handle>(&not_a_handle),
                                  event}) {
    platform::set_last_error(0);
    EXPECT_EQ(platform::wait_for_single_object(handle, 0), platform::WAIT_FAILED);
    EXPECT_EQ(platform::last_error(), platform::ERROR_INVALID_HANDLE);
  }
  EXPECT_FALSE(platform::close_handle(event));
  EXPECT_FALSE(platform::set_event(event));
}

}  // namespace
