// COM initialisation and the Task Scheduler: the task service, its root folder, task definitions with their
// principal, settings, time triggers and exec actions, and registration. Results are HRESULTs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

using HRESULT = int32_t;
using VariantBool = int16_t;

constexpr HRESULT make_hresult(uint32_t value) { return static_cast<HRESULT>(value); }
constexpr HRESULT hresult_from_win32(uint32_t error) {
  return error == 0 ? 0 : make_hresult((error & 0xFFFF) | 0x80070000u);
}
constexpr bool succeeded(HRESULT result) { return result >= 0; }
constexpr bool failed(HRESULT result) { return result < 0; }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = make_hresult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = make_hresult(0x80004002);
inline constexpr HRESULT E_POINTER = make_hresult(0x80004003);
inline constexpr HRESULT E_FAIL = make_hresult(0x80004005);
inline constexpr HRESULT E_ACCESSDENIED = make_hresult(0x80070005);
inline constexpr HRESULT E_OUTOFMEMORY = make_hresult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = make_hresult(0x80070057);
inline constexpr HRESULT RPC_E_CHANGED_MODE = make_hresult(0x80010106);
inline constexpr HRESULT RPC_E_TOO_LATE = make_hresult(0x80010119);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = make_hresult(0x80040154);
inline constexpr HRESULT CO_E_NOTINITIALIZED = make_hresult(0x800401F0);
inline constexpr HRESULT SCHED_E_INVALIDVALUE = make_hresult(0x80041318);
inline constexpr HRESULT SCHED_E_MISSINGNODE = make_hresult(0x80041319);
// Folder or task not found; a create-only registration of an existing task; a call before Connect.
inline constexpr HRESULT HRESULT_FILE_NOT_FOUND = make_hresult(0x80070002);
inline constexpr HRESULT HRESULT_ALREADY_EXISTS = make_hresult(0x800700B7);
inline constexpr HRESULT HRESULT_ONLY_IF_CONNECTED = make_hresult(0x800704E3);

inline constexpr VariantBool VARIANT_TRUE = -1;
inline constexpr VariantBool VARIANT_FALSE = 0;

inline constexpr uint32_t COINIT_MULTITHREADED = 0x0;
inline constexpr uint32_t COINIT_APARTMENTTHREADED = 0x2;
inline constexpr uint32_t CLSCTX_INPROC_SERVER = 0x1;
inline constexpr uint32_t RPC_C_AUTHN_LEVEL_PKT_PRIVACY = 6;
inline constexpr uint32_t RPC_C_IMP_LEVEL_IMPERSONATE = 3;
inline constexpr uint32_t EOAC_NONE = 0;

inline constexpr int32_t TASK_TRIGGER_TIME = 1;
inline constexpr int32_t TASK_ACTION_EXEC = 0;
inline constexpr int32_t TASK_LOGON_NONE = 0;
inline constexpr int32_t TASK_LOGON_PASSWORD = 1;
inline constexpr int32_t TASK_LOGON_INTERACTIVE_TOKEN = 3;
inline constexpr int32_t TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD = 6;
inline constexpr int32_t TASK_RUNLEVEL_LUA = 0;
inline constexpr int32_t TASK_RUNLEVEL_HIGHEST = 1;
inline constexpr int32_t TASK_VALIDATE_ONLY = 0x1;
inline constexpr int32_t TASK_CREATE = 0x2;
inline constexpr int32_t TASK_UPDATE = 0x4;
inline constexpr int32_t TASK_CREATE_OR_UPDATE = 0x6;
inline constexpr int32_t TASK_DISABLE = 0x8;

inline constexpr uint16_t VT_EMPTY = 0;
inline constexpr uint16_t VT_BSTR = 8;

// The VARIANT arguments of the task service: empty, or holding a string.
struct Variant {
  uint16_t vt = VT_EMPTY;
  std::u16string bstr_val;
};

// COM on the calling thread: counted initialisations, one apartment per thread (another one gives
// RPC_E_CHANGED_MODE, which counts nothing); S_FALSE when the thread was already initialised in that apartment.
HRESULT co_initialize_ex(uint32_t coinit);
void co_uninitialize();
// Process-wide COM security: settable once per process (then RPC_E_TOO_LATE), and only once COM is initialised
// on the calling thread (else CO_E_NOTINITIALIZED).
HRESULT co_initialize_security(const void* security_descriptor, int32_t auth_service_count, uint32_t authn_level,
                               uint32_t imp_level, uint32_t capabilities);

