#include "tests/support/linux_tool_protocol.h"

#include <uv.h>

#include <charconv>
#include <cstdlib>

namespace {

struct Exchange {
  uv_tcp_t socket;
  uv_connect_t connect;
  uv_write_t write;
  uv_shutdown_t shutdown;
  std::string request;
  std::string reply;
  int error = 0;
};

void close_socket(Exchange* exchange) {
  auto* handle = reinterpret_cast<uv_handle_t*>(&exchange->socket);
  if (!uv_is_closing(handle)) uv_close(handle, nullptr);
}

void on_read(uv_stream_t* stream, ssize_t count, const uv_buf_t* buffer) {
  auto* exchange = static_cast<Exchange*>(stream->data);
  if (count > 0) exchange->reply.append(buffer->base, static_cast<size_t>(count));
  delete[] buffer->base;
  if (count < 0) {
    if (count != UV_EOF) exchange->error = static_cast<int>(count);
    close_socket(exchange);
  }
}

void on_connect(uv_connect_t* connect, int status) {
  auto* exchange = static_cast<Exchange*>(connect->data);
  if (status != 0) {
    exchange->error = status;
    close_socket(exchange);
    return;
  }
  auto* stream = reinterpret_cast<uv_stream_t*>(&exchange->socket);
  uv_buf_t buffer = uv_buf_init(exchange->request.data(), static_cast<unsigned>(exchange->request.size()));
  // The end of the request is the end of what this side sends.
  uv_write(&exchange->write, stream, &buffer, 1, nullptr);
  uv_shutdown(&exchange->shutdown, stream, nullptr);
  uv_read_start(
      stream,
      [](uv_handle_t*, size_t size, uv_buf_t* buffer) {
        *buffer = uv_buf_init(new char[size], static_cast<unsigned>(size));
      },
      on_read);
}

bool ask_server(const std::string& address, const std::string& request, std::string* reply) {
  const size_t colon = address.rfind(':');
  sockaddr_in target{};
  if (colon == std::string::npos ||
      uv_ip4_addr(address.substr(0, colon).c_str(), std::atoi(address.c_str() + colon + 1), &target) != 0) {
    *reply = "ZANTHO_LINUX_TOOLS is not host:port: " + address;
    return false;
  }
  uv_loop_t loop;
  uv_loop_init(&loop);
  Exchange exchange;
  exchange.request = request;
  exchange.socket.data = &exchange;
  exchange.connect.data = &exchange;
  uv_tcp_init(&loop, &exchange.socket);
  exchange.error =
      uv_tcp_connect(&exchange.connect, &exchange.socket, reinterpret_cast<const sockaddr*>(&target), on_connect);
  if (exchange.error != 0) close_socket(&exchange);
  uv_run(&loop, UV_RUN_DEFAULT);
  uv_loop_close(&loop);
  if (exchange.error != 0) {
    *reply = "the Linux tool server at " + address + " was not reached: " + uv_strerror(exchange.error);
    return false;
  }
  *reply = std::move(exchange.reply);
  return true;
}

}  // namespace

std::string encode_fields(const std::vector<std::string>& fields) {
  std::string request;
  for (const std::string& field : fields) {
    request += field;
    request += '\0';
  }
  return request;
}

bool decode_fields(const std::string& request, std::vector<std::string>* fields) {
  fields->clear();
  size_t start = 0;
  while (start < request.size()) {
    const size_t end = request.find('\0', start);
    if (end == std::string::npos) return false;
    fields->push_back(request.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

std::string encode_result(const LinuxToolResult& result) {
  return std::to_string(result.exit_code) + "\n" + result.output;
}

LinuxToolResult decode_result(const std::string& reply) {
  const size_t line_end = reply.find('\n');
  int exit_code = 0;
  if (line_end != std::string::npos) {
    const auto [end, error] = std::from_chars(reply.data(), reply.data() + line_end, exit_code);
    if (error == std::errc() && end == reply.data() + line_end) return {exit_code, reply.substr(line_end + 1)};
  }
  return {-1, "the Linux tool server answered without an exit code: " + reply};
}

LinuxToolResult ask_linux_tool_server(const std::string& address, const std::vector<std::string>& fields) {
  std::string reply;
  if (!ask_server(address, encode_fields(fields), &reply)) return {-1, reply};
  return decode_result(reply);
}
