#include "platform/services.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/errno_map_posix.h"
#include "platform/posix/security_posix.h"
#include "platform/posix/service_records_posix.h"
#include "platform/posix/spawn_posix.h"
#include "platform/state_dir.h"

namespace platform {
namespace {

using posix::ServiceDatabaseLock;
using posix::ServiceRecord;

// What a new service allows before anyone sets its descriptor.
const char kDefaultSddl[] =
    "D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLOCRRC;;;IU)"
    "(A;;CCLCSWLOCRRC;;;SU)";
const char kLocalSystem[] = "LocalSystem";

// The manager's own waits (a program connecting, a handler answering) run on the real clock, whatever clock
// the caller's waits use.
constexpr auto kAnswerLimit = std::chrono::seconds(30);
constexpr auto kPoll = std::chrono::milliseconds(2);

struct ScObject {
  bool manager;
  uint32_t access;
  std::string key;
};

std::mutex g_handles_mutex;
std::map<uintptr_t, std::shared_ptr<ScObject>> g_handles;
uintptr_t g_next_handle = 0x5C000;

ScHandle add_handle(bool manager, uint32_t access, const std::string& key) {
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  g_next_handle += 4;
  g_handles[g_next_handle] = std::make_shared<ScObject>(ScObject{manager, access, key});
  return reinterpret_cast<ScHandle>(g_next_handle);
}

std::shared_ptr<ScObject> find_handle(ScHandle handle, bool manager) {
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  auto found = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  if (found == g_handles.end() || found->second->manager != manager) {
    return nullptr;
  }
  return found->second;
}

bool fail(uint32_t error) {
  set_last_error(error);
  return false;
}

template <typename T>
T* fail_null(uint32_t error) {
  set_last_error(error);
  return nullptr;
}

// The service behind a handle with the access it must have been opened with; 0 or the error.
uint32_t service_for(ScHandle handle, uint32_t access, std::shared_ptr<ScObject>* object) {
  *object = find_handle(handle, false);
  if (!*object) {
    return ERROR_INVALID_HANDLE;
  }
  if (((*object)->access & access) != access) {
    return ERROR_ACCESS_DENIED;
  }
  return 0;
}

// Under the lock: the record behind an open service handle.
uint32_t load_open_service(const ScObject& object, ServiceRecord* record) {
  if (!posix::load_service(object.key, record)) {
    return ERROR_SERVICE_DOES_NOT_EXIST;
  }
  return 0;
}

bool valid_service_name(const char* name) {
  if (!name || !*name || std::strlen(name) > 256) {
    return false;
  }
  return std::strpbrk(name, "/\\") == nullptr;
}

std::vector<std::string> name_list(const char* list) {
  std::vector<std::string> names;
  for (const char* at = list; at && *at; at += std::strlen(at) + 1) {
    names.push_back(at);
  }
  return names;
}

bool valid_start_type(uint32_t start_type) {
  return start_type == SERVICE_AUTO_START || start_type == SERVICE_DEMAND_START || start_type == SERVICE_DISABLED;
}

bool valid_service_type(uint32_t type) {
  uint32_t base = type & ~0x100u;  // the interactive flag rides along
  return base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS;
}

bool is_group(const std::string& dependency) { return !dependency.empty() && dependency[0] == '+'; }

uint32_t start_instance(const std::string& key, uint32_t argc, const char** argv, int depth);

// A dependency must run before its dependant starts; one that is stopped is started and awaited.
uint32_t ensure_running(const std::string& name, int depth) {
  std::string key = posix::service_key(name);
  if (depth > 16) {
    return ERROR_SERVICE_DEPENDENCY_FAIL;
  }
  {
    ServiceDatabaseLock lock;
    ServiceRecord record;
    if (!posix::load_service(key, &record)) {
      return ERROR_SERVICE_DEPENDENCY_FAIL;
    }
    if (record.status.current_state == SERVICE_RUNNING) {
      return 0;
    }
  }
  uint32_t error = start_instance(key, 0, nullptr, depth + 1);
  if (error != 0 && error != ERROR_SERVICE_ALREADY_RUNNING) {
    return ERROR_SERVICE_DEPENDENCY_FAIL;
  }
  auto deadline = std::chrono::steady_clock::now() + kAnswerLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      ServiceDatabaseLock lock;
      ServiceRecord record;
      if (!posix::load_service(key, &record) || record.status.current_state == SERVICE_STOPPED) {
        return ERROR_SERVICE_DEPENDENCY_FAIL;
      }
      if (record.status.current_state == SERVICE_RUNNING) {
        return 0;
      }
    }
    std::this_thread::sleep_for(kPoll);
  }
  return ERROR_SERVICE_DEPENDENCY_FAIL;
}

