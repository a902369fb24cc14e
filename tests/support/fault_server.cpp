#include "tests/support/fault_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <httplib.h>

namespace {

const char* const kType = "application/octet-stream";

// "bytes=first-last" into the inclusive range; false when the header holds anything else.
bool parse_range(const std::string& header, size_t size, size_t* first, size_t* last) {
  unsigned long long a = 0;
  unsigned long long b = 0;
  char tail = 0;
  if (std::sscanf(header.c_str(), "bytes=%llu-%llu%c", &a, &b, &tail) != 2 || a > b || a >= size) return false;
  *first = a;
  *last = std::min<size_t>(b, size - 1);
  return true;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

FaultServer::FaultServer() : server_(std::make_unique<httplib::Server>()), scheme_("http") { start(false); }

FaultServer::~FaultServer() {
  release();
  if (listener_.joinable()) {
    server_->stop();
    listener_.join();
  }
}

std::string FaultServer::url(const std::string& path) const {
  return scheme_ + "://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

void FaultServer::serve(const std::string& path, std::string content, Fault fault, int delay_ms) {
  std::lock_guard<std::mutex> hold(mutex_);
  resources_["/" + path] = Resource{std::move(content), fault, delay_ms};
}

std::vector<RecordedRequest> FaultServer::requests() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return requests_;
}

std::vector<RecordedRequest> FaultServer::gets(const std::string& path) const {
  std::vector<RecordedRequest> found;
  for (const auto& request : requests())
    if (request.method == "GET" && (path.empty() || request.path == "/" + path)) found.push_back(request);
  return found;
}

void FaultServer::announce(const std::string& path, size_t length) {
  std::lock_guard<std::mutex> hold(mutex_);
  resources_["/" + path].announced = static_cast<int64_t>(length);
}

void FaultServer::on_hold(std::function<void()> hook) {
  std::lock_guard<std::mutex> hold(mutex_);
  hold_hook_ = std::move(hook);
}

void FaultServer::release() { released_ = true; }

void FaultServer::record(const std::string& method, const std::string& path, const std::string& range) {
  std::lock_guard<std::mutex> hold(mutex_);
  requests_.push_back({method, path, range});
}

std::string FaultServer::reset_url(const std::string& path) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!reset_listener_) {
    reset_listener_ = std::make_unique<ResetListener>(
        [this](const std::string& at, std::string* content) {
          std::lock_guard<std::mutex> lookup(mutex_);
          auto entry = resources_.find(at);
          if (entry == resources_.end()) return false;
          *content = entry->second.content;
          return true;
        },
        [this](const std::string& method, const std::string& at, const std::string& range) {
          record(method, at, range);
        });
  }
  return "http://127.0.0.1:" + std::to_string(reset_listener_->port()) + path;
}

