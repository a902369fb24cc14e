// The task store of the POSIX task scheduler: one record file per registered task in the platform's state
// directory, written whole and renamed into place so that a reader never sees half a record.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/tasks.h"

namespace platform::task_store {

// Where the records live (made with the first record); empty when the state directory cannot be made.
std::filesystem::path tasks_dir();
bool valid_name(const std::u16string& name);
// Empty when the state directory cannot be made.
std::filesystem::path record_path(const std::u16string& name);

// The record's first line, which names the registration the record belongs to.
std::string instance_line(const std::string& instance);

HRESULT write(const std::u16string& name, const TaskRecord& record, const std::string& instance);
bool read(const std::u16string& name, TaskRecord* record);
bool exists(const std::u16string& name);
// HRESULT_FILE_NOT_FOUND when there is no such record.
HRESULT remove(const std::u16string& name);
std::vector<std::u16string> names();

std::string to_utf8(const std::u16string& text);
std::u16string from_utf8(const std::string& text);

}  // namespace platform::task_store
