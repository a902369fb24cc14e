#include "platform/tasks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/platform_dir.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/task_probe_fixture.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class TaskLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(co_initialize_ex(COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(create_task_service(CLSCTX_INPROC_SERVER, &service_), S_OK);
    ASSERT_EQ(service_->connect({}, {}, {}, {}), S_OK);
    ASSERT_EQ(service_->get_folder(u"\\", &folder_), S_OK);
  }
  void TearDown() override {
    if (folder_ != nullptr) {
      folder_->release();
    }
    if (service_ != nullptr) {
      service_->release();
    }
    clear_task_call_faults();
    co_uninitialize();
  }

  // Builds `wanted` through the definition's interfaces and registers it under `name`.
  HRESULT register_record(const std::u16string& name, const TaskRecord& wanted, int32_t flags) {
    TaskDefinition* definition = nullptr;
    HRESULT result = service_->new_task(0, &definition);
    if (failed(result)) {
      return result;
    }
    RegistrationInfo* info = nullptr;
    definition->get_registration_info(&info);
    info->put_author(wanted.author.c_str());
    info->release();
    TaskSettings* settings = nullptr;
    definition->get_settings(&settings);
    settings->put_start_when_available(wanted.start_when_available ? VARIANT_TRUE : VARIANT_FALSE);
    settings->release();
    TriggerCollection* triggers = nullptr;
    definition->get_triggers(&triggers);
    for (const TimeTriggerRecord& wanted_trigger : wanted.triggers) {
      Trigger* trigger = nullptr;
      TimeTrigger* time_trigger = nullptr;
      triggers->create(TASK_TRIGGER_TIME, &trigger);
      trigger->query_time_trigger(&time_trigger);
      trigger->release();
      time_trigger->put_id(wanted_trigger.id.c_str());
      time_trigger->put_start_boundary(wanted_trigger.start_boundary.c_str());
      time_trigger->put_end_boundary(wanted_trigger.end_boundary.c_str());
      time_trigger->release();
    }
    triggers->release();
    ActionCollection* actions = nullptr;
    definition->get_actions(&actions);
    for (const ExecActionRecord& wanted_action : wanted.actions) {
      Action* action = nullptr;
      ExecAction* exec_action = nullptr;
      actions->create(TASK_ACTION_EXEC, &action);
      action->query_exec_action(&exec_action);
      action->release();
      exec_action->put_path(wanted_action.path.c_str());
      exec_action->put_arguments(wanted_action.arguments.c_str());
      exec_action->release();
    }
    actions->release();
    RegisteredTask* registered = nullptr;
    result = folder_->register_task_definition(name.c_str(), definition, flags, {}, {},
                                               TASK_LOGON_INTERACTIVE_TOKEN, Variant{VT_BSTR, u""}, &registered);
    if (registered != nullptr) {
      EXPECT_EQ(registered->name(), name);
      registered->release();
    }
    definition->release();
    return result;
  }

  // A definition that can be registered and is never run: its start is past and may not be caught up.
  TaskRecord sound_record() const {
    TaskRecord record;
    record.author = u"tests";
    record.triggers.push_back({u"T", u"2020-01-01T00:00:00Z", u""});
    record.actions.push_back({(scratch_ / "absent").u16string(), u""});
    return record;
  }

  ScratchDir scratch_;
  ScopedPlatformDir platform_dir_{scratch_ / "platform"};
  TaskService* service_ = nullptr;
  TaskFolder* folder_ = nullptr;
};

