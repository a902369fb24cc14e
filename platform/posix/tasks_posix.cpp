#include "platform/tasks.h"

#include <atomic>
#include <new>
#include <random>
#include <string>

#include "platform/posix/task_store_posix.h"
#include "platform/task_call_faults.h"
#include "platform/posix/task_waiter_posix.h"

namespace platform {

// The one place that makes the layer's objects (their constructors are private).
struct TaskObjectFactory {
  template <class T, class... Args>
  static T* make(Args&&... args) {
    return new (std::nothrow) T(std::forward<Args>(args)...);
  }
};

namespace {

enum class Apartment { kNone, kMultithreaded, kApartment };

struct ComThreadState {
  Apartment apartment = Apartment::kNone;
  uint32_t initializations = 0;
};

thread_local ComThreadState t_com;
std::atomic<bool> g_security_set{false};

std::u16string text_of(const char16_t* value) { return value != nullptr ? std::u16string(value) : std::u16string(); }

bool empty_variant(const Variant& value) {
  return value.vt == VT_EMPTY || (value.vt == VT_BSTR && value.bstr_val.empty());
}

// Hands out a new object through `out`: E_POINTER without a place for it, E_OUTOFMEMORY when it cannot be made.
template <class T>
HRESULT hand_out(T* made, T** out) {
  if (made == nullptr) {
    return E_OUTOFMEMORY;
  }
  *out = made;
  return S_OK;
}

std::string new_instance() {
  std::random_device random;
  std::string instance;
  static const char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) {
    instance += kHex[random() % 16];
  }
  return instance;
}

// What the task scheduler checks before it stores a definition.
HRESULT validate(const TaskRecord& record) {
  if (record.actions.empty()) {
    return SCHED_E_MISSINGNODE;
  }
  for (const ExecActionRecord& action : record.actions) {
    if (action.path.empty()) {
      return SCHED_E_MISSINGNODE;
    }
  }
  for (const TimeTriggerRecord& trigger : record.triggers) {
    int64_t seconds;
    if (trigger.start_boundary.empty()) {
      return SCHED_E_MISSINGNODE;
    }
    if (!task_waiter::parse_boundary(trigger.start_boundary, &seconds) ||
        (!trigger.end_boundary.empty() && !task_waiter::parse_boundary(trigger.end_boundary, &seconds))) {
      return SCHED_E_INVALIDVALUE;
    }
  }
  return S_OK;
}

}  // namespace

// Every object's state lives in the layer's own records here.
void release_native_task_object(void*) {}

HRESULT co_initialize_ex(uint32_t coinit) {
  RETURN_IF_FAULTED("CoInitializeEx");
  if ((coinit & ~COINIT_APARTMENTTHREADED & ~0xCu) != 0) {
    return E_INVALIDARG;
  }
  Apartment wanted = (coinit & COINIT_APARTMENTTHREADED) != 0 ? Apartment::kApartment : Apartment::kMultithreaded;
  if (t_com.initializations > 0) {
    if (t_com.apartment != wanted) {
      return RPC_E_CHANGED_MODE;
    }
    ++t_com.initializations;
    return S_FALSE;
  }
  t_com.apartment = wanted;
  t_com.initializations = 1;
  return S_OK;
}

void co_uninitialize() {
  if (t_com.initializations > 0 && --t_com.initializations == 0) {
    t_com.apartment = Apartment::kNone;
  }
}

HRESULT co_initialize_security(const void* security_descriptor, int32_t auth_service_count, uint32_t authn_level,
                               uint32_t imp_level, uint32_t capabilities) {
  RETURN_IF_FAULTED("CoInitializeSecurity");
  (void)security_descriptor;
  (void)capabilities;
  if (t_com.initializations == 0) {
    return CO_E_NOTINITIALIZED;
  }
  if (auth_service_count < -1 || authn_level > RPC_C_AUTHN_LEVEL_PKT_PRIVACY || imp_level > 4) {
    return E_INVALIDARG;
  }
  bool expected = false;
  if (!g_security_set.compare_exchange_strong(expected, true)) {
    return RPC_E_TOO_LATE;
  }
  return S_OK;
}

