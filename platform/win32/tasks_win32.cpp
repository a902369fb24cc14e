// COM and the Task Scheduler 2.0 through their real interfaces: each layer object holds the interface it stands for.
#include "platform/tasks.h"

#include <new>
#include <string>

#include "platform/task_call_faults.h"
#include "platform/win32/windows_api.h"

#include <oleauto.h>

#include "platform/win32/windows_names.h"

namespace platform {

// The one place that makes the layer's objects (their constructors are private), each around its interface.
struct TaskObjectFactory {
  template <class T, class... Args>
  static T* make(IUnknown* native, Args&&... args) {
    T* made = new (std::nothrow) T(std::forward<Args>(args)...);
    if (made) {
      made->native_ = native;
    } else {
      native->Release();
    }
    return made;
  }
  template <class Interface, class T>
  static Interface* native(const T* object) {
    return static_cast<Interface*>(object->native_);
  }
};

namespace {

thread_local uint32_t t_initializations = 0;

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

std::u16string text_of(const wchar_t* text) {
  return text ? std::u16string(reinterpret_cast<const char16_t*>(text)) : std::u16string();
}

// A BSTR for one call.
class Bstr {
 public:
  explicit Bstr(const char16_t* text) : value_(text ? SysAllocString(wide(text)) : nullptr) {}
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return value_; }

 private:
  BSTR value_;
};

// A VARIANT argument for one call.
class VariantArgument {
 public:
  explicit VariantArgument(const Variant& value) {
    VariantInit(&value_);
    if (value.vt == VT_BSTR) {
      value_.vt = VT_BSTR;
      value_.bstrVal = SysAllocString(wide(value.bstr_val.c_str()));
    }
  }
  ~VariantArgument() { VariantClear(&value_); }
  VariantArgument(const VariantArgument&) = delete;
  VariantArgument& operator=(const VariantArgument&) = delete;
  const VARIANT& get() const { return value_; }

 private:
  VARIANT value_;
};

// Hands out the layer object around the interface a call gave. The interface is taken by reference: it is read
// only once the call, an argument evaluated in no set order beside it, has filled it.
template <class T, class Interface, class... Args>
HRESULT hand_out(HRESULT result, Interface* const& native, T** out, Args&&... args) {
  if (FAILED(result)) {
    return result;
  }
  *out = TaskObjectFactory::make<T>(native, std::forward<Args>(args)...);
  return *out ? S_OK : E_OUTOFMEMORY;
}

template <class Interface>
void release_interface(Interface*& native) {
  if (native) {
    native->Release();
    native = nullptr;
  }
}

// A text property read through its getter, empty when the call fails or gives none.
template <class Interface, class Getter>
std::u16string read_text(Interface* object, Getter getter) {
  BSTR value = nullptr;
  std::u16string text;
  if (SUCCEEDED((object->*getter)(&value))) {
    text = text_of(value);
  }
  SysFreeString(value);
  return text;
}

template <class Interface, class Getter>
bool read_flag(Interface* object, Getter getter, bool fallback) {
  VARIANT_BOOL value = fallback ? -1 : 0;
  (object->*getter)(&value);
  return value != 0;
}

// The root folder of the local task service, with COM held for the caller's thread meanwhile.
class RootFolder {
 public:
  RootFolder() {
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    initialized_ = SUCCEEDED(init);
    ITaskService* service = nullptr;
    if (FAILED(CoCreateInstance(__uuidof(TaskScheduler), nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITaskService),
                                reinterpret_cast<void**>(&service)))) {
      return;
    }
    VARIANT empty;
    VariantInit(&empty);
    Bstr root(u"\\");
    if (SUCCEEDED(service->Connect(empty, empty, empty, empty))) {
      service->GetFolder(root.get(), &folder_);
    }
    service->Release();
  }
  ~RootFolder() {
    release_interface(folder_);
    if (initialized_) {
      CoUninitialize();
    }
  }
  RootFolder(const RootFolder&) = delete;
  RootFolder& operator=(const RootFolder&) = delete;
  ITaskFolder* get() const { return folder_; }

 private:
  bool initialized_ = false;
  ITaskFolder* folder_ = nullptr;
};

