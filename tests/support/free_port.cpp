#include "tests/support/free_port.h"

#include <uv.h>

int free_port() {
  // The system picks an unused port for a socket bound to port 0; libuv does it the same way on every platform.
  uv_loop_t loop;
  if (uv_loop_init(&loop) != 0) return -1;
  uv_tcp_t socket;
  int port = -1;
  sockaddr_in address{};
  if (uv_tcp_init(&loop, &socket) == 0) {
    sockaddr_storage bound{};
    int length = sizeof bound;
    if (uv_ip4_addr("127.0.0.1", 0, &address) == 0 &&
        uv_tcp_bind(&socket, reinterpret_cast<const sockaddr*>(&address), 0) == 0 &&
        uv_tcp_getsockname(&socket, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
      port = ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    }
    uv_close(reinterpret_cast<uv_handle_t*>(&socket), nullptr);
    uv_run(&loop, UV_RUN_DEFAULT);
  }
  uv_loop_close(&loop);
  return port;
}
