// The service database on disk: one record per service in the platform's state directory, and the lock that
// every reader and writer holds. Used by the layer only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/services.h"

namespace platform::posix {

struct ServiceRecord {
  // Configuration.
  std::string name;
  std::string display_name;
  uint32_t service_type = SERVICE_WIN32_OWN_PROCESS;
  uint32_t start_type = SERVICE_DEMAND_START;
  uint32_t error_control = SERVICE_ERROR_NORMAL;
  std::string binary_path;
  std::string load_order_group;
  uint32_t tag_id = 0;
  std::vector<std::string> dependencies;
  std::string account;
  std::string description;
  std::string sddl;
  bool marked_for_delete = false;
  // The running instance: its process, the status it reported, the control on its way.
  uint32_t pid = 0;
  std::string exit_file;
  ServiceStatus status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  bool connected = false;
  uint64_t control_sequence = 0;
  uint32_t control_code = 0;
  uint64_t answered_sequence = 0;
  std::vector<std::string> start_arguments;
};

// Holds the database lock (across processes and threads) for its lifetime.
class ServiceDatabaseLock {
 public:
  ServiceDatabaseLock();
  ~ServiceDatabaseLock();
  ServiceDatabaseLock(const ServiceDatabaseLock&) = delete;
  ServiceDatabaseLock& operator=(const ServiceDatabaseLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Service names compare without regard to ASCII case.
std::string service_key(const std::string& name);
bool same_service_name(const std::string& a, const std::string& b);

// With the lock held. load_service brings the record up to date first: a process that has ended makes the
// service stopped with its exit code, and a service marked for deletion goes once it is stopped.
bool service_exists(const std::string& key);
bool load_service(const std::string& key, ServiceRecord* record);
bool save_service(const ServiceRecord& record);
void remove_service(const std::string& key);
std::vector<ServiceRecord> load_all_services();

// Where the exit status of one start of the service is recorded.
std::string new_exit_file(const std::string& key);

}  // namespace platform::posix