// A registered task's stored definition; a new definition starts with these values, as the task service's do.
struct TimeTriggerRecord {
  std::u16string id;
  std::u16string start_boundary;
  std::u16string end_boundary;
  bool operator==(const TimeTriggerRecord&) const = default;
};
struct ExecActionRecord {
  std::u16string path;
  std::u16string arguments;
  bool operator==(const ExecActionRecord&) const = default;
};
struct TaskRecord {
  std::u16string author;
  int32_t principal_logon_type = TASK_LOGON_NONE;
  int32_t run_level = TASK_RUNLEVEL_LUA;
  bool start_when_available = false;
  bool disallow_start_if_on_batteries = true;
  bool stop_if_going_on_batteries = true;
  std::u16string idle_wait_timeout = u"PT1H";
  std::vector<TimeTriggerRecord> triggers;
  std::vector<ExecActionRecord> actions;
  // Set by the registration.
  int32_t logon_type = TASK_LOGON_NONE;
  std::u16string sddl;
  bool enabled = true;
  bool operator==(const TaskRecord&) const = default;
};

// Releases the platform's own object behind a layer object (null where the layer keeps the records itself).
void release_native_task_object(void* native);

// Reference counting as COM's: every object comes with one reference, release() drops one and frees the object
// at zero. An object keeps alive what it was obtained from.
template <class T>
class TaskObject {
 public:
  uint32_t release() {
    if (--references_ == 0) {
      release_native_task_object(native_);
      delete static_cast<T*>(this);
      return 0;
    }
    return references_;
  }

 protected:
  TaskObject() = default;
  ~TaskObject() = default;
  TaskObject(const TaskObject&) = delete;
  TaskObject& operator=(const TaskObject&) = delete;

  // The platform's interface this object stands for, where the platform has one.
  void* native_ = nullptr;

 private:
  uint32_t references_ = 1;
};

struct TaskObjectFactory;
class TaskFolder;
class TaskDefinition;

class RegistrationInfo : public TaskObject<RegistrationInfo> {
 public:
  HRESULT put_author(const char16_t* author);

 private:
  friend struct TaskObjectFactory;
  friend class TaskObject<RegistrationInfo>;
  explicit RegistrationInfo(std::shared_ptr<TaskRecord> record) : record_(std::move(record)) {}
  ~RegistrationInfo() = default;
  std::shared_ptr<TaskRecord> record_;
};

class Principal : public TaskObject<Principal> {
 public:
  HRESULT put_logon_type(int32_t logon_type);
  HRESULT put_run_level(int32_t run_level);

 private:
  friend struct TaskObjectFactory;
  friend class TaskObject<Principal>;
  explicit Principal(std::shared_ptr<TaskRecord> record) : record_(std::move(record)) {}
  ~Principal() = default;
  std::shared_ptr<TaskRecord> record_;
};

class IdleSettings : public TaskObject<IdleSettings> {
 public:
  HRESULT put_wait_timeout(const char16_t* duration);

 private:
  friend struct TaskObjectFactory;
  friend class TaskObject<IdleSettings>;
  explicit IdleSettings(std::shared_ptr<TaskRecord> record) : record_(std::move(record)) {}
  ~IdleSettings() = default;
  std::shared_ptr<TaskRecord> record_;
};

class TaskSettings : public TaskObject<TaskSettings> {
 public:
  HRESULT put_start_when_available(VariantBool value);
  HRESULT put_disallow_start_if_on_batteries(VariantBool value);
  HRESULT put_stop_if_going_on_batteries(VariantBool value);
  HRESULT get_idle_settings(IdleSettings** idle_settings);

 private:
  friend struct TaskObjectFactory;
  friend class TaskObject<TaskSettings>;
  explicit TaskSettings(std::shared_ptr<TaskRecord> record) : record_(std::move(record)) {}
  ~TaskSettings() = default;
  std::shared_ptr<TaskRecord> record_;
};

class TimeTrigger : public TaskObject<TimeTrigger> {
 public:
  HRESULT put_id(const char16_t* id);
  HRESULT put_start_boundary(const char16_t* boundary);
  HRESULT put_end_boundary(const char16_t* boundary);

 private:
  friend struct TaskObjectFactory;
  friend class TaskObject<TimeTrigger>;
  TimeTrigger(std::shared_ptr<TaskRecord> record, size_t index) : record_(std::move(record)), index_(index) {}
  ~TimeTrigger() = default;
  std::shared_ptr<TaskRecord> record_;
  size_t index_;
};

class Trigger : public TaskObject<Trigger> {
 public:
  // QueryInterface for the time trigger's interface.
  HRESULT query_time_trigger(TimeTrigger** time_trigger);

 private:
  friend struct TaskObjectFactory;
  friend class TaskObject<Trigger>;
  Trigger(std::shared_ptr<TaskRecord> record, size_t index) : record_(std::move(record)), index_(index) {}
  ~Trigger() = default;
  std::shared_ptr<TaskRecord> record_;
  size_t index_;
};

class TriggerCollection : public TaskObject<TriggerCollection> {
 public:
  // Only TASK_TRIGGER_TIME is served here (others: E_NOTIMPL).
  HRESULT create(int32_t type, Trigger** trigger);

 private:
  friend struct TaskObjectFactory;
  friend class TaskObject<TriggerCollection>;
  explicit TriggerCollection(std::shared_ptr<TaskRecord> record) : record_(std::move(record)) {}
  ~TriggerCollection() = default;
  std::shared_ptr<TaskRecord> record_;
};