uint32_t check_startable(const ServiceRecord& record) {
  if (record.marked_for_delete) {
    return ERROR_SERVICE_MARKED_FOR_DELETE;
  }
  if (record.start_type == SERVICE_DISABLED) {
    return ERROR_SERVICE_DISABLED;
  }
  if (record.status.current_state != SERVICE_STOPPED) {
    return ERROR_SERVICE_ALREADY_RUNNING;
  }
  return 0;
}

// Runs the program and waits until it has connected its dispatcher.
uint32_t start_instance(const std::string& key, uint32_t argc, const char** argv, int depth) {
  std::vector<std::string> dependencies;
  {
    ServiceDatabaseLock lock;
    ServiceRecord record;
    if (!posix::load_service(key, &record)) {
      return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    if (uint32_t error = check_startable(record)) {
      return error;
    }
    dependencies = record.dependencies;
  }
  for (const std::string& dependency : dependencies) {
    if (!is_group(dependency)) {
      if (uint32_t error = ensure_running(dependency, depth)) {
        return error;
      }
    }
  }
  {
    ServiceDatabaseLock lock;
    ServiceRecord record;
    if (!posix::load_service(key, &record)) {
      return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    if (uint32_t error = check_startable(record)) {
      return error;
    }
    std::vector<std::string> command = posix::split_command_line(record.binary_path, true);
    posix::SpawnRequest request;
    request.program = posix::posix_path(command.empty() ? std::string() : command[0]);
    request.arguments.assign(command.empty() ? command.end() : command.begin() + 1, command.end());
    request.directory = "/";
    // A service keeps the machine's clock, not a test clock of the process that started it.
    request.environment_overrides = {"ZANTHO_SERVICE_NAME=" + record.name, "ZANTHO_PLATFORM_DIR=" + state_dir(),
                                     "ZANTHO_TEST_CLOCK"};
    request.exit_file = posix::new_exit_file(key);
    request.null_stdio = true;
    pid_t pid = 0;
    if (int error = posix::spawn_detached(request, &pid)) {
      return posix::windows_error(error);
    }
    record.pid = static_cast<uint32_t>(pid);
    record.exit_file = request.exit_file;
    record.status = ServiceStatus{record.service_type, SERVICE_START_PENDING, 0, 0, 0, 0, 2000};
    record.connected = false;
    record.control_sequence = 0;
    record.answered_sequence = 0;
    record.start_arguments = {record.name};
    for (uint32_t i = 0; i < argc; ++i) {
      record.start_arguments.push_back(argv && argv[i] ? argv[i] : "");
    }
    if (!posix::save_service(record)) {
      return ERROR_ACCESS_DENIED;
    }
  }
  auto deadline = std::chrono::steady_clock::now() + kAnswerLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      ServiceDatabaseLock lock;
      ServiceRecord record;
      if (!posix::load_service(key, &record) || record.pid == 0) {
        return ERROR_SERVICE_REQUEST_TIMEOUT;
      }
      if (record.connected) {
        return 0;
      }
    }
    std::this_thread::sleep_for(kPoll);
  }
  return ERROR_SERVICE_REQUEST_TIMEOUT;
}

uint32_t control_access(uint32_t control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
      return SERVICE_INTERROGATE;
    default:
      return control >= 128 && control <= 255 ? SERVICE_USER_DEFINED_CONTROL : 0;
  }
}

bool control_accepted(uint32_t control, uint32_t accepted) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return accepted & SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return accepted & SERVICE_ACCEPT_PAUSE_CONTINUE;
    default:
      return true;
  }
}

void copy_status(const ServiceStatus& from, ServiceStatus* to) {
  if (to) {
    *to = from;
  }
}

// The services that depend on key, further dependants before the ones they depend on; each once.
void collect_dependants(const std::vector<ServiceRecord>& all, const std::string& name, int depth,
                        std::vector<const ServiceRecord*>* out) {
  if (depth > 16) {
    return;
  }
  for (const ServiceRecord& candidate : all) {
    bool depends = std::any_of(candidate.dependencies.begin(), candidate.dependencies.end(),
                               [&](const std::string& d) { return posix::same_service_name(d, name); });
    bool listed = std::find(out->begin(), out->end(), &candidate) != out->end();
    if (depends && !listed) {
      collect_dependants(all, candidate.name, depth + 1, out);
      if (std::find(out->begin(), out->end(), &candidate) == out->end()) {
        out->push_back(&candidate);
      }
    }
  }
}