HRESULT create_task_service(uint32_t cls_context, TaskService** service) {
  RETURN_IF_FAULTED("CoCreateInstance");
  if (service == nullptr) {
    return E_POINTER;
  }
  *service = nullptr;
  if (t_com.initializations == 0) {
    return CO_E_NOTINITIALIZED;
  }
  if ((cls_context & CLSCTX_INPROC_SERVER) == 0) {
    return REGDB_E_CLASSNOTREG;
  }
  return hand_out(TaskObjectFactory::make<TaskService>(), service);
}

HRESULT TaskService::connect(const Variant& server, const Variant& user, const Variant& domain,
                             const Variant& password) {
  RETURN_IF_FAULTED("TaskService.connect");
  if (!empty_variant(server) || !empty_variant(user) || !empty_variant(domain) || !empty_variant(password)) {
    return E_ACCESSDENIED;
  }
  connected_ = true;
  return S_OK;
}

HRESULT TaskService::get_folder(const char16_t* path, TaskFolder** folder) {
  RETURN_IF_FAULTED("TaskService.get_folder");
  if (folder == nullptr) {
    return E_POINTER;
  }
  *folder = nullptr;
  if (!connected_) {
    return HRESULT_ONLY_IF_CONNECTED;
  }
  if (text_of(path) != u"\\") {
    return HRESULT_FILE_NOT_FOUND;
  }
  return hand_out(TaskObjectFactory::make<TaskFolder>(), folder);
}

HRESULT TaskService::new_task(uint32_t flags, TaskDefinition** definition) {
  RETURN_IF_FAULTED("TaskService.new_task");
  if (definition == nullptr) {
    return E_POINTER;
  }
  *definition = nullptr;
  if (!connected_) {
    return HRESULT_ONLY_IF_CONNECTED;
  }
  if (flags != 0) {
    return E_INVALIDARG;
  }
  return hand_out(TaskObjectFactory::make<TaskDefinition>(), definition);
}

HRESULT TaskFolder::delete_task(const char16_t* name, int32_t flags) {
  RETURN_IF_FAULTED("TaskFolder.delete_task");
  if (flags != 0 || !task_store::valid_name(text_of(name))) {
    return E_INVALIDARG;
  }
  return task_store::remove(text_of(name));
}

HRESULT TaskFolder::register_task_definition(const char16_t* name, TaskDefinition* definition, int32_t flags,
                                             const Variant& user, const Variant& password, int32_t logon_type,
                                             const Variant& sddl, RegisteredTask** registered) {
  RETURN_IF_FAULTED("TaskFolder.register_task_definition");
  if (registered != nullptr) {
    *registered = nullptr;
  }
  std::u16string task_name = text_of(name);
  if (definition == nullptr || !task_store::valid_name(task_name) ||
      (flags & ~(TASK_CREATE_OR_UPDATE | TASK_VALIDATE_ONLY | TASK_DISABLE)) != 0 ||
      logon_type < TASK_LOGON_NONE || logon_type > TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD ||
      (sddl.vt != VT_EMPTY && sddl.vt != VT_BSTR)) {
    return E_INVALIDARG;
  }
  if (!empty_variant(user) || !empty_variant(password)) {
    return E_ACCESSDENIED;
  }
  TaskRecord record = *definition->record_;
  record.logon_type = logon_type;
  record.sddl = sddl.bstr_val;
  record.enabled = (flags & TASK_DISABLE) == 0;
  HRESULT result = validate(record);
  if (failed(result) || (flags & TASK_VALIDATE_ONLY) != 0) {
    return result;
  }
  bool exists = task_store::exists(task_name);
  if (exists && (flags & TASK_UPDATE) == 0) {
    return HRESULT_ALREADY_EXISTS;
  }
  if (!exists && (flags & TASK_CREATE) == 0) {
    return HRESULT_FILE_NOT_FOUND;
  }
  RegisteredTask* task = nullptr;
  if (registered != nullptr && (task = TaskObjectFactory::make<RegisteredTask>(task_name)) == nullptr) {
    return E_OUTOFMEMORY;
  }
  std::string instance = new_instance();
  result = task_store::write(task_name, record, instance);
  if (succeeded(result) && !task_waiter::arm(task_name, record, instance)) {
    // A task that could never fire is not left registered.
    task_store::remove(task_name);
    result = E_OUTOFMEMORY;
  }
  if (failed(result)) {
    if (task != nullptr) {
      task->release();
    }
    return result;
  }
  if (registered != nullptr) {
    *registered = task;
  }
  return S_OK;
}

