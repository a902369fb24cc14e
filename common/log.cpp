#include "common/log.h"

#include <cstdio>
#include <memory>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>

unsigned char g_log_ready = 0;

namespace {

constexpr const char* kLoggerName = "update";

// set_pattern always puts the line end back to LF; a formatter built with CR LF keeps it.
void set_crlf_pattern(spdlog::logger& logger, const char* pattern) {
  logger.set_formatter(std::make_unique<spdlog::pattern_formatter>(pattern, spdlog::pattern_time_type::local, "\r\n"));
}

// The registry alone owns the logger; it is looked up, set up and released again.
bool set_up_registered_logger() {
  std::shared_ptr<spdlog::logger> logger = spdlog::get(kLoggerName);
  if (!logger) {
    return false;
  }
  logger->flush_on(spdlog::level::info);
  set_crlf_pattern(*logger, "[%c][process %P] [thread %t] %v");
  logger->info("ver {} begin log", "2.5.6");
  set_crlf_pattern(*logger, "%+");
  return true;
}

}  // namespace

int init_logger() {
  try {
    spdlog::rotating_logger_mt(kLoggerName, "logs/update", 5242880, 3, false);
    if (set_up_registered_logger()) {
      g_log_ready = 1;
    }
  } catch (const spdlog::spdlog_ex& error) {
    std::printf("%s", error.what());
  }
  return 0;
}