TEST(ComOnAThread, CountsInitialisationsAndKeepsItsApartment) {
  // A thread of its own, so that no other test's COM state is seen.
  std::thread([] {
    EXPECT_EQ(com_initialization_count(), 0u);
    EXPECT_EQ(co_initialize_ex(COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(co_initialize_ex(COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(co_initialize_ex(COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    EXPECT_EQ(com_initialization_count(), 2u);
    co_uninitialize();
    co_uninitialize();
    co_uninitialize();
    EXPECT_EQ(com_initialization_count(), 0u);
    EXPECT_EQ(co_initialize_ex(COINIT_APARTMENTTHREADED), S_OK);
    co_uninitialize();
  }).join();
}

TEST(ComSecurity, IsSetOncePerProcessAndOnlyWithCom) {
  reset_com_security_for_testing();
  std::thread([] {
    auto set = [] {
      return co_initialize_security(nullptr, -1, RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_IMP_LEVEL_IMPERSONATE,
                                    EOAC_NONE);
    };
    EXPECT_EQ(set(), CO_E_NOTINITIALIZED);
    co_initialize_ex(COINIT_MULTITHREADED);
    EXPECT_EQ(set(), S_OK);
    EXPECT_EQ(set(), RPC_E_TOO_LATE);
    co_uninitialize();
  }).join();
  // Another thread of the same process finds it set as well.
  std::thread([] {
    co_initialize_ex(COINIT_MULTITHREADED);
    EXPECT_EQ(co_initialize_security(nullptr, -1, 6, 3, 0), RPC_E_TOO_LATE);
    co_uninitialize();
  }).join();
  reset_com_security_for_testing();
}

TEST(TaskService, NeedsComAndAConnectionAndServesOnlyTheRootFolder) {
  TaskService* service = nullptr;
  EXPECT_EQ(create_task_service(CLSCTX_INPROC_SERVER, &service), CO_E_NOTINITIALIZED);
  ASSERT_EQ(co_initialize_ex(COINIT_MULTITHREADED), S_OK);
  EXPECT_EQ(create_task_service(0x4, &service), REGDB_E_CLASSNOTREG);
  ASSERT_EQ(create_task_service(CLSCTX_INPROC_SERVER, &service), S_OK);
  TaskFolder* folder = nullptr;
  TaskDefinition* definition = nullptr;
  EXPECT_EQ(service->get_folder(u"\\", &folder), HRESULT_ONLY_IF_CONNECTED);
  EXPECT_EQ(service->new_task(0, &definition), HRESULT_ONLY_IF_CONNECTED);
  EXPECT_EQ(service->connect(Variant{VT_BSTR, u"otherhost"}, {}, {}, {}), E_ACCESSDENIED);
  EXPECT_EQ(service->connect({}, Variant{VT_BSTR, u""}, {}, {}), S_OK);
  EXPECT_EQ(service->get_folder(u"\\Other", &folder), HRESULT_FILE_NOT_FOUND);
  EXPECT_EQ(folder, nullptr);
  service->release();
  co_uninitialize();
}

TEST_F(TaskLayer, RegistrationFlagsChooseBetweenCreatingAndUpdating) {
  struct Case {
    const char* what;
    bool exists_before;
    int32_t flags;
    HRESULT expected;
    bool exists_after;
  };
  const Case cases[] = {
      {"create or update a new task", false, TASK_CREATE_OR_UPDATE, S_OK, true},
      {"create or update an existing task", true, TASK_CREATE_OR_UPDATE, S_OK, true},
      {"create an existing task", true, TASK_CREATE, HRESULT_ALREADY_EXISTS, true},
      {"update a missing task", false, TASK_UPDATE, HRESULT_FILE_NOT_FOUND, false},
      {"validate only", false, TASK_VALIDATE_ONLY | TASK_CREATE, S_OK, false},
      {"an unknown flag", false, TASK_CREATE | 0x100, E_INVALIDARG, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    folder_->delete_task(u"flags", 0);
    if (c.exists_before) {
      ASSERT_EQ(register_record(u"flags", sound_record(), TASK_CREATE), S_OK);
    }
    EXPECT_EQ(register_record(u"flags", sound_record(), c.flags), c.expected);
    TaskRecord stored;
    EXPECT_EQ(read_task_record(u"flags", &stored), c.exists_after);
  }
}

TEST_F(TaskLayer, RefusesDefinitionsThatCouldNeverRun) {
  struct Case {
    const char* what;
    std::function<void(TaskRecord&)> change;
    HRESULT expected;
  };
  const Case cases[] = {
      {"no action", [](TaskRecord& r) { r.actions.clear(); }, SCHED_E_MISSINGNODE},
      {"an empty program path", [](TaskRecord& r) { r.actions[0].path.clear(); }, SCHED_E_MISSINGNODE},
      {"a time trigger without start", [](TaskRecord& r) { r.triggers[0].start_boundary.clear(); },
       SCHED_E_MISSINGNODE},
      {"month 13", [](TaskRecord& r) { r.triggers[0].start_boundary = u"2030-13-01T00:00:00"; },
       SCHED_E_INVALIDVALUE},
      {"30 February", [](TaskRecord& r) { r.triggers[0].start_boundary = u"2030-02-30T00:00:00"; },
       SCHED_E_INVALIDVALUE},
      {"a date alone", [](TaskRecord& r) { r.triggers[0].start_boundary = u"2030-02-01"; }, SCHED_E_INVALIDVALUE},
      {"a malformed end", [](TaskRecord& r) { r.triggers[0].end_boundary = u"soon"; }, SCHED_E_INVALIDVALUE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TaskRecord record = sound_record();
    c.change(record);
    EXPECT_EQ(register_record(u"refused", record, TASK_CREATE_OR_UPDATE), c.expected);
    EXPECT_TRUE(registered_task_names().empty());
  }
}

TEST_F(TaskLayer, StoresEveryTextAsGivenAndDeletesByName) {
  TaskRecord record = sound_record();
  record.author = u"line\nbreak = \\ back\\slash \u00e9\U0001F600";
  record.actions[0] = {u"/opt/z\u00e4ntho/\u699b\u79be.exe", u"-a \"b c\"\r\n\\\\"};
  record.actions.push_back({u"/bin/second", u""});
  record.triggers.push_back({u"Second", u"2021-05-02T08:00:00+08:00", u"2022-05-02T08:00:00"});
  ASSERT_EQ(register_record(u"Name with spaces % and \u00fc", record, TASK_CREATE_OR_UPDATE), S_OK);

  record.logon_type = TASK_LOGON_INTERACTIVE_TOKEN;
  TaskRecord stored;
  ASSERT_TRUE(read_task_record(u"Name with spaces % and \u00fc", &stored));
  EXPECT_EQ(stored, record);
  EXPECT_EQ(registered_task_names(), std::vector<std::u16string>{u"Name with spaces % and \u00fc"});

  EXPECT_EQ(folder_->delete_task(u"Name with spaces % and \u00fc", 0), S_OK);
  EXPECT_EQ(folder_->delete_task(u"Name with spaces % and \u00fc", 0), HRESULT_FILE_NOT_FOUND);
  EXPECT_FALSE(read_task_record(u"Name with spaces % and \u00fc", &stored));
  EXPECT_EQ(folder_->delete_task(u"sub\\task", 0), E_INVALIDARG);
}

TEST_F(TaskLayer, AStartAlreadyPastRunsAtOnceOnlyWhenAStartWhenAvailableIsAllowed) {
  fs::create_directories(scratch_ / "late");
  fs::create_directories(scratch_ / "never");
  fs::path runs = install_task_probe(scratch_ / "late");
  fs::path skipped = install_task_probe(scratch_ / "never");
  TaskRecord record;
  record.triggers.push_back({u"", u"2020-01-01T00:00:00", u""});
  record.start_when_available = false;
  record.actions.push_back({skipped.u16string(), u"skipped"});
  ASSERT_EQ(register_record(u"never", record, TASK_CREATE_OR_UPDATE), S_OK);
  record.start_when_available = true;
  record.actions = {{runs.u16string(), u"a \"b c\" d\\\"e f\\\\\"g h\" \"\""}};
  ASSERT_EQ(register_record(u"late", record, TASK_CREATE_OR_UPDATE), S_OK);

  EXPECT_EQ(wait_for_probe_run(runs, 5s), "a\tb c\td\"e\tf\\g h\t\n");
  // The skipped task was registered first: had it been armed, it would have run by now.
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(probe_marker(skipped), "");
}

TEST_F(TaskLayer, AFaultMakesOnlyTheChosenCallFail) {
  set_task_call_fault("TimeTrigger.put_id", E_FAIL);
  TaskDefinition* definition = nullptr;
  ASSERT_EQ(service_->new_task(0, &definition), S_OK);
  TriggerCollection* triggers = nullptr;
  ASSERT_EQ(definition->get_triggers(&triggers), S_OK);
  Trigger* trigger = nullptr;
  ASSERT_EQ(triggers->create(TASK_TRIGGER_TIME, &trigger), S_OK);
  TimeTrigger* time_trigger = nullptr;
  ASSERT_EQ(trigger->query_time_trigger(&time_trigger), S_OK);
  EXPECT_EQ(time_trigger->put_id(u"x"), E_FAIL);
  EXPECT_EQ(time_trigger->put_end_boundary(u"2050-05-02T08:00:00"), S_OK);
  clear_task_call_faults();
  EXPECT_EQ(time_trigger->put_id(u"x"), S_OK);
  time_trigger->release();
  trigger->release();
  triggers->release();
  definition->release();
}

}  // namespace
}  // namespace platform