HRESULT TaskDefinition::get_registration_info(RegistrationInfo** info) {
  RETURN_IF_FAULTED("TaskDefinition.get_registration_info");
  return info == nullptr ? E_POINTER : hand_out(TaskObjectFactory::make<RegistrationInfo>(record_), info);
}

HRESULT TaskDefinition::get_principal(Principal** principal) {
  RETURN_IF_FAULTED("TaskDefinition.get_principal");
  return principal == nullptr ? E_POINTER : hand_out(TaskObjectFactory::make<Principal>(record_), principal);
}

HRESULT TaskDefinition::get_settings(TaskSettings** settings) {
  RETURN_IF_FAULTED("TaskDefinition.get_settings");
  return settings == nullptr ? E_POINTER : hand_out(TaskObjectFactory::make<TaskSettings>(record_), settings);
}

HRESULT TaskDefinition::get_triggers(TriggerCollection** triggers) {
  RETURN_IF_FAULTED("TaskDefinition.get_triggers");
  return triggers == nullptr ? E_POINTER : hand_out(TaskObjectFactory::make<TriggerCollection>(record_), triggers);
}

HRESULT TaskDefinition::get_actions(ActionCollection** actions) {
  RETURN_IF_FAULTED("TaskDefinition.get_actions");
  return actions == nullptr ? E_POINTER : hand_out(TaskObjectFactory::make<ActionCollection>(record_), actions);
}

HRESULT RegistrationInfo::put_author(const char16_t* author) {
  RETURN_IF_FAULTED("RegistrationInfo.put_author");
  record_->author = text_of(author);
  return S_OK;
}

HRESULT Principal::put_logon_type(int32_t logon_type) {
  RETURN_IF_FAULTED("Principal.put_logon_type");
  if (logon_type < TASK_LOGON_NONE || logon_type > TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD) {
    return E_INVALIDARG;
  }
  record_->principal_logon_type = logon_type;
  return S_OK;
}

HRESULT Principal::put_run_level(int32_t run_level) {
  RETURN_IF_FAULTED("Principal.put_run_level");
  if (run_level != TASK_RUNLEVEL_LUA && run_level != TASK_RUNLEVEL_HIGHEST) {
    return E_INVALIDARG;
  }
  record_->run_level = run_level;
  return S_OK;
}

HRESULT TaskSettings::put_start_when_available(VariantBool value) {
  RETURN_IF_FAULTED("TaskSettings.put_start_when_available");
  record_->start_when_available = value != VARIANT_FALSE;
  return S_OK;
}

HRESULT TaskSettings::put_disallow_start_if_on_batteries(VariantBool value) {
  RETURN_IF_FAULTED("TaskSettings.put_disallow_start_if_on_batteries");
  record_->disallow_start_if_on_batteries = value != VARIANT_FALSE;
  return S_OK;
}

HRESULT TaskSettings::put_stop_if_going_on_batteries(VariantBool value) {
  RETURN_IF_FAULTED("TaskSettings.put_stop_if_going_on_batteries");
  record_->stop_if_going_on_batteries = value != VARIANT_FALSE;
  return S_OK;
}

