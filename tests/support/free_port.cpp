#include "tests/support/free_port.h"

#include <chrono>
#include <thread>

#include <httplib.h>

int free_port() {
  // The system picks an unused port for a listening socket. The library closes that socket only when
  // a listening server stops, so the server listens briefly and stops again.
  httplib::Server server;
  const int port = server.bind_to_any_port("127.0.0.1");
  if (port <= 0) return -1;
  std::thread listener([&server] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  server.stop();
  listener.join();
  return port;
}