// Texts packed after a fixed part in the caller's buffer, as the manager's queries return them.
class PackedBuffer {
 public:
  PackedBuffer(void* buffer, uint32_t size, size_t fixed) : buffer_(static_cast<char*>(buffer)), size_(size) {
    used_ = fixed;
    fits_ = buffer_ && size_ >= fixed;
  }
  // The place of the text in the buffer, or null while only the size is being measured.
  char* add(const std::string& text, size_t extra_terminators = 0) {
    size_t length = text.size() + 1 + extra_terminators;
    char* at = nullptr;
    if (fits_ && used_ + length <= size_) {
      at = buffer_ + used_;
      std::memcpy(at, text.c_str(), text.size() + 1);
      std::memset(at + text.size() + 1, 0, extra_terminators);
    } else {
      fits_ = false;
    }
    used_ += length;
    return at;
  }
  bool fits() const { return fits_; }
  uint32_t used() const { return static_cast<uint32_t>(used_); }

 private:
  char* buffer_;
  uint32_t size_;
  size_t used_;
  bool fits_;
};

}  // namespace

ScHandle open_sc_manager(const char* machine, const char* database, uint32_t access) {
  // Only this machine's active database exists here.
  if ((machine && *machine) || (database && std::strcmp(database, "ServicesActive") != 0)) {
    return fail_null<void>(ERROR_INVALID_PARAMETER);
  }
  if (state_dir().empty()) {
    return fail_null<void>(ERROR_ACCESS_DENIED);
  }
  set_last_error(ERROR_SUCCESS);
  return add_handle(true, access, "");
}

// The caller counts as an administrator: a service's descriptor is kept and reported, not enforced.
ScHandle open_service(ScHandle manager, const char* service_name, uint32_t access) {
  std::shared_ptr<ScObject> owner = find_handle(manager, true);
  if (!owner) {
    return fail_null<void>(ERROR_INVALID_HANDLE);
  }
  if (!(owner->access & SC_MANAGER_CONNECT)) {
    return fail_null<void>(ERROR_ACCESS_DENIED);
  }
  if (!valid_service_name(service_name)) {
    return fail_null<void>(ERROR_INVALID_NAME);
  }
  std::string key = posix::service_key(service_name);
  ServiceDatabaseLock lock;
  ServiceRecord record;
  if (!posix::load_service(key, &record)) {
    return fail_null<void>(ERROR_SERVICE_DOES_NOT_EXIST);
  }
  set_last_error(ERROR_SUCCESS);
  return add_handle(false, access, key);
}

bool close_service_handle(ScHandle handle) {
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  if (g_handles.erase(reinterpret_cast<uintptr_t>(handle)) == 0) {
    return fail(ERROR_INVALID_HANDLE);
  }
  return true;
}

