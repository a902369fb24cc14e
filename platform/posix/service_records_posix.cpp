#include "platform/posix/service_records_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/errors.h"
#include "platform/posix/record_line_posix.h"
#include "platform/state_dir.h"

namespace platform::posix {
namespace {

const char kRecords[] = "services";
const char kStaging[] = "service-staging";
const char kExits[] = "service-exits";

uint64_t number(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 10); }

std::string serialise(const ServiceRecord& r) {
  std::ostringstream out;
  auto put = [&](const char* key, const std::string& value) {
    out << key << '=' << escape_record_value(value) << '\n';
  };
  auto put_number = [&](const char* key, uint64_t value) { out << key << '=' << value << '\n'; };
  put("name", r.name);
  put("display_name", r.display_name);
  put_number("service_type", r.service_type);
  put_number("start_type", r.start_type);
  put_number("error_control", r.error_control);
  put("binary_path", r.binary_path);
  put("load_order_group", r.load_order_group);
  put_number("tag_id", r.tag_id);
  for (const std::string& dependency : r.dependencies) {
    put("dependency", dependency);
  }
  put("account", r.account);
  put("description", r.description);
  put("sddl", r.sddl);
  put_number("marked_for_delete", r.marked_for_delete);
  put_number("pid", r.pid);
  put("exit_file", r.exit_file);
  put_number("state", r.status.current_state);
  put_number("controls_accepted", r.status.controls_accepted);
  put_number("win32_exit_code", r.status.win32_exit_code);
  put_number("specific_exit_code", r.status.service_specific_exit_code);
  put_number("check_point", r.status.check_point);
  put_number("wait_hint", r.status.wait_hint);
  put_number("connected", r.connected);
  put_number("control_sequence", r.control_sequence);
  put_number("control_code", r.control_code);
  put_number("answered_sequence", r.answered_sequence);
  for (const std::string& argument : r.start_arguments) {
    put("start_argument", argument);
  }
  return out.str();
}

bool parse(const std::string& text, ServiceRecord* r) {
  std::istringstream in(text);
  std::string line;
  bool named = false;
  while (std::getline(in, line)) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
      continue;
    }
    std::string key = line.substr(0, equals);
    std::string value = unescape_record_value(line.substr(equals + 1));
    uint32_t n = static_cast<uint32_t>(number(value));
    if (key == "name") {
      r->name = value;
      named = true;
    } else if (key == "display_name") {
      r->display_name = value;
    } else if (key == "service_type") {
      r->service_type = n;
    } else if (key == "start_type") {
      r->start_type = n;
    } else if (key == "error_control") {
      r->error_control = n;
    } else if (key == "binary_path") {
      r->binary_path = value;
    } else if (key == "load_order_group") {
      r->load_order_group = value;
    } else if (key == "tag_id") {
      r->tag_id = n;
    } else if (key == "dependency") {
      r->dependencies.push_back(value);
    } else if (key == "account") {
      r->account = value;
    } else if (key == "description") {
      r->description = value;
    } else if (key == "sddl") {
      r->sddl = value;
    } else if (key == "marked_for_delete") {
      r->marked_for_delete = n != 0;
    } else if (key == "pid") {
      r->pid = n;
    } else if (key == "exit_file") {
      r->exit_file = value;
    } else if (key == "state") {
      r->status.current_state = n;
    } else if (key == "controls_accepted") {
      r->status.controls_accepted = n;
    } else if (key == "win32_exit_code") {
      r->status.win32_exit_code = n;
    } else if (key == "specific_exit_code") {
      r->status.service_specific_exit_code = n;
    } else if (key == "check_point") {
      r->status.check_point = n;
    } else if (key == "wait_hint") {
      r->status.wait_hint = n;
    } else if (key == "connected") {
      r->connected = n != 0;
    } else if (key == "control_sequence") {
      r->control_sequence = number(value);
    } else if (key == "control_code") {
      r->control_code = n;
    } else if (key == "answered_sequence") {
      r->answered_sequence = number(value);
    } else if (key == "start_argument") {
      r->start_arguments.push_back(value);
    }
  }
  r->status.service_type = r->service_type;
  return named;
}