HRESULT TaskSettings::get_idle_settings(IdleSettings** idle_settings) {
  RETURN_IF_FAULTED("TaskSettings.get_idle_settings");
  return idle_settings == nullptr ? E_POINTER
                                  : hand_out(TaskObjectFactory::make<IdleSettings>(record_), idle_settings);
}

HRESULT IdleSettings::put_wait_timeout(const char16_t* duration) {
  RETURN_IF_FAULTED("IdleSettings.put_wait_timeout");
  record_->idle_wait_timeout = text_of(duration);
  return S_OK;
}

HRESULT TriggerCollection::create(int32_t type, Trigger** trigger) {
  RETURN_IF_FAULTED("TriggerCollection.create");
  if (trigger == nullptr) {
    return E_POINTER;
  }
  *trigger = nullptr;
  if (type != TASK_TRIGGER_TIME) {
    return type < 0 || type > 12 ? E_INVALIDARG : E_NOTIMPL;
  }
  HRESULT result = hand_out(TaskObjectFactory::make<Trigger>(record_, record_->triggers.size()), trigger);
  if (succeeded(result)) {
    record_->triggers.emplace_back();
  }
  return result;
}

HRESULT Trigger::query_time_trigger(TimeTrigger** time_trigger) {
  RETURN_IF_FAULTED("Trigger.query_time_trigger");
  return time_trigger == nullptr ? E_POINTER
                                 : hand_out(TaskObjectFactory::make<TimeTrigger>(record_, index_), time_trigger);
}

HRESULT TimeTrigger::put_id(const char16_t* id) {
  RETURN_IF_FAULTED("TimeTrigger.put_id");
  record_->triggers[index_].id = text_of(id);
  return S_OK;
}

HRESULT TimeTrigger::put_start_boundary(const char16_t* boundary) {
  RETURN_IF_FAULTED("TimeTrigger.put_start_boundary");
  record_->triggers[index_].start_boundary = text_of(boundary);
  return S_OK;
}

HRESULT TimeTrigger::put_end_boundary(const char16_t* boundary) {
  RETURN_IF_FAULTED("TimeTrigger.put_end_boundary");
  record_->triggers[index_].end_boundary = text_of(boundary);
  return S_OK;
}

HRESULT ActionCollection::create(int32_t type, Action** action) {
  RETURN_IF_FAULTED("ActionCollection.create");
  if (action == nullptr) {
    return E_POINTER;
  }
  *action = nullptr;
  if (type != TASK_ACTION_EXEC) {
    return type < 0 || type > 7 ? E_INVALIDARG : E_NOTIMPL;
  }
  HRESULT result = hand_out(TaskObjectFactory::make<Action>(record_, record_->actions.size()), action);
  if (succeeded(result)) {
    record_->actions.emplace_back();
  }
  return result;
}

HRESULT Action::query_exec_action(ExecAction** exec_action) {
  RETURN_IF_FAULTED("Action.query_exec_action");
  return exec_action == nullptr ? E_POINTER
                                : hand_out(TaskObjectFactory::make<ExecAction>(record_, index_), exec_action);
}

HRESULT ExecAction::put_path(const char16_t* path) {
  RETURN_IF_FAULTED("ExecAction.put_path");
  record_->actions[index_].path = text_of(path);
  return S_OK;
}

HRESULT ExecAction::put_arguments(const char16_t* arguments) {
  RETURN_IF_FAULTED("ExecAction.put_arguments");
  record_->actions[index_].arguments = text_of(arguments);
  return S_OK;
}

bool read_task_record(const std::u16string& name, TaskRecord* record) { return task_store::read(name, record); }

std::vector<std::u16string> registered_task_names() { return task_store::names(); }

void set_task_call_fault(const char* call, HRESULT result) { task_call_faults::set(call, result); }

void clear_task_call_faults() { task_call_faults::clear(); }

void reset_com_security_for_testing() { g_security_set.store(false); }

uint32_t com_initialization_count() { return t_com.initializations; }

}  // namespace platform