bool query_service_status_ex(ScHandle service, uint32_t level, void* buffer, uint32_t size, uint32_t* bytes_needed) {
  std::shared_ptr<ScObject> object;
  if (uint32_t error = service_for(service, SERVICE_QUERY_STATUS, &object)) {
    return fail(error);
  }
  if (level != SC_STATUS_PROCESS_INFO || !bytes_needed) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  *bytes_needed = sizeof(ServiceStatusProcess);
  if (!buffer || size < sizeof(ServiceStatusProcess)) {
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  ServiceDatabaseLock lock;
  ServiceRecord record;
  if (uint32_t error = load_open_service(*object, &record)) {
    return fail(error);
  }
  const ServiceStatus& s = record.status;
  uint32_t pid = s.current_state == SERVICE_STOPPED ? 0 : record.pid;
  ServiceStatusProcess status{s.service_type, s.current_state, s.controls_accepted, s.win32_exit_code,
                              s.service_specific_exit_code, s.check_point, s.wait_hint, pid, 0};
  std::memcpy(buffer, &status, sizeof status);
  return true;
}

bool start_service(ScHandle service, uint32_t argc, const char** argv) {
  std::shared_ptr<ScObject> object;
  if (uint32_t error = service_for(service, SERVICE_START, &object)) {
    return fail(error);
  }
  if (uint32_t error = start_instance(object->key, argc, argv, 0)) {
    return fail(error);
  }
  set_last_error(ERROR_SUCCESS);
  return true;
}

bool control_service(ScHandle service, uint32_t control, ServiceStatus* status) {
  std::shared_ptr<ScObject> object;
  uint32_t needed = control_access(control);
  if (needed == 0) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (uint32_t error = service_for(service, needed, &object)) {
    return fail(error);
  }
  uint64_t sequence = 0;
  {
    ServiceDatabaseLock lock;
    ServiceRecord record;
    if (uint32_t error = load_open_service(*object, &record)) {
      return fail(error);
    }
    copy_status(record.status, status);
    uint32_t state = record.status.current_state;
    if (state == SERVICE_STOPPED) {
      return fail(ERROR_SERVICE_NOT_ACTIVE);
    }
    if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || !record.connected) {
      return fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    }
    if (!control_accepted(control, record.status.controls_accepted)) {
      return fail(ERROR_INVALID_SERVICE_CONTROL);
    }
    if (control == SERVICE_CONTROL_INTERROGATE) {
      return true;
    }
    sequence = ++record.control_sequence;
    record.control_code = control;
    if (!posix::save_service(record)) {
      return fail(ERROR_ACCESS_DENIED);
    }
  }
  auto deadline = std::chrono::steady_clock::now() + kAnswerLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      ServiceDatabaseLock lock;
      ServiceRecord record;
      // A service marked for deletion goes as it stops, answer and all.
      if (!posix::load_service(object->key, &record)) {
        copy_status(ServiceStatus{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0}, status);
        set_last_error(ERROR_SUCCESS);
        return true;
      }
      if (record.answered_sequence >= sequence || record.pid == 0) {
        copy_status(record.status, status);
        set_last_error(ERROR_SUCCESS);
        return true;
      }
    }
    std::this_thread::sleep_for(kPoll);
  }
  return fail(ERROR_SERVICE_REQUEST_TIMEOUT);
}

bool enum_dependent_services(ScHandle service, uint32_t state, EnumServiceStatus* services, uint32_t size,
                             uint32_t* bytes_needed, uint32_t* count) {
  std::shared_ptr<ScObject> object;
  if (uint32_t error = service_for(service, SERVICE_ENUMERATE_DEPENDENTS, &object)) {
    return fail(error);
  }
  if (!bytes_needed || !count || state == 0 || state > SERVICE_STATE_ALL) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  ServiceDatabaseLock lock;
  ServiceRecord self;
  if (uint32_t error = load_open_service(*object, &self)) {
    return fail(error);
  }
  std::vector<ServiceRecord> all = posix::load_all_services();
  std::vector<const ServiceRecord*> dependants;
  collect_dependants(all, self.name, 0, &dependants);
  std::erase_if(dependants, [&](const ServiceRecord* r) {
    bool active = r->status.current_state != SERVICE_STOPPED;
    return !((active && (state & SERVICE_ACTIVE)) || (!active && (state & SERVICE_INACTIVE)));
  });
  PackedBuffer packed(services, size, dependants.size() * sizeof(EnumServiceStatus));
  for (size_t i = 0; i < dependants.size(); ++i) {
    char* name = packed.add(dependants[i]->name);
    char* display = packed.add(dependants[i]->display_name);
    if (packed.fits()) {
      services[i] = EnumServiceStatus{name, display, dependants[i]->status};
    }
  }
  *count = 0;
  *bytes_needed = packed.used();
  if (!dependants.empty() && !packed.fits()) {
    return fail(ERROR_MORE_DATA);
  }
  *bytes_needed = 0;
  *count = static_cast<uint32_t>(dependants.size());
  return true;
}

