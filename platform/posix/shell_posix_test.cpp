#include "platform/shell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "tests/support/probe_runner.h"
#include "tests/support/service_sandbox.h"

namespace {

namespace fs = std::filesystem;

std::u16string wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

class ShellTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::set_shell_failure(0); }

  // Polls the stand-in's log for a line that starts with prefix.
  std::string wait_for_line(const std::string& prefix) {
    for (int i = 0; i < 1000; ++i) {
      std::string log = sandbox_.log();
      size_t at = log.find(prefix);
      if (at != std::string::npos && log.find('\n', at) != std::string::npos) {
        return log.substr(at, log.find('\n', at) - at);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "";
  }

  ServiceSandbox sandbox_;
};

TEST_F(ShellTest, RunsTheProgramDetachedWithItsParametersInTheGivenDirectory) {
  sandbox_.add_program();
  fs::create_directories(sandbox_.scratch() / "work dir");
  std::u16string file = wide(sandbox_.program().string());
  std::u16string directory = wide((sandbox_.scratch() / "work dir").string());
  platform::ShellExecuteInfo info{};
  info.size = sizeof info;
  info.mask = platform::SEE_MASK_NOCLOSEPROCESS;
  info.file = file.c_str();
  info.parameters = u"install \"two words\" a\\\\b \"q\\\"uote\"";
  info.directory = directory.c_str();
  info.show = platform::SW_SHOWNORMAL;
  ASSERT_TRUE(platform::shell_execute_ex(&info));
  EXPECT_GT(info.instance_app, 32);
  if (info.process) {
    EXPECT_EQ(platform::wait_for_single_object(info.process, 10000), platform::WAIT_OBJECT_0);
    platform::close_handle(info.process);
  }
  EXPECT_EQ(wait_for_line("install|"),
            "install|cwd=" + (sandbox_.scratch() / "work dir").string() + "|install|two words|a\\\\b|q\"uote");
}

TEST_F(ShellTest, PlainCallInheritsTheCurrentDirectoryAndTakesBackslashes) {
  sandbox_.add_program();
  sandbox_.scratch().enter();
  std::string relative = "program\\ZanthoClientService.exe";
  intptr_t result = platform::shell_execute(nullptr, u"open", wide(relative).c_str(), u"install", nullptr,
                                            platform::SW_SHOWNORMAL);
  EXPECT_GT(result, 32);
  EXPECT_EQ(wait_for_line("install|"), "install|cwd=" + sandbox_.scratch().path().string() + "|install");
}

TEST_F(ShellTest, FailuresGiveWindowsNumbers) {
  sandbox_.scratch().write("document.txt", "not a program");
  std::string scratch = sandbox_.scratch().path().string();
  struct Case {
    std::string file;
    const char16_t* verb;
    std::string directory;
    uint32_t error;
    intptr_t value;
  };
  Case cases[] = {
      {scratch + "/missing.exe", nullptr, "", platform::ERROR_FILE_NOT_FOUND, platform::SE_ERR_FNF},
      {scratch + "/no dir/missing.exe", nullptr, "", platform::ERROR_PATH_NOT_FOUND, platform::SE_ERR_PNF},
      {scratch + "/document.txt", nullptr, "", platform::ERROR_ACCESS_DENIED, platform::SE_ERR_ACCESSDENIED},
      {scratch, nullptr, "", platform::ERROR_ACCESS_DENIED, platform::SE_ERR_ACCESSDENIED},
      {client_service_program().string(), u"print", "", platform::ERROR_NO_ASSOCIATION, platform::SE_ERR_NOASSOC},
      {client_service_program().string(), nullptr, scratch + "/gone", platform::ERROR_PATH_NOT_FOUND,
       platform::SE_ERR_PNF},
      {"", nullptr, "", platform::ERROR_FILE_NOT_FOUND, platform::SE_ERR_FNF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::u16string file = wide(c.file);
    std::u16string directory = wide(c.directory);
    platform::ShellExecuteInfo info{};
    info.size = sizeof info;
    info.mask = platform::SEE_MASK_NOCLOSEPROCESS;
    info.verb = c.verb;
    info.file = file.c_str();
    info.directory = c.directory.empty() ? nullptr : directory.c_str();
    EXPECT_FALSE(platform::shell_execute_ex(&info));
    EXPECT_EQ(platform::last_error(), c.error);
    EXPECT_EQ(info.instance_app, c.value);
    EXPECT_EQ(info.process, nullptr);
    EXPECT_EQ(platform::shell_execute(nullptr, c.verb, file.c_str(), nullptr, info.directory, 1), c.value);
  }
}

TEST_F(ShellTest, SeamMakesEveryCallFailWithTheChosenError) {
  sandbox_.add_program();
  std::u16string file = wide(sandbox_.program().string());
  platform::set_shell_failure(platform::ERROR_CANCELLED);
  platform::ShellExecuteInfo info{};
  info.size = sizeof info;
  info.file = file.c_str();
  info.parameters = u"install";
  EXPECT_FALSE(platform::shell_execute_ex(&info));
  EXPECT_EQ(platform::last_error(), platform::ERROR_CANCELLED);
  EXPECT_EQ(platform::shell_execute(nullptr, nullptr, file.c_str(), u"install", nullptr, 1),
            platform::SE_ERR_ACCESSDENIED);
  platform::set_shell_failure(0);
  EXPECT_GT(platform::shell_execute(nullptr, nullptr, file.c_str(), u"install", nullptr, 1), 32);
  EXPECT_EQ(wait_for_line("install|").rfind("install|cwd=", 0), 0u);
  EXPECT_EQ(sandbox_.log().find("install|", sandbox_.log().find("install|") + 1), std::string::npos);
}

// A process list must not mistake what a program left running for the program itself: the launcher hands over
// to "another launcher" when it sees its own name.
TEST_F(ShellTest, NothingLeftRunningIsListedAsTheCaller) {
  std::string report = (sandbox_.scratch() / "report").string();
  std::u16string file = wide(probe_program().string());
  std::u16string parameters = wide("mutex m " + report + " 30000");
  platform::ShellExecuteInfo info{};
  info.size = sizeof info;
  info.mask = platform::SEE_MASK_NOCLOSEPROCESS;
  info.file = file.c_str();
  info.parameters = parameters.c_str();
  ASSERT_TRUE(platform::shell_execute_ex(&info));
  ASSERT_NE(info.process, nullptr);
  uint32_t started = platform::get_process_id(info.process);
  ASSERT_NE(wait_for_report(report, 10000).process_id, 0u);

  platform::Handle snapshot = platform::create_process_snapshot();
  ASSERT_NE(snapshot, nullptr);
  std::vector<platform::ProcessEntry> entries(1);
  for (bool more = platform::process_first(snapshot, &entries.back()); more;
       more = platform::process_next(snapshot, &entries.back())) {
    entries.emplace_back();
  }
  platform::close_handle(snapshot);
  entries.pop_back();
  auto find = [&](uint32_t id) {
    return std::find_if(entries.begin(), entries.end(), [id](const auto& e) { return e.process_id == id; });
  };
  for (const platform::ProcessEntry& entry : entries) {
    if (entry.process_id != platform::get_current_process_id()) {
      EXPECT_NE(entry.exe_file, "platform_tests") << entry.process_id;
    }
  }
  // What waits for the program is listed too, under a name of its own.
  auto program = find(started);
  ASSERT_NE(program, entries.end());
  auto waiter = find(program->parent_process_id);
  ASSERT_NE(waiter, entries.end());
  EXPECT_NE(waiter->exe_file, "platform_tests");

  EXPECT_TRUE(platform::terminate_process(info.process, 0));
  EXPECT_EQ(platform::wait_for_single_object(info.process, 10000), platform::WAIT_OBJECT_0);
  platform::close_handle(info.process);
}

TEST_F(ShellTest, RecordOfTheWrongSizeIsRefused) {
  platform::ShellExecuteInfo info{};
  info.size = sizeof info - 1;
  info.file = u"/bin/true";
  EXPECT_FALSE(platform::shell_execute_ex(&info));
  EXPECT_EQ(platform::last_error(), platform::ERROR_INVALID_PARAMETER);
}

}  // namespace