class ExecAction : public TaskObject<ExecAction> {
 public:
  HRESULT put_path(const char16_t* path);
  HRESULT put_arguments(const char16_t* arguments);

 private:
  friend struct TaskObjectFactory;
  friend class TaskObject<ExecAction>;
  ExecAction(std::shared_ptr<TaskRecord> record, size_t index) : record_(std::move(record)), index_(index) {}
  ~ExecAction() = default;
  std::shared_ptr<TaskRecord> record_;
  size_t index_;
};

class Action : public TaskObject<Action> {
 public:
  // QueryInterface for the exec action's interface.
  HRESULT query_exec_action(ExecAction** exec_action);

 private:
  friend struct TaskObjectFactory;
  friend class TaskObject<Action>;
  Action(std::shared_ptr<TaskRecord> record, size_t index) : record_(std::move(record)), index_(index) {}
  ~Action() = default;
  std::shared_ptr<TaskRecord> record_;
  size_t index_;
};

class ActionCollection : public TaskObject<ActionCollection> {
 public:
  // Only TASK_ACTION_EXEC is served here (others: E_NOTIMPL).
  HRESULT create(int32_t type, Action** action);

 private:
  friend struct TaskObjectFactory;
  friend class TaskObject<ActionCollection>;
  explicit ActionCollection(std::shared_ptr<TaskRecord> record) : record_(std::move(record)) {}
  ~ActionCollection() = default;
  std::shared_ptr<TaskRecord> record_;
};

class TaskDefinition : public TaskObject<TaskDefinition> {
 public:
  HRESULT get_registration_info(RegistrationInfo** info);
  HRESULT get_principal(Principal** principal);
  HRESULT get_settings(TaskSettings** settings);
  HRESULT get_triggers(TriggerCollection** triggers);
  HRESULT get_actions(ActionCollection** actions);

 private:
  friend struct TaskObjectFactory;
  friend class TaskObject<TaskDefinition>;
  friend class TaskFolder;
  TaskDefinition() : record_(std::make_shared<TaskRecord>()) {}
  ~TaskDefinition() = default;
  std::shared_ptr<TaskRecord> record_;
};

class RegisteredTask : public TaskObject<RegisteredTask> {
 public:
  const std::u16string& name() const { return name_; }

 private:
  friend struct TaskObjectFactory;
  friend class TaskObject<RegisteredTask>;
  explicit RegisteredTask(std::u16string name) : name_(std::move(name)) {}
  ~RegisteredTask() = default;
  std::u16string name_;
};

class TaskFolder : public TaskObject<TaskFolder> {
 public:
  // HRESULT_FILE_NOT_FOUND when there is no such task.
  HRESULT delete_task(const char16_t* name, int32_t flags);
  // Stores the task and arms its time triggers: at a trigger's start boundary the exec actions run once, in
  // order, unless the task was deleted or replaced before. A start boundary already past runs at once when the
  // settings allow a start when available, else never; the scheduler reads the real clock, never a pinned one. User and password must be empty: every task runs as the
  // registering user here, at its own rights whatever the run level.
  HRESULT register_task_definition(const char16_t* name, TaskDefinition* definition, int32_t flags,
                                   const Variant& user, const Variant& password, int32_t logon_type,
                                   const Variant& sddl, RegisteredTask** registered);

 private:
  friend struct TaskObjectFactory;
  friend class TaskObject<TaskFolder>;
  TaskFolder() = default;
  ~TaskFolder() = default;
};

class TaskService : public TaskObject<TaskService> {
 public:
  // Only the local machine and the current user are served here: every argument must be empty.
  HRESULT connect(const Variant& server, const Variant& user, const Variant& domain, const Variant& password);
  // Only the root folder "\" exists.
  HRESULT get_folder(const char16_t* path, TaskFolder** folder);
  HRESULT new_task(uint32_t flags, TaskDefinition** definition);

 private:
  friend struct TaskObjectFactory;
  friend class TaskObject<TaskService>;
  TaskService() = default;
  ~TaskService() = default;
  bool connected_ = false;
};

// CoCreateInstance of the task scheduler's class as its task service; needs COM on the calling thread.
HRESULT create_task_service(uint32_t cls_context, TaskService** service);

// The stored definition of a registered task (the root folder's name); false when there is none.
bool read_task_record(const std::u16string& name, TaskRecord* record);
// The names of the registered tasks.
std::vector<std::u16string> registered_task_names();

// Test seams. A call named as "Class.method" ("TimeTrigger.put_id", "TaskService.new_task", "CoInitializeEx",
// "CoInitializeSecurity", "CoCreateInstance") returns `result` from now on, doing nothing else, until cleared.
void set_task_call_fault(const char* call, HRESULT result);
void clear_task_call_faults();
// Forgets the process's COM security, as a new process would have it.
void reset_com_security_for_testing();
// How many initialisations of COM the calling thread holds.
uint32_t com_initialization_count();

}  // namespace platform
