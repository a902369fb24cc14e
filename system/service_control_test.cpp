#include "system/service_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/process.h"
#include "platform/services.h"
#include "tests/support/service_sandbox.h"

namespace {

// Real services run by the stand-in program; the test clock where a 30-second budget has to pass.
class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override { sandbox_.add_program(); }

  void install(const std::string& options) {
    sandbox_.set_options(options);
    ASSERT_TRUE(sandbox_.install());
  }

  // Starts through the manager directly and waits until it runs.
  void run(const char* name) {
    ASSERT_TRUE(sandbox_.start(name));
    ASSERT_TRUE(sandbox_.wait_for_state(kClientServiceName, platform::SERVICE_RUNNING));
    ASSERT_TRUE(sandbox_.wait_for_state(name, platform::SERVICE_RUNNING));
  }

  // Sends the stop control itself, leaving the service in whatever its handler makes of it.
  void send_stop(const char* name) {
    platform::ScHandle manager = platform::open_sc_manager(nullptr, nullptr, platform::SC_MANAGER_CONNECT);
    platform::ScHandle service = platform::open_service(manager, name, platform::SERVICE_STOP);
    platform::ServiceStatus status{};
    ASSERT_TRUE(platform::control_service(service, platform::SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.current_state, platform::SERVICE_STOP_PENDING);
    platform::close_service_handle(service);
    platform::close_service_handle(manager);
  }

  static size_t count(const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
      ++found;
    }
    return found;
  }

  ServiceSandbox sandbox_;
};

using Clock = std::chrono::steady_clock;

int64_t ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(PendingWaitSleepTest, TenthOfTheHintWithinOneToTenSeconds) {
  struct Case {
    uint32_t hint;
    uint32_t sleep;
  };
  for (Case c : {Case{0, 1000}, Case{9999, 1000}, Case{10009, 1000}, Case{10010, 1001}, Case{20000, 2000},
                 Case{100000, 10000}, Case{100010, 10000}, Case{200000, 10000}, Case{0xFFFFFFFF, 10000}}) {
    EXPECT_EQ(pending_wait_sleep_ms(c.hint), c.sleep) << "hint " << c.hint;
  }
}

// On the real clock: the pending wait sleeps 1,000 ms for a wait hint of 0.
TEST_F(ServiceControlTest, StoppedServiceStartsAtOnceWithItsArgumentsAndOneSecondSleeps) {
  install("start_hint=0\nstart_steps=1\nstep_ms=50\n");
  const char* arguments[] = {"-path=/opt/zantho", "second word"};
  testing::internal::CaptureStdout();
  Clock::time_point start = Clock::now();
  start_service(kClientServiceName, 2, arguments);
  int64_t elapsed = ms_since(start);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Service start pending...\nService started successfully.\n");
  EXPECT_NE(sandbox_.log().find("start|Zantho Client Service|-path=/opt/zantho|second word\n"), std::string::npos);
  EXPECT_GE(elapsed, 1000);
  EXPECT_LT(elapsed, 5000);
  EXPECT_EQ(sandbox_.state(kClientServiceName), platform::SERVICE_RUNNING);
}

TEST_F(ServiceControlTest, RunningOrStartingServiceIsNotStartedAgain) {
  for (const char* options : {"step_ms=10\n", "stall=1\n"}) {
    SCOPED_TRACE(options);
    install(options);
    ASSERT_TRUE(sandbox_.start(kClientServiceName));
    ASSERT_TRUE(sandbox_.wait_for_log("start|"));
    testing::internal::CaptureStdout();
    start_service(kClientServiceName, 0, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot start the service because it is already running\n");
    EXPECT_EQ(count(sandbox_.log(), "start|"), 1u);
    sandbox_.kill(kClientServiceName);
    sandbox_.set_options("");
    std::filesystem::remove(sandbox_.program_dir() / "service_log.txt");
  }
}

TEST_F(ServiceControlTest, StoppedServiceOnlyPrintsThatItIsStopped) {
  install("dependant=Zantho Client Helper\n");
  testing::internal::CaptureStdout();
  stop_service(kClientServiceName);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Service is already stopped.\n");
  EXPECT_EQ(sandbox_.log().find("control"), std::string::npos);
}

TEST_F(ServiceControlTest, MissingServiceAndItsLines) {
  testing::internal::CaptureStdout();
  start_service("No Such Service", 0, nullptr);
  stop_service("No Such Service");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "OpenService failed (1060)\nOpenService failed (1060)\n");
}

TEST_F(ServiceControlTest, ServiceWithoutDependantsAloneGetsTheStop) {
  install("step_ms=10\nstop_ms=100\nstop_hint=20\n");
  run(kClientServiceName);
  testing::internal::CaptureStdout();
  stop_service(kClientServiceName);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Service stopped successfully\n");
  EXPECT_EQ(sandbox_.state(kClientServiceName), platform::SERVICE_STOPPED);
  EXPECT_EQ(count(sandbox_.log(), "control "), 1u);
}

TEST_F(ServiceControlTest, ActiveDependantIsStoppedFirst) {
  install("dependant=Zantho Client Helper\nstep_ms=10\n");
  run(kClientHelperName);
  testing::internal::CaptureStdout();
  stop_service(kClientServiceName);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Service stopped successfully\n");
  std::string log = sandbox_.log();
  size_t helper = log.find("control Zantho Client Helper 1");
  size_t main = log.find("control Zantho Client Service 1");
  ASSERT_NE(helper, std::string::npos);
  ASSERT_NE(main, std::string::npos);
  EXPECT_LT(helper, main);
  EXPECT_EQ(sandbox_.state(kClientHelperName), platform::SERVICE_STOPPED);
}