bool read_file(const std::string& path, std::string* content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  *content = text.str();
  return true;
}

// How the service's process ended, as the exit code its status shows; false while it still runs.
bool process_ended(const ServiceRecord& r, uint32_t* exit_code) {
  std::string text;
  if (!r.exit_file.empty() && read_file(r.exit_file, &text) && !text.empty()) {
    *exit_code = text.rfind("signal", 0) == 0 ? ERROR_PROCESS_ABORTED : static_cast<uint32_t>(number(text));
    return true;
  }
  // Its waiter is gone without a word (killed with it): the process may still be there.
  if (kill(static_cast<pid_t>(r.pid), 0) != 0 && errno == ESRCH) {
    *exit_code = ERROR_PROCESS_ABORTED;
    return true;
  }
  return false;
}

bool bring_up_to_date(ServiceRecord* r) {
  if (r->pid == 0) {
    return false;
  }
  uint32_t exit_code = 0;
  if (!process_ended(*r, &exit_code)) {
    return false;
  }
  if (r->status.current_state != SERVICE_STOPPED) {
    r->status = ServiceStatus{r->service_type, SERVICE_STOPPED, 0, exit_code, 0, 0, 0};
  }
  if (!r->exit_file.empty()) {
    unlink(r->exit_file.c_str());
  }
  r->pid = 0;
  r->exit_file.clear();
  r->connected = false;
  return true;
}

}  // namespace

ServiceDatabaseLock::ServiceDatabaseLock() {
  std::string path = state_path(kStaging, ".lock");
  if (path.empty()) {
    return;
  }
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ >= 0) {
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
}

ServiceDatabaseLock::~ServiceDatabaseLock() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

std::string service_key(const std::string& name) {
  std::string key = name;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return key;
}

bool same_service_name(const std::string& a, const std::string& b) { return service_key(a) == service_key(b); }

bool service_exists(const std::string& key) { return access(state_path(kRecords, key).c_str(), F_OK) == 0; }

bool load_service(const std::string& key, ServiceRecord* record) {
  std::string text;
  ServiceRecord loaded;
  if (!read_file(state_path(kRecords, key), &text) || !parse(text, &loaded)) {
    return false;
  }
  if (bring_up_to_date(&loaded)) {
    save_service(loaded);
  }
  if (loaded.marked_for_delete && loaded.status.current_state == SERVICE_STOPPED) {
    remove_service(key);
    return false;
  }
  *record = loaded;
  return true;
}

bool save_service(const ServiceRecord& record) {
  std::string key = service_key(record.name);
  std::string staging = state_path(kStaging, key);
  std::string target = state_path(kRecords, key);
  if (staging.empty() || target.empty()) {
    return false;
  }
  {
    std::ofstream out(staging, std::ios::binary | std::ios::trunc);
    out << serialise(record);
    if (!out.flush()) {
      return false;
    }
  }
  return rename(staging.c_str(), target.c_str()) == 0;
}

void remove_service(const std::string& key) { unlink(state_path(kRecords, key).c_str()); }

std::vector<ServiceRecord> load_all_services() {
  std::vector<ServiceRecord> result;
  std::string probe = state_path(kRecords, "probe");
  std::string dir = probe.substr(0, probe.find_last_of('/'));
  DIR* listing = opendir(dir.c_str());
  if (!listing) {
    return result;
  }
  std::vector<std::string> files;
  while (dirent* entry = readdir(listing)) {
    if (entry->d_name[0] != '.') {
      files.push_back(dir + "/" + entry->d_name);
    }
  }
  closedir(listing);
  for (const std::string& file : files) {
    std::string text;
    ServiceRecord record;
    if (read_file(file, &text) && parse(text, &record) && load_service(service_key(record.name), &record)) {
      result.push_back(record);
    }
  }
  return result;
}

std::string new_exit_file(const std::string& key) {
  static std::atomic<uint32_t> counter{0};
  auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return state_path(kExits, key + "." + std::to_string(getpid()) + "." + std::to_string(now) + "." +
                                std::to_string(counter++));
}

}  // namespace platform::posix