void read_triggers(ITaskDefinition* definition, TaskRecord* record) {
  ITriggerCollection* triggers = nullptr;
  LONG count = 0;
  if (FAILED(definition->get_Triggers(&triggers)) || FAILED(triggers->get_Count(&count))) {
    release_interface(triggers);
    return;
  }
  for (LONG i = 1; i <= count; ++i) {
    ITrigger* trigger = nullptr;
    ITimeTrigger* time_trigger = nullptr;
    if (SUCCEEDED(triggers->get_Item(i, &trigger)) &&
        SUCCEEDED(trigger->QueryInterface(__uuidof(ITimeTrigger), reinterpret_cast<void**>(&time_trigger)))) {
      record->triggers.push_back({read_text(time_trigger, &ITimeTrigger::get_Id),
                                  read_text(time_trigger, &ITimeTrigger::get_StartBoundary),
                                  read_text(time_trigger, &ITimeTrigger::get_EndBoundary)});
    }
    release_interface(time_trigger);
    release_interface(trigger);
  }
  release_interface(triggers);
}

void read_actions(ITaskDefinition* definition, TaskRecord* record) {
  IActionCollection* actions = nullptr;
  LONG count = 0;
  if (FAILED(definition->get_Actions(&actions)) || FAILED(actions->get_Count(&count))) {
    release_interface(actions);
    return;
  }
  for (LONG i = 1; i <= count; ++i) {
    IAction* action = nullptr;
    IExecAction* exec_action = nullptr;
    if (SUCCEEDED(actions->get_Item(i, &action)) &&
        SUCCEEDED(action->QueryInterface(__uuidof(IExecAction), reinterpret_cast<void**>(&exec_action)))) {
      record->actions.push_back(
          {read_text(exec_action, &IExecAction::get_Path), read_text(exec_action, &IExecAction::get_Arguments)});
    }
    release_interface(exec_action);
    release_interface(action);
  }
  release_interface(actions);
}

void read_definition(ITaskDefinition* definition, TaskRecord* record) {
  IRegistrationInfo* info = nullptr;
  if (SUCCEEDED(definition->get_RegistrationInfo(&info))) {
    record->author = read_text(info, &IRegistrationInfo::get_Author);
  }
  release_interface(info);
  IPrincipal* principal = nullptr;
  if (SUCCEEDED(definition->get_Principal(&principal))) {
    TASK_LOGON_TYPE logon = static_cast<TASK_LOGON_TYPE>(TASK_LOGON_NONE);
    TASK_RUNLEVEL_TYPE level = static_cast<TASK_RUNLEVEL_TYPE>(TASK_RUNLEVEL_LUA);
    principal->get_LogonType(&logon);
    principal->get_RunLevel(&level);
    // The task service keeps one logon type: the registration's replaces the principal's.
    record->principal_logon_type = logon;
    record->logon_type = logon;
    record->run_level = level;
  }
  release_interface(principal);
  ITaskSettings* settings = nullptr;
  if (SUCCEEDED(definition->get_Settings(&settings))) {
    record->start_when_available =
        read_flag(settings, &ITaskSettings::get_StartWhenAvailable, record->start_when_available);
    record->disallow_start_if_on_batteries = read_flag(settings, &ITaskSettings::get_DisallowStartIfOnBatteries,
                                                       record->disallow_start_if_on_batteries);
    record->stop_if_going_on_batteries =
        read_flag(settings, &ITaskSettings::get_StopIfGoingOnBatteries, record->stop_if_going_on_batteries);
    IIdleSettings* idle = nullptr;
    if (SUCCEEDED(settings->get_IdleSettings(&idle))) {
      record->idle_wait_timeout = read_text(idle, &IIdleSettings::get_WaitTimeout);
    }
    release_interface(idle);
  }
  release_interface(settings);
  read_triggers(definition, record);
  read_actions(definition, record);
}

}  // namespace

void release_native_task_object(void* native) {
  if (native) {
    static_cast<IUnknown*>(native)->Release();
  }
}

HRESULT co_initialize_ex(uint32_t coinit) {
  RETURN_IF_FAULTED("CoInitializeEx");
  HRESULT result = CoInitializeEx(nullptr, coinit);
  if (SUCCEEDED(result)) {
    ++t_initializations;
  }
  return result;
}

void co_uninitialize() {
  CoUninitialize();
  if (t_initializations > 0) {
    --t_initializations;
  }
}

