// What a test program and the Linux tool server say to each other, one request a connection: the request is a
// list of fields, each ended by a NUL byte, and ends where the client stops sending; the reply is the exit code,
// a line feed, then the output.
#pragma once

#include <string>
#include <vector>

#include "tests/support/linux_tool.h"

// Fields: "run", then the tool's arguments; or "path", then one absolute path of the test program.
inline constexpr const char* kLinuxToolRun = "run";
inline constexpr const char* kLinuxToolPath = "path";

std::string encode_fields(const std::vector<std::string>& fields);
// False for a request whose last field has no end (a cut request).
bool decode_fields(const std::string& request, std::vector<std::string>* fields);

std::string encode_result(const LinuxToolResult& result);
// A reply with no exit code line reads as exit code -1 with the reply as its output.
LinuxToolResult decode_result(const std::string& reply);

// Sends the fields to the server at "host:port" and reads its reply; exit code -1 with the reason when the server
// was not reached.
LinuxToolResult ask_linux_tool_server(const std::string& address, const std::vector<std::string>& fields);
