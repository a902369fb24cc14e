#include "update/client_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/log.h"
#include "platform/errors.h"
#include "platform/handle.h"
#include "platform/services.h"
#include "platform/shell.h"
#include "platform/sync.h"
#include "tests/support/service_sandbox.h"

namespace {

// The step against the platform's service manager and the stand-in service program, run from the program
// directory with the launcher's log.
class ClientServiceStep : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(sandbox_.program_dir());
    init_logger();
  }
  void TearDown() override {
    spdlog::drop("update");
    platform::set_shell_failure(0);
    std::filesystem::current_path(previous_);
    for (const char* name : {kClientHelperName, kClientServiceName}) {
      platform::ScHandle manager = platform::open_sc_manager(nullptr, nullptr, platform::SC_MANAGER_ALL_ACCESS);
      platform::ScHandle service = platform::open_service(manager, name, platform::DELETE);
      platform::delete_service(service);
      platform::close_service_handle(service);
      platform::close_service_handle(manager);
    }
  }

  // Installs and starts the stand-in as the service before the step runs.
  void running_service(const std::string& options = "") {
    sandbox_.add_program();
    sandbox_.set_options(options);
    ASSERT_TRUE(sandbox_.install());
    ASSERT_TRUE(sandbox_.start(kClientServiceName));
    ASSERT_TRUE(sandbox_.wait_for_state(kClientServiceName, platform::SERVICE_RUNNING));
  }

  // The log's messages after its first line, without the pattern's prefix.
  std::vector<std::string> messages() const {
    spdlog::get("update")->flush();
    std::ifstream in(std::filesystem::current_path() / "logs" / "update", std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t level_end = line.find("] ", line.find("] [update] ") + 11);
      if (level_end != std::string::npos) lines.push_back(line.substr(level_end + 2));
    }
    return lines;
  }

  bool event_exists() const {
    platform::Handle event = platform::open_event(kClientServiceName);
    platform::close_handle(event);
    return event != nullptr;
  }

  ServiceSandbox sandbox_;
  std::filesystem::path previous_;
};

TEST_F(ClientServiceStep, ReinstallsAndStartsTheServiceWithTheProgramDirectory) {
  running_service();
  ASSERT_EQ(check_zantho_service(), 0);
  EXPECT_TRUE(sandbox_.wait_for_state(kClientServiceName, platform::SERVICE_RUNNING));
  std::string log = sandbox_.log();
  size_t stopped = log.find("stopped Zantho Client Service\n");
  size_t installed = log.find("install|cwd=" + sandbox_.program_dir().string() + "|install\n", stopped);
  size_t started = log.find("start|Zantho Client Service|-path=" + sandbox_.program_dir().string() + "\n", installed);
  EXPECT_NE(stopped, std::string::npos) << log;
  EXPECT_NE(installed, std::string::npos) << log;
  EXPECT_NE(started, std::string::npos) << log;
  EXPECT_TRUE(messages().empty());
}

TEST_F(ClientServiceStep, MissingProgramGivesTenWithTheServiceStoppedAndTheEventMade) {
  running_service();
  // A program directory without the service program (the running one cannot be deleted on Windows).
  spdlog::drop("update");
  std::filesystem::create_directories(sandbox_.scratch() / "other");
  std::filesystem::current_path(sandbox_.scratch() / "other");
  init_logger();
  EXPECT_EQ(check_zantho_service(), 10);
  EXPECT_EQ(sandbox_.state(kClientServiceName), platform::SERVICE_STOPPED);
  EXPECT_TRUE(event_exists());
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(sandbox_.log().find("install|", sandbox_.log().find("start|")), std::string::npos) << "nothing was run";
}

TEST_F(ClientServiceStep, ShellFailureGivesTwoWithItsLine) {
  sandbox_.add_program();
  struct Case {
    uint32_t error;
    std::string line;
  };
  for (const Case& c : {Case{platform::ERROR_CANCELLED, "\xE6\x8F\x90\xE5\x8D\x87\xE6\x9D\x83\xE9\x99\x90\xE8\xA2\xAB"
                                                          "\xE7\x94\xA8\xE6\x88\xB7\xE6\x8B\x92\xE7\xBB\x9D\\n"},
                        Case{platform::ERROR_ACCESS_DENIED, "ShellExecuteEx dwStatus: 5"}}) {
    platform::set_shell_failure(c.error);
    EXPECT_EQ(check_zantho_service(), 2) << c.error;
    EXPECT_EQ(messages().back(), c.line);
    EXPECT_EQ(sandbox_.log().find("install|"), std::string::npos) << "nothing was run";
  }
}

}  // namespace