HRESULT co_initialize_security(const void* security_descriptor, int32_t auth_service_count, uint32_t authn_level,
                               uint32_t imp_level, uint32_t capabilities) {
  RETURN_IF_FAULTED("CoInitializeSecurity");
  return CoInitializeSecurity(const_cast<void*>(security_descriptor), auth_service_count, nullptr, nullptr,
                              authn_level, imp_level, nullptr, capabilities, nullptr);
}

HRESULT create_task_service(uint32_t cls_context, TaskService** service) {
  RETURN_IF_FAULTED("CoCreateInstance");
  if (service == nullptr) {
    return E_POINTER;
  }
  *service = nullptr;
  ITaskService* native = nullptr;
  HRESULT result = CoCreateInstance(__uuidof(TaskScheduler), nullptr, cls_context, __uuidof(ITaskService),
                                    reinterpret_cast<void**>(&native));
  return hand_out(result, native, service);
}

HRESULT TaskService::connect(const Variant& server, const Variant& user, const Variant& domain,
                             const Variant& password) {
  RETURN_IF_FAULTED("TaskService.connect");
  VariantArgument server_arg(server), user_arg(user), domain_arg(domain), password_arg(password);
  HRESULT result = TaskObjectFactory::native<ITaskService>(this)->Connect(server_arg.get(), user_arg.get(),
                                                                           domain_arg.get(), password_arg.get());
  connected_ = SUCCEEDED(result);
  return result;
}

HRESULT TaskService::get_folder(const char16_t* path, TaskFolder** folder) {
  RETURN_IF_FAULTED("TaskService.get_folder");
  if (folder == nullptr) {
    return E_POINTER;
  }
  *folder = nullptr;
  Bstr text(path);
  ITaskFolder* native = nullptr;
  return hand_out(TaskObjectFactory::native<ITaskService>(this)->GetFolder(text.get(), &native), native, folder);
}

HRESULT TaskService::new_task(uint32_t flags, TaskDefinition** definition) {
  RETURN_IF_FAULTED("TaskService.new_task");
  if (definition == nullptr) {
    return E_POINTER;
  }
  *definition = nullptr;
  ITaskDefinition* native = nullptr;
  return hand_out(TaskObjectFactory::native<ITaskService>(this)->NewTask(flags, &native), native, definition);
}

HRESULT TaskFolder::delete_task(const char16_t* name, int32_t flags) {
  RETURN_IF_FAULTED("TaskFolder.delete_task");
  Bstr text(name);
  return TaskObjectFactory::native<ITaskFolder>(this)->DeleteTask(text.get(), flags);
}

HRESULT TaskFolder::register_task_definition(const char16_t* name, TaskDefinition* definition, int32_t flags,
                                             const Variant& user, const Variant& password, int32_t logon_type,
                                             const Variant& sddl, RegisteredTask** registered) {
  RETURN_IF_FAULTED("TaskFolder.register_task_definition");
  if (definition == nullptr) {
    return E_POINTER;
  }
  if (registered) {
    *registered = nullptr;
  }
  Bstr text(name);
  VariantArgument user_arg(user), password_arg(password), sddl_arg(sddl);
  IRegisteredTask* native = nullptr;
  HRESULT result = TaskObjectFactory::native<ITaskFolder>(this)->RegisterTaskDefinition(
      text.get(), TaskObjectFactory::native<ITaskDefinition>(definition), flags, user_arg.get(), password_arg.get(),
      static_cast<TASK_LOGON_TYPE>(logon_type), sddl_arg.get(), &native);
  if (FAILED(result) || registered == nullptr) {
    release_interface(native);
    return result;
  }
  return hand_out(result, native, registered, read_text(native, &IRegisteredTask::get_Name));
}

HRESULT TaskDefinition::get_registration_info(RegistrationInfo** info) {
  RETURN_IF_FAULTED("TaskDefinition.get_registration_info");
  IRegistrationInfo* native = nullptr;
  return hand_out(TaskObjectFactory::native<ITaskDefinition>(this)->get_RegistrationInfo(&native), native, info,
                  nullptr);
}

HRESULT TaskDefinition::get_principal(Principal** principal) {
  RETURN_IF_FAULTED("TaskDefinition.get_principal");
  IPrincipal* native = nullptr;
  return hand_out(TaskObjectFactory::native<ITaskDefinition>(this)->get_Principal(&native), native, principal,
                  nullptr);
}

