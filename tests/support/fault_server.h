// An in-process HTTP(S) server on 127.0.0.1 that serves contents with chosen faults and records every
// request it receives (method, path, Range header), so tests check what was asked as well as what came.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/reset_listener.h"

namespace httplib {
class Server;
}

enum class Fault {
  kNone,                  // HEAD with the length; a range gets 206 with its bytes, no range 200 with all
  kNoLength,              // HEAD and GET without a length (chunked), 200
  kZeroLength,            // HEAD says a length of 0; GET brings the whole body with its length
  kIgnoreRange,           // every GET gets 200 with the whole body
  kPartialWithoutRange,   // HEAD without a length; GET gets 206 with the whole body
  kShortRange,            // a range gets 206 with only the first half of its bytes
  kStallMidBody,          // a GET sends half of its bytes, then nothing until release()
  kSlowFirstRange,        // the range that starts at 0 is answered after the delay, every other one at once
  kGather,                // a GET is answered once five GETs are in at the same time, or after the delay
  kStatus404,             // 404 with a short page, HEAD too
  kStatus503,             // 503 with a short page, HEAD too
  kRedirect,              // 302 to the content taken as a URL, HEAD too
  kFiveRedirects,         // five 302s in a row before the content, HEAD too
  kSixRedirects,          // six 302s in a row before the content, HEAD too
  kResetMidBody,          // a GET gets the right length, half of its bytes, then a TCP reset
  kCloseMidBody,          // a GET gets the right length, half of its bytes, then the connection is closed
  kEndlessBody,           // a range gets 206 with its Content-Range and then bytes without end
  kSilent,                // every request, HEAD too, gets nothing at all until release()
  kSilentBody,            // HEAD with the length; a GET gets nothing at all until release()
  kSilentHead,            // HEAD gets nothing at all until release(); a GET gets 200 with the whole body
  kGetsFail500,           // HEAD with the length; every GET gets 500 with a short page
  kGetsTrickle500,        // HEAD with the length; every GET gets 500 with a page of a byte per 100 ms, 8 s long
};

struct RecordedRequest {
  std::string method;
  std::string path;
  std::string range;  // the Range header, "" when none
};

class FaultServer {
 public:
  // Plain HTTP.
  FaultServer();
  // HTTPS with this certificate and key (PEM files).
  FaultServer(const std::string& cert_file, const std::string& key_file);
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  // "<scheme>://127.0.0.1:<port>/" + path.
  std::string url(const std::string& path) const;
  // Serves `content` at "/" + path; every GET handler waits `delay_ms` before it answers (with
  // kSlowFirstRange only the range at 0 waits).
  void serve(const std::string& path, std::string content, Fault fault = Fault::kNone, int delay_ms = 0);
  std::vector<RecordedRequest> requests() const;
  // GET requests only, in the order they arrived, of one path ("" for all).
  std::vector<RecordedRequest> gets(const std::string& path = "") const;
  // The most GET handlers that ran at the same time.
  int max_concurrent_gets() const { return max_concurrent_; }
  // HEAD reports this length for the path from now on, whatever the GETs serve: a file that changed between
  // the probe and the ranges.
  void announce(const std::string& path, size_t length);
  // Called on the server's thread whenever a silent request begins to wait.
  void on_hold(std::function<void()> hook);
  // Lets stalled bodies go on.
  void release();

  struct Resource {
    std::string content;
    Fault fault;
    int delay_ms;
    int64_t announced = -1;  // the length HEAD reports, -1 for the content's own
  };

 private:
  void start(bool tls);
  void record(const std::string& method, const std::string& path, const std::string& range);
  // The URL of the reset listener for a path; it is started on the first call.
  std::string reset_url(const std::string& path);

  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
  std::string scheme_;
  int port_ = -1;
  mutable std::mutex mutex_;
  std::map<std::string, Resource> resources_;
  std::vector<RecordedRequest> requests_;
  std::atomic<bool> released_{false};
  std::atomic<int> concurrent_{0};
  std::atomic<int> max_concurrent_{0};
  std::function<void()> hold_hook_;
  std::unique_ptr<ResetListener> reset_listener_;
};
