// Runs nginx, openssl and python3 for Windows test programs under Wine, which can start a Linux program but neither wait
// for it nor learn its exit code. Listens on 127.0.0.1 (a free port, written to PORT_FILE once it listens) until
// SIGTERM, SIGINT or SIGHUP, or until the program that started it is gone (killed outright, it sends no signal);
// then it stops every nginx it started and ends.
// Usage: linux_tool_server PORT_FILE
#include <uv.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tests/support/linux_tool.h"
#include "tests/support/linux_tool_protocol.h"
#include "tests/support/linux_tool_server/wine_path.h"

namespace {

struct Connection {
  uv_tcp_t socket;
  uv_write_t write;
  std::string request;
  std::string reply;
};

uv_tcp_t g_server;
// The nginx command lines that started a server (without "-s"): each is stopped again at the end.
std::set<std::vector<std::string>> g_started_nginx;

bool is_nginx_start(const std::vector<std::string>& arguments) {
  if (arguments[0] != "nginx") return false;
  for (const std::string& argument : arguments) {
    if (argument == "-s" || argument == "-t" || argument == "-T" || argument == "-v" || argument == "-V") return false;
  }
  return true;
}

LinuxToolResult answer(const std::string& request) {
  std::vector<std::string> fields;
  if (!decode_fields(request, &fields) || fields.size() < 2) return {-1, "a request is a verb and its fields"};
  if (fields[0] == kLinuxToolPath) {
    if (fields.size() != 2) return {-1, "\"path\" takes one path"};
    const auto path = wine_unix_path(fields[1], wine_prefix());
    return path ? LinuxToolResult{0, *path} : LinuxToolResult{-1, "not a path of a drive of the prefix: " + fields[1]};
  }
  if (fields[0] != kLinuxToolRun) return {-1, "unknown request: " + fields[0]};
  const std::vector<std::string> arguments(fields.begin() + 1, fields.end());
  if (!is_allowed_linux_tool(arguments[0])) return {-1, "not a tool the suites may run: " + arguments[0]};
  if (is_nginx_start(arguments)) g_started_nginx.insert(arguments);
  return run_tool_here(arguments);
}

void close_connection(Connection* connection) {
  uv_close(reinterpret_cast<uv_handle_t*>(&connection->socket),
           [](uv_handle_t* handle) { delete static_cast<Connection*>(handle->data); });
}

void on_read(uv_stream_t* stream, ssize_t count, const uv_buf_t* buffer) {
  auto* connection = static_cast<Connection*>(stream->data);
  if (count > 0) connection->request.append(buffer->base, static_cast<size_t>(count));
  delete[] buffer->base;
  if (count >= 0) return;
  uv_read_stop(stream);
  if (count != UV_EOF) {
    close_connection(connection);
    return;
  }
  connection->reply = encode_result(answer(connection->request));
  uv_buf_t reply = uv_buf_init(connection->reply.data(), static_cast<unsigned>(connection->reply.size()));
  connection->write.data = connection;
  uv_write(&connection->write, stream, &reply, 1,
           [](uv_write_t* write, int) { close_connection(static_cast<Connection*>(write->data)); });
}

void on_connection(uv_stream_t* server, int status) {
  if (status != 0) return;
  auto* connection = new Connection;
  connection->socket.data = connection;
  uv_tcp_init(server->loop, &connection->socket);
  auto* stream = reinterpret_cast<uv_stream_t*>(&connection->socket);
  if (uv_accept(server, stream) != 0) {
    close_connection(connection);
    return;
  }
  uv_read_start(
      stream,
      [](uv_handle_t*, size_t size, uv_buf_t* buffer) {
        *buffer = uv_buf_init(new char[size], static_cast<unsigned>(size));
      },
      on_read);
}

void stop(uv_loop_t* loop) {
  for (std::vector<std::string> arguments : g_started_nginx) {
    arguments.insert(arguments.end(), {"-s", "stop"});
    run_tool_here(arguments);
  }
  uv_stop(loop);
}

void on_signal(uv_signal_t* signal, int) { stop(signal->loop); }

uv_pid_t g_parent = 0;

// An orphan is handed to another parent.
void on_parent_check(uv_timer_t* timer) {
  if (uv_os_getppid() != g_parent) {
    stop(timer->loop);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: linux_tool_server PORT_FILE\n");
    return 2;
  }
  uv_loop_t* loop = uv_default_loop();
  std::vector<uv_signal_t> signals(3);
  const int numbers[] = {SIGTERM, SIGINT, SIGHUP};
  for (size_t i = 0; i < signals.size(); ++i) {
    uv_signal_init(loop, &signals[i]);
    uv_signal_start(&signals[i], on_signal, numbers[i]);
  }
  g_parent = uv_os_getppid();
  uv_timer_t parent_check;
  uv_timer_init(loop, &parent_check);
  uv_timer_start(&parent_check, on_parent_check, 500, 500);
  sockaddr_in address{};
  uv_ip4_addr("127.0.0.1", 0, &address);
  uv_tcp_init(loop, &g_server);
  sockaddr_storage bound{};
  int length = sizeof bound;
  if (uv_tcp_bind(&g_server, reinterpret_cast<const sockaddr*>(&address), 0) != 0 ||
      uv_listen(reinterpret_cast<uv_stream_t*>(&g_server), 16, on_connection) != 0 ||
      uv_tcp_getsockname(&g_server, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    std::fprintf(stderr, "linux_tool_server: cannot listen on 127.0.0.1\n");
    return 1;
  }
  // Written whole under another name first, so whoever waits for the file never reads half a number.
  const std::filesystem::path port_file = argv[1];
  const std::filesystem::path partial = port_file.string() + ".partial";
  std::ofstream(partial) << ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port) << "\n";
  std::filesystem::rename(partial, port_file);
  uv_run(loop, UV_RUN_DEFAULT);
  return 0;
}