ScHandle create_service(ScHandle manager, const char* service_name, const char* display_name, uint32_t access,
                        uint32_t service_type, uint32_t start_type, uint32_t error_control,
                        const char* binary_path_name, const char* load_order_group, uint32_t* tag_id,
                        const char* dependencies, const char* /*service_start_name*/, const char* /*password*/) {
  std::shared_ptr<ScObject> owner = find_handle(manager, true);
  if (!owner) {
    return fail_null<void>(ERROR_INVALID_HANDLE);
  }
  if (!(owner->access & SC_MANAGER_CREATE_SERVICE)) {
    return fail_null<void>(ERROR_ACCESS_DENIED);
  }
  if (!valid_service_name(service_name)) {
    return fail_null<void>(ERROR_INVALID_NAME);
  }
  if (!binary_path_name || !*binary_path_name || !valid_service_type(service_type) ||
      !valid_start_type(start_type) || error_control > SERVICE_ERROR_CRITICAL ||
      (tag_id && (!load_order_group || !*load_order_group))) {
    return fail_null<void>(ERROR_INVALID_PARAMETER);
  }
  std::string key = posix::service_key(service_name);
  ServiceDatabaseLock lock;
  ServiceRecord existing;
  if (posix::load_service(key, &existing)) {
    return fail_null<void>(existing.marked_for_delete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
  }
  ServiceRecord record;
  record.name = service_name;
  record.display_name = display_name && *display_name ? display_name : service_name;
  record.service_type = service_type;
  record.start_type = start_type;
  record.error_control = error_control;
  record.binary_path = binary_path_name;
  record.load_order_group = load_order_group ? load_order_group : "";
  record.tag_id = 0;
  record.dependencies = name_list(dependencies);
  record.account = kLocalSystem;
  record.sddl = kDefaultSddl;
  record.status.service_type = service_type;
  if (!posix::save_service(record)) {
    return fail_null<void>(ERROR_ACCESS_DENIED);
  }
  if (tag_id) {
    *tag_id = 0;
  }
  set_last_error(ERROR_SUCCESS);
  return add_handle(false, access, key);
}

bool delete_service(ScHandle service) {
  std::shared_ptr<ScObject> object;
  if (uint32_t error = service_for(service, DELETE, &object)) {
    return fail(error);
  }
  ServiceDatabaseLock lock;
  ServiceRecord record;
  if (uint32_t error = load_open_service(*object, &record)) {
    return fail(error);
  }
  if (record.marked_for_delete) {
    return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  }
  if (record.status.current_state == SERVICE_STOPPED) {
    posix::remove_service(object->key);
    return true;
  }
  record.marked_for_delete = true;
  return posix::save_service(record) || fail(ERROR_ACCESS_DENIED);
}

bool change_service_config(ScHandle service, uint32_t service_type, uint32_t start_type, uint32_t error_control,
                           const char* binary_path_name, const char* load_order_group, uint32_t* tag_id,
                           const char* dependencies, const char* /*service_start_name*/, const char* /*password*/,
                           const char* display_name) {
  std::shared_ptr<ScObject> object;
  if (uint32_t error = service_for(service, SERVICE_CHANGE_CONFIG, &object)) {
    return fail(error);
  }
  if ((service_type != SERVICE_NO_CHANGE && !valid_service_type(service_type)) ||
      (start_type != SERVICE_NO_CHANGE && !valid_start_type(start_type)) ||
      (error_control != SERVICE_NO_CHANGE && error_control > SERVICE_ERROR_CRITICAL) ||
      (binary_path_name && !*binary_path_name)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  ServiceDatabaseLock lock;
  ServiceRecord record;
  if (uint32_t error = load_open_service(*object, &record)) {
    return fail(error);
  }
  if (record.marked_for_delete) {
    return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  }
  if (service_type != SERVICE_NO_CHANGE) {
    record.service_type = service_type;
  }
  if (start_type != SERVICE_NO_CHANGE) {
    record.start_type = start_type;
  }
  if (error_control != SERVICE_NO_CHANGE) {
    record.error_control = error_control;
  }
  if (binary_path_name) {
    record.binary_path = binary_path_name;
  }
  if (load_order_group) {
    record.load_order_group = load_order_group;
  }
  if (tag_id) {
    *tag_id = record.tag_id;
  }
  if (dependencies) {
    record.dependencies = name_list(dependencies);
  }
  if (display_name) {
    record.display_name = display_name;
  }
  return posix::save_service(record) || fail(ERROR_ACCESS_DENIED);
}

bool change_service_config2(ScHandle service, uint32_t level, const void* info) {
  std::shared_ptr<ScObject> object;
  if (uint32_t error = service_for(service, SERVICE_CHANGE_CONFIG, &object)) {
    return fail(error);
  }
  if (level != SERVICE_CONFIG_DESCRIPTION) {
    return fail(ERROR_INVALID_LEVEL);
  }
  if (!info) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  const ServiceDescription* description = static_cast<const ServiceDescription*>(info);
  ServiceDatabaseLock lock;
  ServiceRecord record;
  if (uint32_t error = load_open_service(*object, &record)) {
    return fail(error);
  }
  // A null text leaves the description as it is; an empty one removes it.
  if (!description->description) {
    return true;
  }
  record.description = description->description;
  return posix::save_service(record) || fail(ERROR_ACCESS_DENIED);
}

bool query_service_config(ScHandle service, QueryServiceConfig* config, uint32_t size, uint32_t* bytes_needed) {
  std::shared_ptr<ScObject> object;
  if (uint32_t error = service_for(service, SERVICE_QUERY_CONFIG, &object)) {
    return fail(error);
  }
  if (!bytes_needed) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  ServiceDatabaseLock lock;
  ServiceRecord record;
  if (uint32_t error = load_open_service(*object, &record)) {
    return fail(error);
  }
  PackedBuffer packed(config, size, sizeof(QueryServiceConfig));
  QueryServiceConfig result{record.service_type, record.start_type, record.error_control, nullptr, nullptr,
                            record.tag_id,       nullptr,           nullptr,              nullptr};
  result.binary_path_name = packed.add(record.binary_path);
  result.load_order_group = packed.add(record.load_order_group);
  std::string list;
  for (const std::string& dependency : record.dependencies) {
    list += dependency + '\0';
  }
  result.dependencies = packed.add(list, 1);
  result.service_start_name = packed.add(record.account);
  result.display_name = packed.add(record.display_name);
  *bytes_needed = packed.used();
  if (!packed.fits()) {
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  *config = result;
  return true;
}

bool query_service_config2(ScHandle service, uint32_t level, void* buffer, uint32_t size, uint32_t* bytes_needed) {
  std::shared_ptr<ScObject> object;
  if (uint32_t error = service_for(service, SERVICE_QUERY_CONFIG, &object)) {
    return fail(error);
  }
  if (level != SERVICE_CONFIG_DESCRIPTION) {
    return fail(ERROR_INVALID_LEVEL);
  }
  if (!bytes_needed) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  ServiceDatabaseLock lock;
  ServiceRecord record;
  if (uint32_t error = load_open_service(*object, &record)) {
    return fail(error);
  }
  PackedBuffer packed(buffer, size, sizeof(ServiceDescription));
  ServiceDescription result{nullptr};
  if (!record.description.empty()) {
    result.description = packed.add(record.description);
  }
  *bytes_needed = packed.used();
  if (!packed.fits()) {
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, &result, sizeof result);
  return true;
}

bool query_service_object_security(ScHandle service, uint32_t information, void* descriptor, uint32_t size,
                                   uint32_t* bytes_needed) {
  std::shared_ptr<ScObject> object;
  if (uint32_t error = service_for(service, READ_CONTROL, &object)) {
    return fail(error);
  }
  if (!bytes_needed) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  std::vector<uint8_t> block;
  {
    ServiceDatabaseLock lock;
    ServiceRecord record;
    if (uint32_t error = load_open_service(*object, &record)) {
      return fail(error);
    }
    std::string sddl = information & DACL_SECURITY_INFORMATION ? record.sddl : std::string();
    if (!posix::sddl_descriptor_block(sddl, &block)) {
      return fail(ERROR_INVALID_SECURITY_DESCR);
    }
  }
  *bytes_needed = static_cast<uint32_t>(block.size());
  if (!descriptor || size < block.size()) {
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(descriptor, block.data(), block.size());
  return true;
}

bool set_service_object_security(ScHandle service, uint32_t information, const void* descriptor) {
  std::shared_ptr<ScObject> object;
  if (uint32_t error = service_for(service, information & DACL_SECURITY_INFORMATION ? WRITE_DAC : 0, &object)) {
    return fail(error);
  }
  std::string sddl;
  if (!posix::descriptor_dacl_sddl(descriptor, &sddl)) {
    return fail(ERROR_INVALID_SECURITY_DESCR);
  }
  if (!(information & DACL_SECURITY_INFORMATION)) {
    return true;
  }
  // A descriptor without a DACL leaves the service open to everyone, as a null DACL does.
  if (sddl.empty()) {
    sddl = "D:NO_ACCESS_CONTROL";
  }
  ServiceDatabaseLock lock;
  ServiceRecord record;
  if (uint32_t error = load_open_service(*object, &record)) {
    return fail(error);
  }
  record.sddl = sddl;
  return posix::save_service(record) || fail(ERROR_ACCESS_DENIED);
}

}  // namespace platform
