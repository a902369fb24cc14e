#include "platform/posix/task_store_posix.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/encoding.h"
#include "platform/posix/record_line_posix.h"
#include "platform/state_dir.h"

namespace fs = std::filesystem;

namespace platform::task_store {
namespace {

constexpr const char* kExtension = ".task";

HRESULT from_error_code(const std::error_code& error) {
  if (error == std::errc::permission_denied || error == std::errc::read_only_file_system) {
    return E_ACCESSDENIED;
  }
  return E_FAIL;
}

// The name back from the layer's file name, which writes every byte but letters, digits and ".-_" as %XX.
std::string decode_file_name(const std::string& file) {
  std::string out;
  for (size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '%' && i + 2 < file.size() && std::isxdigit(static_cast<unsigned char>(file[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(file[i + 2]))) {
      out += static_cast<char>(std::stoi(file.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += file[i];
    }
  }
  return out;
}

std::string escape(const std::u16string& value) { return posix::escape_record_value(to_utf8(value)); }

std::u16string unescape(const std::string& text) { return from_utf8(posix::unescape_record_value(text)); }

std::string serialise(const TaskRecord& record, const std::string& instance) {
  std::ostringstream out;
  out << instance_line(instance);
  out << "author=" << escape(record.author) << '\n';
  out << "principal_logon_type=" << record.principal_logon_type << '\n';
  out << "run_level=" << record.run_level << '\n';
  out << "start_when_available=" << record.start_when_available << '\n';
  out << "disallow_start_if_on_batteries=" << record.disallow_start_if_on_batteries << '\n';
  out << "stop_if_going_on_batteries=" << record.stop_if_going_on_batteries << '\n';
  out << "idle_wait_timeout=" << escape(record.idle_wait_timeout) << '\n';
  out << "logon_type=" << record.logon_type << '\n';
  out << "sddl=" << escape(record.sddl) << '\n';
  out << "enabled=" << record.enabled << '\n';
  for (const TimeTriggerRecord& trigger : record.triggers) {
    out << "trigger=time\n";
    out << "trigger.id=" << escape(trigger.id) << '\n';
    out << "trigger.start_boundary=" << escape(trigger.start_boundary) << '\n';
    out << "trigger.end_boundary=" << escape(trigger.end_boundary) << '\n';
  }
  for (const ExecActionRecord& action : record.actions) {
    out << "action=exec\n";
    out << "action.path=" << escape(action.path) << '\n';
    out << "action.arguments=" << escape(action.arguments) << '\n';
  }
  return out.str();
}

bool parse_line(const std::string& key, const std::string& value, TaskRecord* record) {
  auto number = [&](int32_t* out) {
    *out = static_cast<int32_t>(std::strtol(value.c_str(), nullptr, 10));
    return true;
  };
  auto flag = [&](bool* out) {
    *out = value == "1";
    return true;
  };
  if (key == "instance") return true;
  if (key == "author") return record->author = unescape(value), true;
  if (key == "principal_logon_type") return number(&record->principal_logon_type);
  if (key == "run_level") return number(&record->run_level);
  if (key == "start_when_available") return flag(&record->start_when_available);
  if (key == "disallow_start_if_on_batteries") return flag(&record->disallow_start_if_on_batteries);
  if (key == "stop_if_going_on_batteries") return flag(&record->stop_if_going_on_batteries);
  if (key == "idle_wait_timeout") return record->idle_wait_timeout = unescape(value), true;
  if (key == "logon_type") return number(&record->logon_type);
  if (key == "sddl") return record->sddl = unescape(value), true;
  if (key == "enabled") return flag(&record->enabled);
  if (key == "trigger") return record->triggers.emplace_back(), true;
  if (key == "action") return record->actions.emplace_back(), true;
  if (key.rfind("trigger.", 0) == 0 && !record->triggers.empty()) {
    TimeTriggerRecord& trigger = record->triggers.back();
    if (key == "trigger.id") return trigger.id = unescape(value), true;
    if (key == "trigger.start_boundary") return trigger.start_boundary = unescape(value), true;
    if (key == "trigger.end_boundary") return trigger.end_boundary = unescape(value), true;
  }
  if (key.rfind("action.", 0) == 0 && !record->actions.empty()) {
    ExecActionRecord& action = record->actions.back();
    if (key == "action.path") return action.path = unescape(value), true;
    if (key == "action.arguments") return action.arguments = unescape(value), true;
  }
  return false;
}

}  // namespace

fs::path tasks_dir() {
  std::string dir = state_dir();
  return dir.empty() ? fs::path() : fs::path(dir) / "tasks";
}

bool valid_name(const std::u16string& name) {
  return !name.empty() && name != u"." && name != u".." && name.find_first_of(u"/\\") == std::u16string::npos &&
         name.find(u'\0') == std::u16string::npos;
}

fs::path record_path(const std::u16string& name) {
  std::string path = state_path("tasks", to_utf8(name));
  return path.empty() ? fs::path() : fs::path(path + kExtension);
}

std::string instance_line(const std::string& instance) { return "instance=" + instance + "\n"; }

HRESULT write(const std::u16string& name, const TaskRecord& record, const std::string& instance) {
  fs::path target = record_path(name);
  if (target.empty()) {
    return E_ACCESSDENIED;
  }
  fs::path temporary = target.parent_path() / ("." + instance + ".tmp");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      return from_error_code(std::error_code(errno, std::generic_category()));
    }
    out << serialise(record, instance);
    out.flush();
    if (!out) {
      std::error_code ignored;
      fs::remove(temporary, ignored);
      return E_FAIL;
    }
  }
  std::error_code error;
  fs::rename(temporary, target, error);
  if (error) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return from_error_code(error);
  }
  return S_OK;
}

bool read(const std::u16string& name, TaskRecord* record) {
  if (!valid_name(name)) {
    return false;
  }
  std::ifstream in(record_path(name), std::ios::binary);
  if (!in) {
    return false;
  }
  *record = TaskRecord();
  std::string line;
  while (std::getline(in, line)) {
    size_t equals = line.find('=');
    if (equals == std::string::npos || !parse_line(line.substr(0, equals), line.substr(equals + 1), record)) {
      return false;
    }
  }
  return true;
}

bool exists(const std::u16string& name) {
  std::error_code error;
  return valid_name(name) && fs::is_regular_file(record_path(name), error);
}

HRESULT remove(const std::u16string& name) {
  std::error_code error;
  if (!valid_name(name) || !fs::remove(record_path(name), error)) {
    return error ? from_error_code(error) : HRESULT_FILE_NOT_FOUND;
  }
  return S_OK;
}

std::vector<std::u16string> names() {
  std::vector<std::u16string> result;
  std::error_code error;
  for (auto it = fs::directory_iterator(tasks_dir(), error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    // Temporary files begin with a dot, which a record's file name never does.
    std::string file = it->path().filename().string();
    if (file[0] != '.' && it->path().extension() == kExtension) {
      result.push_back(from_utf8(decode_file_name(it->path().stem().string())));
    }
  }
  return result;
}

std::string to_utf8(const std::u16string& text) {
  if (text.empty()) {
    return {};
  }
  int size = static_cast<int>(text.size());
  int count = wide_char_to_multi_byte(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::string out(static_cast<size_t>(count), '\0');
  wide_char_to_multi_byte(CP_UTF8, 0, text.data(), size, out.data(), count);
  return out;
}

std::u16string from_utf8(const std::string& text) {
  if (text.empty()) {
    return {};
  }
  int size = static_cast<int>(text.size());
  int count = multi_byte_to_wide_char(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::u16string out(static_cast<size_t>(count), u'\0');
  multi_byte_to_wide_char(CP_UTF8, 0, text.data(), size, out.data(), count);
  return out;
}

}  // namespace platform::task_store
