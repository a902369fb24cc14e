#include "tests/support/linux_tool.h"

#include <uv.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/linux_tool_protocol.h"

namespace {

const char* server_address() {
  const char* address = std::getenv("ZANTHO_LINUX_TOOLS");
  return address && *address ? address : nullptr;
}

struct Spawned {
  int64_t exit_status = -1;
  bool ended = false;
};

}  // namespace

bool is_allowed_linux_tool(const std::string& name) { return name == "nginx" || name == "openssl"; }

LinuxToolResult run_linux_tool(const std::vector<std::string>& arguments) {
  if (arguments.empty() || !is_allowed_linux_tool(arguments[0])) {
    return {-1, "not a tool the suites may run: " + (arguments.empty() ? std::string() : arguments[0])};
  }
  const char* address = server_address();
  if (!address) return run_tool_here(arguments);
  std::vector<std::string> fields = {kLinuxToolRun};
  fields.insert(fields.end(), arguments.begin(), arguments.end());
  return ask_linux_tool_server(address, fields);
}

std::string linux_path(const std::filesystem::path& path) {
  const char* address = server_address();
  const std::filesystem::path absolute = std::filesystem::absolute(path);
  if (!address) return absolute.string();
  // Linux names are UTF-8, as Wine makes them; string() would give the Windows code page's bytes.
  const std::u8string utf8 = absolute.u8string();
  const std::string text(utf8.begin(), utf8.end());
  const LinuxToolResult result = ask_linux_tool_server(address, {kLinuxToolPath, text});
  // Left as it is, the path makes the tool that gets it fail with a message that names it.
  return result.exit_code == 0 ? result.output : text;
}

LinuxToolResult run_tool_here(const std::vector<std::string>& arguments) {
  LinuxToolResult result;
  if (arguments.empty()) return result;
  uv_loop_t loop;
  uv_loop_init(&loop);
  uv_fs_t temporary;
  const std::string pattern = (std::filesystem::temp_directory_path() / "zantho-linux-tool-XXXXXX").string();
  const int output = uv_fs_mkstemp(nullptr, &temporary, pattern.c_str(), nullptr);
  const std::string output_path = output >= 0 ? temporary.path : "";
  uv_fs_req_cleanup(&temporary);
  if (output < 0) {
    uv_loop_close(&loop);
    result.output = std::string("no temporary file for the output: ") + uv_strerror(output);
    return result;
  }
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  uv_stdio_container_t stdio[3];
  stdio[0].flags = UV_IGNORE;
  for (int i = 1; i < 3; ++i) {
    stdio[i].flags = UV_INHERIT_FD;
    stdio[i].data.fd = output;
  }
  uv_process_options_t options{};
  options.file = argv[0];
  options.args = argv.data();
  options.stdio_count = 3;
  options.stdio = stdio;
  options.exit_cb = [](uv_process_t* process, int64_t exit_status, int signal) {
    auto* spawned = static_cast<Spawned*>(process->data);
    // A tool ended by a signal failed; a shell would say 128 + the signal.
    spawned->exit_status = signal != 0 ? 128 + signal : exit_status;
    spawned->ended = true;
    uv_close(reinterpret_cast<uv_handle_t*>(process), nullptr);
  };
  Spawned spawned;
  uv_process_t process;
  process.data = &spawned;
  const int started = uv_spawn(&loop, &process, &options);
  if (started != 0) uv_close(reinterpret_cast<uv_handle_t*>(&process), nullptr);
  uv_run(&loop, UV_RUN_DEFAULT);
  uv_loop_close(&loop);
  uv_fs_t close_request;
  uv_fs_close(nullptr, &close_request, output, nullptr);
  uv_fs_req_cleanup(&close_request);
  std::ostringstream text;
  text << std::ifstream(output_path, std::ios::binary).rdbuf();
  std::filesystem::remove(output_path);
  if (started != 0) {
    result.output = arguments[0] + " could not be started: " + uv_strerror(started);
  } else {
    result.exit_code = spawned.ended ? static_cast<int>(spawned.exit_status) : -1;
    result.output = text.str();
  }
  return result;
}
