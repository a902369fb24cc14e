// A loopback listener that answers a GET with the start of its body and then resets the connection, which the
// HTTP library of the fault server cannot do. It serves what the fault server hands it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

struct ResetListenerLoop;

class ResetListener {
 public:
  // The content at a path; false when there is none. Called on the listener's own thread.
  using Lookup = std::function<bool(const std::string& path, std::string* content)>;
  // Every request: method, path, Range header ("" when none).
  using Record = std::function<void(const std::string& method, const std::string& path, const std::string& range)>;

  ResetListener(Lookup lookup, Record record);
  ~ResetListener();
  ResetListener(const ResetListener&) = delete;
  ResetListener& operator=(const ResetListener&) = delete;

  // -1 when it could not listen.
  int port() const { return port_; }

 private:
  std::unique_ptr<ResetListenerLoop> loop_;
  std::thread thread_;
  int port_ = -1;
};
