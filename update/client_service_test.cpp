#include "update/client_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/log.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "platform/services.h"
#include "platform/shell.h"
#include "platform/sync.h"
#include "tests/support/service_sandbox.h"

namespace fs = std::filesystem;

namespace {

// The step in a program directory of its own, with the stand-in service program and the update log there.
class ClientServiceStep {
 public:
  explicit ClientServiceStep(const std::string& program_dir_name = "program") : sandbox_(program_dir_name) {
    previous_dir_ = fs::current_path();
    fs::current_path(sandbox_.program_dir());
    init_logger();
  }
  ~ClientServiceStep() {
    spdlog::drop("update");
    platform::set_shell_failure(0);
    platform::use_test_clock(false);
    fs::current_path(previous_dir_);
  }

  // The service installed by the stand-in and running, as before an update.
  void run_service(const std::string& options = "") {
    sandbox_.add_program();
    sandbox_.set_options(options);
    ASSERT_TRUE(sandbox_.install());
    ASSERT_TRUE(sandbox_.start(kClientServiceName));
    ASSERT_TRUE(sandbox_.wait_for_state(kClientServiceName, platform::SERVICE_RUNNING));
  }

  std::string update_log() const {
    std::ifstream in(sandbox_.program_dir() / "logs" / "update", std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

  size_t count_in_service_log(const std::string& text) const {
    std::string log = sandbox_.log();
    size_t found = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
      ++found;
    }
    return found;
  }

  ServiceSandbox& sandbox() { return sandbox_; }

 private:
  ServiceSandbox sandbox_;
  fs::path previous_dir_;
};

// Every early end leaves the stopped service stopped; only the shell's failure has a line of its own.
TEST(ClientServiceStepTest, EarlyEndsLeaveTheServiceStopped) {
  struct Case {
    const char* name;
    bool program_missing;
    uint32_t shell_error;
    int result;
    std::string logged;  // the error line's message with the log's own line end, or empty for no line
  };
  const Case cases[] = {
      {"no service program", true, 0, 10, ""},
      {"elevation refused", false, 1223, 2, "提升权限被用户拒绝\\n\r\n"},
      {"file not found", false, 2, 2, "所要执行的文件没有找到\n\r\n"},
      {"access denied", false, 5, 2, "ShellExecuteEx dwStatus: 5\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClientServiceStep step;
    step.run_service();
    if (c.program_missing) {
      // Moved away rather than deleted: Windows does not delete the file of a running program.
      fs::rename(step.sandbox().program(), step.sandbox().program_dir() / "moved away.exe");
    }
    platform::set_shell_failure(c.shell_error);

    EXPECT_EQ(check_zantho_service(), c.result);

    EXPECT_EQ(step.sandbox().state(kClientServiceName), platform::SERVICE_STOPPED);
    EXPECT_EQ(step.count_in_service_log("start|"), 1u);
    EXPECT_EQ(step.count_in_service_log("install|"), 1u) << "the program ran again";
    platform::Handle event = platform::open_event(kClientServiceName);
    EXPECT_NE(event, nullptr) << "the event must exist after every outcome";
    platform::close_handle(event);
    std::string log = step.update_log();
    size_t error_line = log.find("[update] [error] ");
    if (c.logged.empty()) {
      EXPECT_EQ(error_line, std::string::npos) << log;
    } else {
      ASSERT_NE(error_line, std::string::npos) << log;
      EXPECT_EQ(log.substr(error_line + 17), c.logged);
    }
  }
}

// The service is not installed, so neither the stop nor the start waits: the test clock moves by the event's wait
// alone, and the start that fails still gives 0.
TEST(ClientServiceStepTest, WaitsFiveSecondsForTheEventUnlessItIsSetAlready) {
  for (bool signalled_before : {false, true}) {
    SCOPED_TRACE(signalled_before ? "signalled before" : "never set");
    ClientServiceStep step;
    step.sandbox().add_program();
    step.sandbox().set_options("skip_install=1\nno_event=1\n");
    platform::Handle earlier = platform::create_event(kClientServiceName, true, signalled_before);
    // Where named objects are the machine's, the step of an earlier case still holds the event with its state.
    signalled_before ? platform::set_event(earlier) : platform::reset_event(earlier);
    platform::use_test_clock(true, 1000);
    testing::internal::CaptureStdout();

    EXPECT_EQ(check_zantho_service(), 0);

    uint64_t waited = platform::tick_count64() - 1000;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "OpenService failed (1060)\nOpenService failed (1060)\n");
    EXPECT_EQ(waited, signalled_before ? 0u : 5000u);
    EXPECT_TRUE(step.sandbox().wait_for_log("installed nothing"));
    EXPECT_EQ(step.update_log().find("[error]"), std::string::npos);
    platform::close_handle(earlier);
  }
}

// The program runs from the program directory with "install", sets the event, and the service starts with the
// directory as its argument, in UTF-8 also beyond ASCII.
TEST(ClientServiceStepTest, ReinstallsAndStartsTheServiceWithTheProgramDirectory) {
  ClientServiceStep step("程序 dir");
  step.run_service("step_ms=10\nstart_hint=0\nstart_steps=1\n");
  std::string directory = step.sandbox().program_dir().string();

  EXPECT_EQ(check_zantho_service(), 0);

  EXPECT_EQ(step.sandbox().state(kClientServiceName), platform::SERVICE_RUNNING);
  std::string log = step.sandbox().log();
  size_t stopped = log.find("stopped Zantho Client Service\n");
  size_t installed = log.find("install|cwd=" + directory + "|install\n", stopped);
  size_t started = log.find("start|Zantho Client Service|-path=" + directory + "\n", installed);
  EXPECT_NE(stopped, std::string::npos) << log;
  EXPECT_NE(installed, std::string::npos) << log;
  EXPECT_NE(started, std::string::npos) << log;
}

}  // namespace
