#include "tests/support/reset_listener.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <uv.h>

struct ResetListenerLoop {
  uv_loop_t loop;
  uv_tcp_t server;
  uv_async_t stop;
  ResetListener::Lookup lookup;
  ResetListener::Record record;
};

namespace {

struct Connection {
  uv_tcp_t tcp;
  uv_write_t write;
  ResetListenerLoop* owner;
  std::string request;
  std::string reply;
  char read_buffer[4096];
};

std::string header_value(const std::string& request, const char* name) {
  const std::string key = std::string("\r\n") + name + ": ";
  const size_t at = request.find(key);
  if (at == std::string::npos) return "";
  const size_t start = at + key.size();
  return request.substr(start, request.find("\r\n", start) - start);
}

// Headers that promise the whole range (or body), and then half of its bytes.
std::string reply_for(const std::string& content, const std::string& range) {
  size_t first = 0;
  size_t last = content.empty() ? 0 : content.size() - 1;
  unsigned long long a = 0;
  unsigned long long b = 0;
  const bool ranged = std::sscanf(range.c_str(), "bytes=%llu-%llu", &a, &b) == 2 && a <= b && a < content.size();
  if (ranged) {
    first = a;
    last = b < content.size() ? b : content.size() - 1;
  }
  const std::string body = content.substr(first, last - first + 1);
  std::string head = ranged ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
  head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (ranged) {
    head += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
            std::to_string(content.size()) + "\r\n";
  }
  return head + "\r\n" + body.substr(0, body.size() / 2);
}

void release(uv_handle_t* handle) { delete static_cast<Connection*>(handle->data); }

void on_written(uv_write_t* write, int) {
  auto* connection = static_cast<Connection*>(write->data);
  uv_tcp_close_reset(&connection->tcp, release);
}

void on_read(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buffer) {
  auto* connection = static_cast<Connection*>(stream->data);
  if (nread < 0) {
    uv_close(reinterpret_cast<uv_handle_t*>(stream), release);
    return;
  }
  connection->request.append(buffer->base, static_cast<size_t>(nread));
  if (connection->request.find("\r\n\r\n") == std::string::npos) return;
  uv_read_stop(stream);
  const std::string& request = connection->request;
  const size_t space = request.find(' ');
  const std::string method = request.substr(0, space);
  const std::string target = request.substr(space + 1, request.find(' ', space + 1) - space - 1);
  const std::string path = target.substr(0, target.find('?'));
  const std::string range = header_value(request, "Range");
  connection->owner->record(method, path, range);
  std::string content;
  connection->reply = connection->owner->lookup(path, &content)
                          ? reply_for(content, range)
                          : "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
  uv_buf_t out = uv_buf_init(connection->reply.data(), static_cast<unsigned int>(connection->reply.size()));
  connection->write.data = connection;
  if (uv_write(&connection->write, stream, &out, 1, on_written) != 0)
    uv_close(reinterpret_cast<uv_handle_t*>(stream), release);
}

void on_connection(uv_stream_t* server, int status) {
  if (status < 0) return;
  auto* owner = static_cast<ResetListenerLoop*>(server->data);
  auto* connection = new Connection{};
  connection->owner = owner;
  uv_tcp_init(&owner->loop, &connection->tcp);
  connection->tcp.data = connection;
  if (uv_accept(server, reinterpret_cast<uv_stream_t*>(&connection->tcp)) != 0) {
    uv_close(reinterpret_cast<uv_handle_t*>(&connection->tcp), release);
    return;
  }
  uv_read_start(
      reinterpret_cast<uv_stream_t*>(&connection->tcp),
      [](uv_handle_t* handle, size_t, uv_buf_t* buffer) {
        auto* own = static_cast<Connection*>(handle->data);
        *buffer = uv_buf_init(own->read_buffer, sizeof own->read_buffer);
      },
      on_read);
}

// Closes every handle of the loop, so uv_run returns.
void on_stop(uv_async_t* stop) {
  uv_walk(
      stop->loop,
      [](uv_handle_t* handle, void*) {
        if (uv_is_closing(handle)) return;
        const bool connection = handle->type == UV_TCP && handle->data != handle->loop->data;
        uv_close(handle, connection ? release : nullptr);
      },
      nullptr);
}

}  // namespace

ResetListener::ResetListener(Lookup lookup, Record record) : loop_(std::make_unique<ResetListenerLoop>()) {
  loop_->lookup = std::move(lookup);
  loop_->record = std::move(record);
  if (uv_loop_init(&loop_->loop) != 0) return;  // no thread: the destructor has nothing to stop
  // Tells the walk at the end the listening handle from the connections.
  loop_->loop.data = loop_.get();
  loop_->server.data = loop_.get();
  uv_tcp_init(&loop_->loop, &loop_->server);
  uv_async_init(&loop_->loop, &loop_->stop, on_stop);
  loop_->stop.data = loop_.get();
  sockaddr_in address{};
  sockaddr_storage bound{};
  int length = sizeof bound;
  if (uv_ip4_addr("127.0.0.1", 0, &address) == 0 &&
      uv_tcp_bind(&loop_->server, reinterpret_cast<const sockaddr*>(&address), 0) == 0 &&
      uv_listen(reinterpret_cast<uv_stream_t*>(&loop_->server), 16, on_connection) == 0 &&
      uv_tcp_getsockname(&loop_->server, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
    // The port in network byte order, read byte by byte.
    const auto* port = reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    port_ = port[0] << 8 | port[1];
  }
  thread_ = std::thread([this] { uv_run(&loop_->loop, UV_RUN_DEFAULT); });
}

ResetListener::~ResetListener() {
  if (!thread_.joinable()) return;
  uv_async_send(&loop_->stop);
  thread_.join();
  uv_loop_close(&loop_->loop);
}
