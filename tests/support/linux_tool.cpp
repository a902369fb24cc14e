#include "tests/support/linux_tool.h"

#include <uv.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

#include "tests/support/child_process.h"
#include "tests/support/linux_tool_protocol.h"

namespace {

const char* server_address() {
  const char* address = std::getenv("ZANTHO_LINUX_TOOLS");
  return address && *address ? address : nullptr;
}

}  // namespace

bool is_allowed_linux_tool(const std::string& name) {
  return name == "nginx" || name == "openssl" || name == "python3";
}

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
  const std::string text = utf8_path(absolute);
  const LinuxToolResult result = ask_linux_tool_server(address, {kLinuxToolPath, text});
  // Left as it is, the path makes the tool that gets it fail with a message that names it.
  return result.exit_code == 0 ? result.output : text;
}

LinuxToolResult run_tool_here(const std::vector<std::string>& arguments) {
  LinuxToolResult result;
  if (arguments.empty()) return result;
  uv_fs_t temporary;
  const std::string pattern = (std::filesystem::temp_directory_path() / "zantho-linux-tool-XXXXXX").string();
  const int made = uv_fs_mkstemp(nullptr, &temporary, pattern.c_str(), nullptr);
  const std::string output_path = made >= 0 ? temporary.path : "";
  uv_fs_req_cleanup(&temporary);
  if (made < 0) {
    result.output = std::string("no temporary file for the output: ") + uv_strerror(made);
    return result;
  }
  uv_fs_t close_request;
  uv_fs_close(nullptr, &close_request, made, nullptr);
  uv_fs_req_cleanup(&close_request);
  ChildOptions options;
  options.output = output_path;
  ChildProcess tool(arguments, options);
  if (!tool.started()) {
    result.output = tool.error();
  } else {
    // As long as it takes: a tool that never ends is for the script's time-out to catch.
    tool.wait(std::numeric_limits<uint32_t>::max());
    result.exit_code = static_cast<int>(tool.exit_code());
    std::ostringstream text;
    text << std::ifstream(output_path, std::ios::binary).rdbuf();
    result.output = text.str();
  }
  std::filesystem::remove(output_path);
  return result;
}
