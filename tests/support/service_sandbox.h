// One test's own service world: a platform state directory, and a program directory holding the stand-in
// service program with its options and its log. The stand-in's services are killed and deleted at the end.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "tests/support/platform_dir.h"
#include "tests/support/scratch_dir.h"

inline constexpr char kClientServiceName[] = "Zantho Client Service";
inline constexpr char kClientHelperName[] = "Zantho Client Helper";

class ServiceSandbox {
 public:
  // program_dir_name: the program directory's name under the scratch directory.
  explicit ServiceSandbox(const std::string& program_dir_name = "program");
  ~ServiceSandbox();
  ServiceSandbox(const ServiceSandbox&) = delete;
  ServiceSandbox& operator=(const ServiceSandbox&) = delete;

  ScratchDir& scratch() { return scratch_; }
  const std::filesystem::path& program_dir() const { return program_dir_; }
  std::filesystem::path program() const { return program_dir_ / "ZanthoClientService.exe"; }
  // The program's path in double quotes, as a service's binary path or a command names it.
  std::string quoted_program() const;

  // Copies the stand-in into the program directory.
  void add_program() const;
  // service_options.txt, one "option=value" or "Service Name/option=value" a line.
  void set_options(const std::string& lines) const;
  // Runs the stand-in with "install" and waits for it: the services are then registered.
  bool install() const;
  // What the stand-in appended to service_log.txt.
  std::string log() const;
  // Waits up to timeout_ms (real time) for the log to hold the text.
  bool wait_for_log(const std::string& text, uint32_t timeout_ms = 10000) const;
  // Starts the service through the manager, returning once its program has connected.
  bool start(const char* name, uint32_t argc = 0, const char** argv = nullptr) const;
  // Waits up to timeout_ms (real time) for the service to reach the state; false when it did not.
  bool wait_for_state(const char* name, uint32_t state, uint32_t timeout_ms = 10000) const;
  // The service's state now (0 when it cannot be queried).
  uint32_t state(const char* name) const;
  // Kills the service's process, as a crash would, and waits until it has ended.
  bool kill(const char* name) const;
  // Kills and deletes the service and waits until the manager no longer knows it; false when it is still there.
  bool remove(const char* name) const;

 private:
  ScratchDir scratch_;
  std::unique_ptr<ScopedPlatformDir> platform_dir_;
  std::filesystem::path program_dir_;
};

// The stand-in service program in the build directory.
std::filesystem::path client_service_program();