HRESULT TaskDefinition::get_settings(TaskSettings** settings) {
  RETURN_IF_FAULTED("TaskDefinition.get_settings");
  ITaskSettings* native = nullptr;
  return hand_out(TaskObjectFactory::native<ITaskDefinition>(this)->get_Settings(&native), native, settings,
                  nullptr);
}

HRESULT TaskDefinition::get_triggers(TriggerCollection** triggers) {
  RETURN_IF_FAULTED("TaskDefinition.get_triggers");
  ITriggerCollection* native = nullptr;
  return hand_out(TaskObjectFactory::native<ITaskDefinition>(this)->get_Triggers(&native), native, triggers,
                  nullptr);
}

HRESULT TaskDefinition::get_actions(ActionCollection** actions) {
  RETURN_IF_FAULTED("TaskDefinition.get_actions");
  IActionCollection* native = nullptr;
  return hand_out(TaskObjectFactory::native<ITaskDefinition>(this)->get_Actions(&native), native, actions,
                  nullptr);
}

HRESULT RegistrationInfo::put_author(const char16_t* author) {
  RETURN_IF_FAULTED("RegistrationInfo.put_author");
  Bstr text(author);
  return TaskObjectFactory::native<IRegistrationInfo>(this)->put_Author(text.get());
}

HRESULT Principal::put_logon_type(int32_t logon_type) {
  RETURN_IF_FAULTED("Principal.put_logon_type");
  return TaskObjectFactory::native<IPrincipal>(this)->put_LogonType(static_cast<TASK_LOGON_TYPE>(logon_type));
}

HRESULT Principal::put_run_level(int32_t run_level) {
  RETURN_IF_FAULTED("Principal.put_run_level");
  return TaskObjectFactory::native<IPrincipal>(this)->put_RunLevel(static_cast<TASK_RUNLEVEL_TYPE>(run_level));
}

HRESULT TaskSettings::put_start_when_available(VariantBool value) {
  RETURN_IF_FAULTED("TaskSettings.put_start_when_available");
  return TaskObjectFactory::native<ITaskSettings>(this)->put_StartWhenAvailable(value);
}

HRESULT TaskSettings::put_disallow_start_if_on_batteries(VariantBool value) {
  RETURN_IF_FAULTED("TaskSettings.put_disallow_start_if_on_batteries");
  return TaskObjectFactory::native<ITaskSettings>(this)->put_DisallowStartIfOnBatteries(value);
}

HRESULT TaskSettings::put_stop_if_going_on_batteries(VariantBool value) {
  RETURN_IF_FAULTED("TaskSettings.put_stop_if_going_on_batteries");
  return TaskObjectFactory::native<ITaskSettings>(this)->put_StopIfGoingOnBatteries(value);
}

HRESULT TaskSettings::get_idle_settings(IdleSettings** idle_settings) {
  RETURN_IF_FAULTED("TaskSettings.get_idle_settings");
  IIdleSettings* native = nullptr;
  return hand_out(TaskObjectFactory::native<ITaskSettings>(this)->get_IdleSettings(&native), native, idle_settings,
                  nullptr);
}

HRESULT IdleSettings::put_wait_timeout(const char16_t* duration) {
  RETURN_IF_FAULTED("IdleSettings.put_wait_timeout");
  Bstr text(duration);
  return TaskObjectFactory::native<IIdleSettings>(this)->put_WaitTimeout(text.get());
}

HRESULT TriggerCollection::create(int32_t type, Trigger** trigger) {
  RETURN_IF_FAULTED("TriggerCollection.create");
  ITrigger* native = nullptr;
  HRESULT result =
      TaskObjectFactory::native<ITriggerCollection>(this)->Create(static_cast<TASK_TRIGGER_TYPE2>(type), &native);
  return hand_out(result, native, trigger, nullptr, size_t{0});
}

HRESULT Trigger::query_time_trigger(TimeTrigger** time_trigger) {
  RETURN_IF_FAULTED("Trigger.query_time_trigger");
  ITimeTrigger* native = nullptr;
  HRESULT result = TaskObjectFactory::native<ITrigger>(this)->QueryInterface(__uuidof(ITimeTrigger),
                                                                              reinterpret_cast<void**>(&native));
  return hand_out(result, native, time_trigger, nullptr, size_t{0});
}