void FaultServer::start(bool tls) {
  if (tls && !server_->is_valid()) return;
  auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    // The library would cut the body to the asked range itself; each fault decides that here instead.
    const std::string range = request.get_header_value("Range");
    const_cast<httplib::Request&>(request).ranges.clear();
    Resource resource{"", Fault::kNone, 0};
    bool found = false;
    std::function<void()> hold_hook;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      requests_.push_back({request.method, request.path, range});
      auto entry = resources_.find(request.path);
      if (entry != resources_.end()) {
        resource = entry->second;
        found = true;
      }
      hold_hook = hold_hook_;
    }
    if (!found) {
      response.status = 404;
      response.set_content("no such file", "text/plain");
      return;
    }
    const bool head = request.method == "HEAD";
    const bool silent = resource.fault == Fault::kSilent || (resource.fault == Fault::kSilentBody && !head) ||
                        (resource.fault == Fault::kSilentHead && head);
    if (silent) {
      if (hold_hook) hold_hook();
      // Not a byte, not even the status line, until the test lets go.
      while (!released_) sleep_ms(10);
      response.status = 503;
      return;
    }
    if (head && resource.announced >= 0) {
      response.status = 200;
      if (resource.announced == 0) {
        response.set_content("", kType);
      } else {
        // The length alone: a HEAD carries no body, so an announced 10 TB costs nothing.
        response.set_content_provider(static_cast<size_t>(resource.announced), kType,
                                      [](size_t, size_t, httplib::DataSink&) { return false; });
      }
      return;
    }
    if (resource.fault == Fault::kFiveRedirects || resource.fault == Fault::kSixRedirects) {
      const int hops = resource.fault == Fault::kFiveRedirects ? 5 : 6;
      const int hop = request.has_param("hop") ? std::stoi(request.get_param_value("hop")) : 0;
      if (hop < hops) {
        response.set_redirect(request.path + "?hop=" + std::to_string(hop + 1));
        return;
      }
    }
    if (resource.fault == Fault::kResetMidBody && !head) {
      response.set_redirect(reset_url(request.path), 307);
      return;
    }
    const std::string& content = resource.content;
    size_t first = 0;
    size_t last = 0;
    const bool ranged = parse_range(range, content.size(), &first, &last);
    if (!head) {
      const int now = ++concurrent_;
      int seen = max_concurrent_;
      while (now > seen && !max_concurrent_.compare_exchange_weak(seen, now)) {
      }
      if (resource.fault == Fault::kGather) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(resource.delay_ms);
        while (concurrent_ < 5 && std::chrono::steady_clock::now() < deadline) sleep_ms(5);
        // The last to arrive lets the others see the count before anyone leaves.
        sleep_ms(20);
      } else if (resource.fault != Fault::kSlowFirstRange || (ranged && first == 0)) {
        sleep_ms(resource.delay_ms);
      }
      --concurrent_;
    }
    switch (resource.fault) {
      case Fault::kStatus404:
      case Fault::kStatus503:
        response.status = resource.fault == Fault::kStatus404 ? 404 : 503;
        response.set_content(resource.fault == Fault::kStatus404 ? "not found" : "unavailable", "text/plain");
        return;
      case Fault::kRedirect:
        response.set_redirect(content);
        return;
      case Fault::kGetsFail500:
      case Fault::kGetsTrickle500:
        if (head) break;
        response.status = 500;
        if (resource.fault == Fault::kGetsFail500) {
          response.set_content("internal error", "text/plain");
          return;
        }
        response.set_content_provider(80, "text/plain", [this](size_t offset, size_t, httplib::DataSink& sink) {
          static const std::string page(80, 'e');
          if (released_) return false;
          sleep_ms(100);
          return sink.write(page.data() + offset, 1);
        });
        return;
      case Fault::kNoLength:
      case Fault::kPartialWithoutRange:
        if (head || resource.fault == Fault::kNoLength) {
          response.status = 200;
          response.set_chunked_content_provider(kType, [content](size_t, httplib::DataSink& sink) {
            // Pieces of 100 KiB, so the body comes in several writes.
            for (size_t at = 0; at < content.size(); at += 102400)
              sink.write(content.data() + at, std::min<size_t>(102400, content.size() - at));
            sink.done();
            return true;
          });
          return;
        }
        response.status = 206;
        response.set_content(content, kType);
        return;
      case Fault::kZeroLength:
        response.status = 200;
        response.set_content(head ? std::string() : content, kType);
        return;
      case Fault::kIgnoreRange:
        response.status = 200;
        response.set_content(content, kType);
        return;
      default:
        break;
    }
    if (!head && !range.empty() && !ranged) {
      response.status = 416;
      response.set_header("Content-Range", "bytes */" + std::to_string(content.size()));
      return;
    }
    std::string body = ranged ? content.substr(first, last - first + 1) : content;
    response.status = ranged ? 206 : 200;
    if (ranged) {
      response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                               std::to_string(content.size()));
    }
    if (resource.fault == Fault::kEndlessBody && !head) {
      response.set_chunked_content_provider(kType, [body](size_t offset, httplib::DataSink& sink) {
        // The asked bytes first, then filler for as long as the client reads.
        if (offset == 0 && !body.empty()) return sink.write(body.data(), body.size());
        static const std::string filler(65536, 'z');
        return sink.write(filler.data(), filler.size());
      });
      return;
    }
    if (resource.fault == Fault::kCloseMidBody && !head) {
      response.set_content_provider(body.size(), kType, [body](size_t offset, size_t, httplib::DataSink& sink) {
        // Refusing to go on makes the library close the connection short of the announced length.
        const size_t half = body.size() / 2;
        return offset < half && sink.write(body.data() + offset, half - offset);
      });
      return;
    }
    if (resource.fault == Fault::kShortRange && ranged) body.resize(body.size() / 2);
    if (resource.fault == Fault::kStallMidBody && !head) {
      const size_t length = body.size();
      response.set_content_provider(length, kType,
                                    [this, body](size_t offset, size_t, httplib::DataSink& sink) {
                                      const size_t half = body.size() / 2;
                                      if (offset < half) return sink.write(body.data(), half);
                                      // A stalled handler holds its thread: it watches the release flag.
                                      while (!released_) sleep_ms(10);
                                      return sink.write(body.data() + offset, body.size() - offset);
                                    });
      return;
    }
    response.set_content(std::move(body), kType);
  };
  server_->Get(".*", handler);
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) return;
  listener_ = std::thread([this] { server_->listen_after_bind(); });
  for (int i = 0; i < 5000 && !server_->is_running(); ++i) sleep_ms(1);
}