// A wait hint of 0 after the stop control: polls without sleeping, so the test clock does not move.
TEST_F(ServiceControlTest, ZeroWaitHintAfterTheStopControlPollsWithoutPause) {
  install("step_ms=10\nstop_ms=300\nstop_hint=0\n");
  run(kClientServiceName);
  platform::use_test_clock(true, 5000);
  testing::internal::CaptureStdout();
  stop_service(kClientServiceName);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Service stopped successfully\n");
  EXPECT_EQ(platform::tick_count64(), 5000u);
}

// A stop under way that stays pending: a line and a clamped sleep per round, until more than 30 s have passed.
TEST_F(ServiceControlTest, StopUnderWayThatNeverEndsTimesOutAfterThirtySeconds) {
  struct Case {
    uint32_t hint;
    size_t rounds;
  };
  for (Case c : {Case{0, 31}, Case{20000, 16}, Case{200000, 4}}) {
    SCOPED_TRACE(c.hint);
    install("step_ms=10\nstop_stall=1\nstop_hint=" + std::to_string(c.hint) + "\n");
    run(kClientServiceName);
    send_stop(kClientServiceName);
    platform::use_test_clock(true, 0);
    testing::internal::CaptureStdout();
    stop_service(kClientServiceName);
    std::string out = testing::internal::GetCapturedStdout();
    platform::use_test_clock(false);
    std::string expected;
    for (size_t i = 0; i < c.rounds; ++i) {
      expected += "Service stop pending...\n";
    }
    EXPECT_EQ(out, expected + "Service stop timed out.\n");
    sandbox_.kill(kClientServiceName);
  }
}

TEST_F(ServiceControlTest, StopUnderWayEndsStoppedOrTurnsBackToRunning) {
  struct Case {
    const char* options;
    const char* output;
    size_t controls;
  };
  for (Case c : {Case{"bounce_stops=0\n", "Service stop pending...\nService stopped successfully.\n", 1},
                 Case{"bounce_stops=1\n", "Service stop pending...\nService stopped successfully\n", 2}}) {
    SCOPED_TRACE(c.options);
    install(std::string("step_ms=10\nstop_ms=300\nstop_hint=100\n") + c.options);
    run(kClientServiceName);
    std::filesystem::remove(sandbox_.program_dir() / "service_log.txt");
    send_stop(kClientServiceName);
    testing::internal::CaptureStdout();
    stop_service(kClientServiceName);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
    EXPECT_EQ(count(sandbox_.log(), "control Zantho Client Service 1"), c.controls);
    EXPECT_TRUE(sandbox_.wait_for_state(kClientServiceName, platform::SERVICE_STOPPED));
  }
}

// The dependants' walk uses up the budget; the stop control still goes out, and its first poll times out.
TEST_F(ServiceControlTest, DependantThatWillNotStopEndsWithWaitTimedOut) {
  install(
      "dependant=Zantho Client Helper\nstep_ms=10\nZantho Client Helper/ignore_stop=1\n"
      "Zantho Client Helper/running_hint=1000\nstop_ms=5000\nstop_hint=500\n");
  run(kClientHelperName);
  platform::use_test_clock(true, 0);
  testing::internal::CaptureStdout();
  stop_service(kClientServiceName);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Wait timed out\n");
  // 31 one-second polls of the helper, then one poll of 500 ms.
  EXPECT_EQ(platform::tick_count64(), 31500u);
  std::string log = sandbox_.log();
  EXPECT_NE(log.find("control Zantho Client Helper 1"), std::string::npos);
  EXPECT_NE(log.find("control Zantho Client Service 1"), std::string::npos);
}

TEST_F(ServiceControlTest, StartWaitsForAStopUnderWayThatMakesNoProgress) {
  install("step_ms=10\nstop_stall=1\nstop_hint=3000\n");
  run(kClientServiceName);
  send_stop(kClientServiceName);
  platform::use_test_clock(true, 0);
  testing::internal::CaptureStdout();
  start_service(kClientServiceName, 0, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Timeout waiting for service to stop\n");
  EXPECT_EQ(platform::tick_count64(), 4000u);
  EXPECT_EQ(count(sandbox_.log(), "start|"), 1u);
}

// The stop ends during the pre-wait's sleep: the service is started, not given up on.
TEST_F(ServiceControlTest, StartAfterAStopUnderWayThatEnds) {
  install("step_ms=10\nstop_ms=200\nstop_hint=100\n");
  run(kClientServiceName);
  send_stop(kClientServiceName);
  testing::internal::CaptureStdout();
  start_service(kClientServiceName, 0, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Service start pending...\nService started successfully.\n");
  EXPECT_EQ(count(sandbox_.log(), "start|"), 2u);
}

TEST_F(ServiceControlTest, StartThatStallsItsCheckPointIsReportedNotStarted) {
  install("stall=1\nstart_hint=500\n");
  testing::internal::CaptureStdout();
  start_service(kClientServiceName, 0, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Service start pending...\n"
            "Service not started. \n"
            "  Current State: 2\n"
            "  Exit Code: 0\n"
            "  Check Point: 1\n"
            "  Wait Hint: 500\n");
}

TEST_F(ServiceControlTest, ServiceWhoseProgramIsGoneDoesNotStart) {
  install("step_ms=10\n");
  // The service program is gone by the time it is started: the manager cannot run it.
  std::filesystem::remove(sandbox_.program());
  testing::internal::CaptureStdout();
  start_service(kClientServiceName, 0, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "StartService failed (2)\n");
}

}  // namespace
