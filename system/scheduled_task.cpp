#include "system/scheduled_task.h"

#include <cstdio>
#include <ctime>
#include <cwchar>

#include "platform/errors.h"
#include "platform/tasks.h"
#include "platform/wall_clock.h"
#include "system/wide_string.h"

namespace {

constexpr const char16_t* kTaskName = u"Time Trigger Open Zantho Task";

unsigned hex(platform::HRESULT result) { return static_cast<unsigned>(result); }

// Two seconds from now as local time; the seconds are added before the breakdown, so 23:59:59 gives the next day.
std::u16string start_boundary_text() {
  wchar_t buffer[64] = {};
  std::tm local{};
  if (platform::local_time64(platform::time64() + 2, &local)) {
    std::wcsftime(buffer, 64, L"%Y-%m-%dT%X", &local);
  }
  // The runtime's wide characters are UTF-32 here.
  std::u16string text;
  for (const wchar_t* at = buffer; *at != L'\0'; ++at) {
    auto c = static_cast<char32_t>(*at);
    if (c < 0x10000) {
      text += static_cast<char16_t>(c);
    } else {
      text += static_cast<char16_t>(0xD800 | ((c - 0x10000) >> 10));
      text += static_cast<char16_t>(0xDC00 | ((c - 0x10000) & 0x3FF));
    }
  }
  return text;
}

}  // namespace