HRESULT TimeTrigger::put_id(const char16_t* id) {
  RETURN_IF_FAULTED("TimeTrigger.put_id");
  Bstr text(id);
  return TaskObjectFactory::native<ITimeTrigger>(this)->put_Id(text.get());
}

HRESULT TimeTrigger::put_start_boundary(const char16_t* boundary) {
  RETURN_IF_FAULTED("TimeTrigger.put_start_boundary");
  Bstr text(boundary);
  return TaskObjectFactory::native<ITimeTrigger>(this)->put_StartBoundary(text.get());
}

HRESULT TimeTrigger::put_end_boundary(const char16_t* boundary) {
  RETURN_IF_FAULTED("TimeTrigger.put_end_boundary");
  Bstr text(boundary);
  return TaskObjectFactory::native<ITimeTrigger>(this)->put_EndBoundary(text.get());
}

HRESULT ActionCollection::create(int32_t type, Action** action) {
  RETURN_IF_FAULTED("ActionCollection.create");
  IAction* native = nullptr;
  HRESULT result =
      TaskObjectFactory::native<IActionCollection>(this)->Create(static_cast<TASK_ACTION_TYPE>(type), &native);
  return hand_out(result, native, action, nullptr, size_t{0});
}

HRESULT Action::query_exec_action(ExecAction** exec_action) {
  RETURN_IF_FAULTED("Action.query_exec_action");
  IExecAction* native = nullptr;
  HRESULT result = TaskObjectFactory::native<IAction>(this)->QueryInterface(__uuidof(IExecAction),
                                                                             reinterpret_cast<void**>(&native));
  return hand_out(result, native, exec_action, nullptr, size_t{0});
}

HRESULT ExecAction::put_path(const char16_t* path) {
  RETURN_IF_FAULTED("ExecAction.put_path");
  Bstr text(path);
  return TaskObjectFactory::native<IExecAction>(this)->put_Path(text.get());
}

HRESULT ExecAction::put_arguments(const char16_t* arguments) {
  RETURN_IF_FAULTED("ExecAction.put_arguments");
  Bstr text(arguments);
  return TaskObjectFactory::native<IExecAction>(this)->put_Arguments(text.get());
}

// The stored definition as the task service gives it back. The security descriptor is not read back.
bool read_task_record(const std::u16string& name, TaskRecord* record) {
  RootFolder root;
  if (!root.get() || !record) {
    return false;
  }
  Bstr text(name.c_str());
  IRegisteredTask* task = nullptr;
  if (FAILED(root.get()->GetTask(text.get(), &task))) {
    return false;
  }
  *record = TaskRecord{};
  VARIANT_BOOL enabled = -1;
  task->get_Enabled(&enabled);
  record->enabled = enabled != 0;
  ITaskDefinition* definition = nullptr;
  bool read = SUCCEEDED(task->get_Definition(&definition));
  if (read) {
    read_definition(definition, record);
  }
  release_interface(definition);
  release_interface(task);
  return read;
}

std::vector<std::u16string> registered_task_names() {
  std::vector<std::u16string> names;
  RootFolder root;
  IRegisteredTaskCollection* tasks = nullptr;
  LONG count = 0;
  if (!root.get() || FAILED(root.get()->GetTasks(TASK_ENUM_HIDDEN, &tasks)) || FAILED(tasks->get_Count(&count))) {
    release_interface(tasks);
    return names;
  }
  for (LONG i = 1; i <= count; ++i) {
    VARIANT index;
    VariantInit(&index);
    index.vt = VT_I4;
    index.lVal = i;
    IRegisteredTask* task = nullptr;
    if (SUCCEEDED(tasks->get_Item(index, &task))) {
      names.push_back(read_text(task, &IRegisteredTask::get_Name));
    }
    release_interface(task);
  }
  release_interface(tasks);
  return names;
}

void set_task_call_fault(const char* call, HRESULT result) { task_call_faults::set(call, result); }

void clear_task_call_faults() { task_call_faults::clear(); }

// COM security belongs to the process for good on Windows: a test that needs it anew runs in a process of its own.
void reset_com_security_for_testing() {}

uint32_t com_initialization_count() { return t_initializations; }

}  // namespace platform
