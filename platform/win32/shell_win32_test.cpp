// ShellExecuteW and ShellExecuteExW of Windows (or Wine) with the stand-in service program, which records how it
// was run.
#include "platform/shell.h"

#include "platform/win32/windows_api.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/service_sandbox.h"

namespace platform {
namespace {

class Win32Shell : public ::testing::Test {
 protected:
  void SetUp() override { sandbox_.add_program(); }
  void TearDown() override { set_shell_failure(0); }

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

TEST_F(Win32Shell, RunsTheProgramWithItsParametersInTheGivenDirectoryAndHandsBackTheProcess) {
  std::filesystem::create_directories(sandbox_.scratch() / "work dir");
  std::u16string file = sandbox_.program().u16string();
  std::u16string directory = (sandbox_.scratch() / "work dir").u16string();
  ShellExecuteInfo info{};
  info.size = sizeof info;
  info.mask = SEE_MASK_NOCLOSEPROCESS;
  info.file = file.c_str();
  info.parameters = u"install \"two words\" -gameid=42";
  info.directory = directory.c_str();
  info.show = SW_SHOWNORMAL;
  ASSERT_TRUE(shell_execute_ex(&info)) << last_error();
  EXPECT_GT(info.instance_app, 32);
  ASSERT_NE(info.process, nullptr);
  EXPECT_EQ(wait_for_single_object(info.process, 20000), WAIT_OBJECT_0);
  close_handle(info.process);
  EXPECT_EQ(wait_for_line("install|"),
            "install|cwd=" + (sandbox_.scratch() / "work dir").string() + "|install|two words|-gameid=42");
}

TEST_F(Win32Shell, PlainCallWithTheOpenVerbInheritsTheCurrentDirectory) {
  sandbox_.scratch().enter();
  intptr_t result =
      shell_execute(nullptr, u"open", u"program\\ZanthoClientService.exe", u"install", nullptr, SW_SHOWNORMAL);
  EXPECT_GT(result, 32);
  EXPECT_EQ(wait_for_line("install|"), "install|cwd=" + sandbox_.scratch().path().string() + "|install");
}

// Without SEE_MASK_FLAG_NO_UI the shell would first show its own error box (under Wine without a display that box
// fails and leaves 1400 as the last error).
TEST_F(Win32Shell, AMissingProgramGivesNotFound) {
  std::u16string file = (sandbox_.scratch() / "missing.exe").u16string();
  ShellExecuteInfo info{};
  info.size = sizeof info;
  info.mask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.file = file.c_str();
  EXPECT_FALSE(shell_execute_ex(&info));
  EXPECT_EQ(last_error(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(info.instance_app, SE_ERR_FNF);
  EXPECT_EQ(info.process, nullptr);
  EXPECT_EQ(shell_execute(nullptr, nullptr, file.c_str(), nullptr, nullptr, SW_SHOWNORMAL), SE_ERR_FNF);
}

TEST_F(Win32Shell, SeamMakesEveryCallFailWithTheChosenErrorAndRunsNothing) {
  std::u16string file = sandbox_.program().u16string();
  set_shell_failure(ERROR_CANCELLED);
  ShellExecuteInfo info{};
  info.size = sizeof info;
  info.file = file.c_str();
  info.parameters = u"install";
  EXPECT_FALSE(shell_execute_ex(&info));
  EXPECT_EQ(last_error(), ERROR_CANCELLED);
  EXPECT_EQ(shell_execute(nullptr, nullptr, file.c_str(), u"install", nullptr, SW_SHOWNORMAL), SE_ERR_ACCESSDENIED);
  set_shell_failure(0);
  EXPECT_GT(shell_execute(nullptr, nullptr, file.c_str(), u"install", nullptr, SW_SHOWNORMAL), 32);
  EXPECT_EQ(wait_for_line("install|").rfind("install|cwd=", 0), 0u);
  EXPECT_EQ(sandbox_.log().find("install|", sandbox_.log().find("install|") + 1), std::string::npos);
}

TEST_F(Win32Shell, RecordOfTheWrongSizeIsRefused) {
  ShellExecuteInfo info{};
  info.size = sizeof info - 1;
  info.file = u"C:\\windows\\notepad.exe";
  EXPECT_FALSE(shell_execute_ex(&info));
  EXPECT_EQ(last_error(), ERROR_INVALID_PARAMETER);
}

}  // namespace
}  // namespace platform