int32_t register_open_task(const char* program_path, const std::u16string& arguments) {
  using namespace platform;

  platform::HRESULT result = co_initialize_ex(COINIT_MULTITHREADED);
  if (failed(result) && result != RPC_E_CHANGED_MODE) {
    std::printf("GetLastError = %d", static_cast<int>(last_error()));
    std::printf("\nCoInitializeEx failed: %x", hex(result));
    return 1;
  }
  // With RPC_E_CHANGED_MODE the thread's COM belongs to its earlier initialiser: only our own is balanced.
  const bool owns_com = succeeded(result);
  auto close_com = [owns_com] {
    if (owns_com) {
      co_uninitialize();
    }
  };

  result = co_initialize_security(nullptr, -1, RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_IMP_LEVEL_IMPERSONATE, EOAC_NONE);
  if (failed(result)) {
    std::printf("\nCoInitializeSecurity failed: %x", hex(result));
    close_com();
    return 1;
  }

  const std::u16string path = utf8_to_wstring(program_path);
  const std::u16string task_arguments = arguments;

  TaskService* service = nullptr;
  result = create_task_service(CLSCTX_INPROC_SERVER, &service);
  if (failed(result)) {
    std::printf("Failed to create an instance of ITaskService: %x", hex(result));
    close_com();
    return 1;
  }

  const Variant empty;
  result = service->connect(empty, empty, empty, empty);
  if (failed(result)) {
    std::printf("ITaskService::Connect failed: %x", hex(result));
    service->release();
    close_com();
    return 1;
  }

  TaskFolder* folder = nullptr;
  result = service->get_folder(u"\\", &folder);
  if (failed(result)) {
    std::printf("Cannot get Root folder pointer: %x", hex(result));
    service->release();
    close_com();
    return 1;
  }

  // A missing task is no failure.
  folder->delete_task(kTaskName, 0);

  TaskDefinition* definition = nullptr;
  result = service->new_task(0, &definition);
  service->release();
  if (failed(result)) {
    std::printf("Cannot create the task definition: %x", hex(result));
    folder->release();
    close_com();
    return 1;
  }

  auto end = [&]() -> int32_t {
    folder->release();
    definition->release();
    close_com();
    return 1;
  };

  RegistrationInfo* info = nullptr;
  result = definition->get_registration_info(&info);
  if (failed(result)) {
    std::printf("\nCannot get identification pointer: %x", hex(result));
    return end();
  }
  result = info->put_author(u"Author Name");
  info->release();
  if (failed(result)) {
    std::printf("\nCannot put identification info: %x", hex(result));
    return end();
  }

  Principal* principal = nullptr;
  result = definition->get_principal(&principal);
  if (failed(result)) {
    std::printf("\nCannot get principal pointer: %x", hex(result));
    return end();
  }
  result = principal->put_logon_type(TASK_LOGON_PASSWORD);
  if (failed(result)) {
    std::printf("\nCannot put principal info: %x", hex(result));
    principal->release();
    return end();
  }
  result = principal->put_run_level(TASK_RUNLEVEL_HIGHEST);
  principal->release();
  if (failed(result)) {
    std::printf("\nCannot put principal info runlevel: %x", hex(result));
    return end();
  }

  TaskSettings* settings = nullptr;
  result = definition->get_settings(&settings);
  if (failed(result)) {
    std::printf("\nCannot get settings pointer: %x", hex(result));
    return end();
  }
  result = settings->put_start_when_available(VARIANT_TRUE);
  if (succeeded(result)) {
    result = settings->put_disallow_start_if_on_batteries(VARIANT_FALSE);
  }
  if (succeeded(result)) {
    result = settings->put_stop_if_going_on_batteries(VARIANT_FALSE);
  }
  if (failed(result)) {
    std::printf("\nCannot put setting information: %x", hex(result));
    settings->release();
    return end();
  }
  IdleSettings* idle_settings = nullptr;
  result = settings->get_idle_settings(&idle_settings);
  if (failed(result)) {
    std::printf("\nCannot get idle setting information: %x", hex(result));
    settings->release();
    return end();
  }
  settings->release();
  result = idle_settings->put_wait_timeout(u"PT5M");
  idle_settings->release();
  if (failed(result)) {
    std::printf("\nCannot put idle setting information: %x", hex(result));
    return end();
  }

  TriggerCollection* triggers = nullptr;
  result = definition->get_triggers(&triggers);
  if (failed(result)) {
    std::printf("\nCannot get trigger collection: %x", hex(result));
    return end();
  }
  Trigger* trigger = nullptr;
  result = triggers->create(TASK_TRIGGER_TIME, &trigger);
  triggers->release();
  if (failed(result)) {
    std::printf("\nCannot create trigger: %x", hex(result));
    return end();
  }
  TimeTrigger* time_trigger = nullptr;
  result = trigger->query_time_trigger(&time_trigger);
  trigger->release();
  if (failed(result)) {
    std::printf("\nQueryInterface call failed for ITimeTrigger: %x", hex(result));
    return end();
  }
  // Without its id or its end boundary the trigger keeps the service's default and the task still works.
  result = time_trigger->put_id(u"Trigger1");
  if (failed(result)) {
    std::printf("\nCannot put trigger ID: %x", hex(result));
  }
  result = time_trigger->put_end_boundary(u"2050-05-02T08:00:00");
  if (failed(result)) {
    std::printf("\nCannot put end boundary on trigger: %x", hex(result));
  }
  const std::u16string start_boundary = start_boundary_text();
  result = time_trigger->put_start_boundary(start_boundary.c_str());
  time_trigger->release();
  if (failed(result)) {
    std::printf("\nCannot add start boundary to trigger: %x", hex(result));
    return end();
  }

  ActionCollection* actions = nullptr;
  result = definition->get_actions(&actions);
  if (failed(result)) {
    std::printf("\nCannot get Task collection pointer: %x", hex(result));
    return end();
  }
  Action* action = nullptr;
  result = actions->create(TASK_ACTION_EXEC, &action);
  actions->release();
  if (failed(result)) {
    std::printf("\nCannot create the action: %x", hex(result));
    return end();
  }
  ExecAction* exec_action = nullptr;
  result = action->query_exec_action(&exec_action);
  action->release();
  if (failed(result)) {
    std::printf("\nQueryInterface call failed for IExecAction: %x", hex(result));
    return end();
  }
  result = exec_action->put_path(path.c_str());
  exec_action->put_arguments(task_arguments.c_str());
  exec_action->release();
  if (failed(result)) {
    std::printf("\nCannot put action path: %x", hex(result));
    return end();
  }

  RegisteredTask* registered = nullptr;
  const Variant sddl{VT_BSTR, u""};
  result = folder->register_task_definition(kTaskName, definition, TASK_CREATE_OR_UPDATE, empty, empty,
                                            TASK_LOGON_INTERACTIVE_TOKEN, sddl, &registered);
  if (failed(result)) {
    std::printf("\nError saving the Task : %x", hex(result));
    return end();
  }

  std::printf("\n Success! Task successfully registered. ");
  folder->release();
  definition->release();
  registered->release();
  close_com();
  return 0;
}
