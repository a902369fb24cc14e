// The logging front-end: the rotating "update" log and the one function every component writes through.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include <spdlog/spdlog.h>

// 1 once init_logger has set the log up; never cleared.
extern unsigned char g_log_ready;

// Always 0; on failure prints the library's message and leaves g_log_ready at 0.
int init_logger();

// Writes one line to the named logger; does nothing before set-up or when no logger has that name.
// A line that cannot be written is lost: logging never stops the caller.
template <typename... Args>
void log_to(const char* logger_name, spdlog::level::level_enum level, spdlog::format_string_t<Args...> format,
            Args&&... args) {
  if (!g_log_ready || logger_name == nullptr) {
    return;
  }
  try {
    std::shared_ptr<spdlog::logger> logger = spdlog::get(std::string(logger_name));
    if (!logger) {
      return;
    }
    logger->log(spdlog::source_loc{}, level, format, std::forward<Args>(args)...);
  } catch (...) {
    // Only allocation or locking can get here; the line is lost, the run goes on.
  }
}
