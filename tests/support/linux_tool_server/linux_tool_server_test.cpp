#include <uv.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/environment.h"
#include "tests/support/child_process.h"
#include "tests/support/free_port.h"
#include "tests/support/linux_tool.h"
#include "tests/support/linux_tool_protocol.h"
#include "tests/support/linux_tool_server/wine_path.h"
#include "tests/support/nginx_fixture.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(WinePath, DrivesResolveThroughThePrefixLinks) {
  ScratchDir scratch;
  const fs::path prefix = scratch / "prefix";
  fs::create_directories(prefix / "dosdevices");
  fs::create_directories(prefix / "drive_c");
  fs::create_directory_symlink("../drive_c", prefix / "dosdevices/c:");
  fs::create_directory_symlink("/", prefix / "dosdevices/z:");
  const std::string drive_c = fs::canonical(prefix / "drive_c").string();
  struct Case {
    const char* windows;
    std::optional<std::string> unix_path;
  };
  const Case cases[] = {
      {R"(C:\users\root\Temp\zantho-test-1\nginx.conf)", drive_c + "/users/root/Temp/zantho-test-1/nginx.conf"},
      {"c:/users/a b/x", drive_c + "/users/a b/x"},
      {R"(C:\users\程序\x)", drive_c + "/users/程序/x"},
      {R"(\\?\C:\users\x)", drive_c + "/users/x"},
      {R"(Z:\tmp\zantho-test-2\cdn)", "/tmp/zantho-test-2/cdn"},
      {R"(C:\users\..\windows)", drive_c + "/windows"},
      {R"(D:\no\such\drive)", std::nullopt},
      {R"(relative\path)", std::nullopt},
      {"C:", std::nullopt},
      {R"(\\server\share\x)", std::nullopt},
      {"/tmp/a unix path", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(wine_unix_path(c.windows, prefix), c.unix_path) << c.windows;
}

// The server program of this build, listening for the test's requests until stop().
class LinuxToolServerTest : public testing::Test {
 protected:
  void SetUp() override {
    uv_loop_init(&loop_);
    const std::string program = (build_dir() / "tests/support/linux_tool_server/linux_tool_server").string();
    const std::string port_file = (scratch_ / "port").string();
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(port_file.c_str()), nullptr};
    uv_process_options_t options{};
    options.file = argv[0];
    options.args = argv;
    options.exit_cb = [](uv_process_t* process, int64_t status, int signal) {
      *static_cast<int*>(process->data) = signal != 0 ? 128 + signal : static_cast<int>(status);
      uv_close(reinterpret_cast<uv_handle_t*>(process), nullptr);
    };
    server_.data = &exit_code_;
    ASSERT_EQ(uv_spawn(&loop_, &server_, &options), 0) << program;
    running_ = true;
    for (int i = 0; i < 500 && !fs::exists(scratch_ / "port"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    int port = 0;
    std::ifstream(scratch_ / "port") >> port;
    ASSERT_GT(port, 0) << "the server wrote no port";
    address_ = "127.0.0.1:" + std::to_string(port);
    ASSERT_TRUE(platform::set_environment_variable("ZANTHO_LINUX_TOOLS", address_.c_str()));
  }
  void TearDown() override {
    if (running_) stop();
    uv_loop_close(&loop_);
  }
  // Ends the server as the test run does, and what follows runs the tools here again.
  int stop() {
    platform::set_environment_variable("ZANTHO_LINUX_TOOLS", nullptr);
    uv_process_kill(&server_, SIGTERM);
    uv_run(&loop_, UV_RUN_DEFAULT);
    running_ = false;
    return exit_code_;
  }

  ScratchDir scratch_;
  uv_loop_t loop_;
  uv_process_t server_;
  bool running_ = false;
  int exit_code_ = -1;
  std::string address_;
};

TEST_F(LinuxToolServerTest, RunsOnlyTheAllowedToolsAndAnswersTheirExitCodeAndOutput) {
  const LinuxToolResult version = run_linux_tool({"openssl", "version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.output.rfind("OpenSSL ", 0), 0u) << version.output;
  const LinuxToolResult failed = run_linux_tool({"openssl", "req", "-no-such-option"});
  EXPECT_NE(failed.exit_code, 0);
  EXPECT_NE(failed.output.find("no-such-option"), std::string::npos) << failed.output;

  // The server keeps its own allow-list, whatever a client sends.
  const fs::path marker = scratch_ / "marker";
  const LinuxToolResult refused =
      ask_linux_tool_server(address_, {kLinuxToolRun, "sh", "-c", "echo x > '" + marker.string() + "'"});
  EXPECT_EQ(refused.exit_code, -1);
  EXPECT_FALSE(fs::exists(marker));
  for (const std::vector<std::string>& request : std::vector<std::vector<std::string>>{
           {"remove", "/tmp"}, {kLinuxToolRun}, {kLinuxToolPath, "relative", "two"}}) {
    EXPECT_EQ(ask_linux_tool_server(address_, request).exit_code, -1) << request[0];
  }
  // Still serving after those.
  EXPECT_EQ(run_linux_tool({"openssl", "version"}).exit_code, 0);

  EXPECT_EQ(stop(), 0);
  // A server that is gone is an error at once, not a hang.
  ASSERT_TRUE(platform::set_environment_variable("ZANTHO_LINUX_TOOLS", address_.c_str()));
  const LinuxToolResult unreached = run_linux_tool({"openssl", "version"});
  platform::set_environment_variable("ZANTHO_LINUX_TOOLS", nullptr);
  EXPECT_EQ(unreached.exit_code, -1);
  EXPECT_NE(unreached.output.find("not reached"), std::string::npos) << unreached.output;
}

TEST_F(LinuxToolServerTest, NginxStartedThroughItRunsUntilTheServerEndsAndIsThenStopped) {
  scratch_.write("root/hello.txt", "hello");
  NginxFixture nginx(scratch_ / "root", scratch_ / "nginx");
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  const fs::path pid_file = scratch_ / "nginx/nginx.pid";
  ASSERT_TRUE(fs::exists(pid_file));
  // The test's own nginx stays up while the server runs other requests.
  EXPECT_EQ(run_linux_tool({"openssl", "version"}).exit_code, 0);
  EXPECT_TRUE(fs::exists(pid_file));

  EXPECT_EQ(stop(), 0);
  // nginx removes its pid file when its master has ended.
  for (int i = 0; i < 500 && fs::exists(pid_file); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(fs::exists(pid_file));
}

// A test run killed outright sends its server no signal: the server stops its nginx once it has lost its parent.
TEST(LinuxToolServer, AnOrphanedServerStopsItsNginxAndEnds) {
  ScratchDir scratch;
  const std::string program = (build_dir() / "tests/support/linux_tool_server/linux_tool_server").string();
  const fs::path port_file = scratch / "port", pid_file = scratch / "server.pid", release = scratch / "release";
  // The shell is the server's parent until the test lets it end.
  ChildProcess parent({"sh", "-c", "\"$0\" \"$1\" & echo $! > \"$2\"; while [ ! -e \"$3\" ]; do sleep 0.05; done",
                       program, port_file.string(), pid_file.string(), release.string()});
  ASSERT_TRUE(parent.started()) << parent.error();
  for (int i = 0; i < 500 && !(fs::exists(port_file) && fs::file_size(pid_file) > 0); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  int port = 0, server_pid = 0;
  std::ifstream(port_file) >> port;
  std::ifstream(pid_file) >> server_pid;
  ASSERT_GT(port, 0) << "the server wrote no port";
  ASSERT_GT(server_pid, 0);
  ASSERT_TRUE(platform::set_environment_variable("ZANTHO_LINUX_TOOLS", ("127.0.0.1:" + std::to_string(port)).c_str()));
  scratch.write("root/hello.txt", "hello");
  {
    NginxFixture nginx(scratch / "root", scratch / "nginx");
    platform::set_environment_variable("ZANTHO_LINUX_TOOLS", nullptr);
    ASSERT_TRUE(nginx.ok()) << nginx.error();
    const fs::path nginx_pid = scratch / "nginx/nginx.pid";
    ASSERT_TRUE(fs::exists(nginx_pid));

    scratch.write("release", "");
    ASSERT_TRUE(parent.wait(5000));
    for (int i = 0; i < 500 && fs::exists(nginx_pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(fs::exists(nginx_pid));
    bool ended = false;
    for (int i = 0; i < 500 && !(ended = uv_kill(server_pid, 0) != 0); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(ended);
    if (!ended) uv_kill(server_pid, SIGKILL);
  }
}

}  // namespace
