#include "system/scheduled_task.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/tasks.h"
#include "platform/wall_clock.h"
#include "tests/support/platform_dir.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/task_probe_fixture.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::u16string kTaskName = u"Time Trigger Open Zantho Task";
const std::string kSuccess = "\n Success! Task successfully registered. ";

struct Outcome {
  int32_t result;
  std::string output;
};

std::string ascii(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// "%Y-%m-%dT%H:%M:%S" of local time.
std::u16string local_text(int64_t seconds) {
  std::tm local{};
  platform::local_time64(seconds, &local);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &local);
  return std::u16string(buffer, buffer + std::strlen(buffer));
}

class ScheduledTask : public ::testing::Test {
 protected:
  void SetUp() override { platform::reset_com_security_for_testing(); }
  void TearDown() override {
    platform::clear_task_call_faults();
    platform::unpin_wall_clock();
    platform::reset_com_security_for_testing();
  }

  // The last error is given after the capture has opened its file: on Windows that sets it too.
  static Outcome run(const char* path, const std::u16string& arguments, std::optional<uint32_t> last_error = {}) {
    ::testing::internal::CaptureStdout();
    if (last_error) platform::set_last_error(*last_error);
    int32_t result = register_open_task(path, arguments);
    return {result, ::testing::internal::GetCapturedStdout()};
  }

  // A registration from a process of its own, as far as COM security goes.
  static Outcome run_anew(const char* path, const std::u16string& arguments) {
    platform::reset_com_security_for_testing();
    return run(path, arguments);
  }

  std::string absent_program() const { return (scratch_ / "absent.exe").string(); }

  ScratchDir scratch_;
  ScopedPlatformDir platform_dir_{scratch_ / "platform"};
};

TEST_F(ScheduledTask, StoresEveryPropertyAndRunsTheProgramOnceAtTheStartBoundary) {
  fs::path probe = install_task_probe(scratch_.path());
  const int64_t before = platform::time64();
  Outcome outcome = run(probe.string().c_str(), u"-path=/opt/zantho \"two words\" say\\\"hi\\\"");
  const int64_t after = platform::time64();
  ASSERT_EQ(outcome.output, kSuccess);
  ASSERT_EQ(outcome.result, 0);
  EXPECT_EQ(platform::com_initialization_count(), 0u);

  platform::TaskRecord stored;
  ASSERT_TRUE(platform::read_task_record(kTaskName, &stored));
  ASSERT_EQ(stored.triggers.size(), 1u);
  const std::u16string boundary = stored.triggers[0].start_boundary;
  ASSERT_TRUE(boundary == local_text(before + 2) || boundary == local_text(after + 2)) << ascii(boundary);
  const int64_t boundary_seconds = boundary == local_text(before + 2) ? before + 2 : after + 2;
  EXPECT_EQ(boundary.size(), 19u);
  platform::TaskRecord expected;
  expected.author = u"Author Name";
  expected.principal_logon_type = platform::TASK_LOGON_PASSWORD;
  expected.run_level = platform::TASK_RUNLEVEL_HIGHEST;
  expected.start_when_available = true;
  expected.disallow_start_if_on_batteries = false;
  expected.stop_if_going_on_batteries = false;
  expected.idle_wait_timeout = u"PT5M";
  expected.triggers = {{u"Trigger1", boundary, u"2050-05-02T08:00:00"}};
  expected.actions = {{probe.u16string(), u"-path=/opt/zantho \"two words\" say\\\"hi\\\""}};
  expected.logon_type = platform::TASK_LOGON_INTERACTIVE_TOKEN;
  expected.sddl = u"";
  EXPECT_EQ(stored, expected);
  EXPECT_EQ(platform::registered_task_names(), std::vector<std::u16string>{kTaskName});

  // Not before the boundary, then once with the arguments split as the program's runtime splits them.
  EXPECT_EQ(probe_marker(probe), "");
  EXPECT_EQ(wait_for_probe_run(probe, 6s), "-path=/opt/zantho\ttwo words\tsay\"hi\"\n");
  EXPECT_GE(platform::time64(), boundary_seconds);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(probe_marker(probe), "-path=/opt/zantho\ttwo words\tsay\"hi\"\n");
}

TEST_F(ScheduledTask, RegisteringAgainReplacesTheEarlierTaskAndItsRun) {
  fs::path probe = install_task_probe(scratch_.path());
  const int64_t now = platform::time64();
  // The first registration's run would come a second after the second one's.
  platform::pin_wall_clock(now + 1);
  ASSERT_EQ(run_anew(probe.string().c_str(), u"first").result, 0);
  platform::unpin_wall_clock();
  ASSERT_EQ(run_anew(probe.string().c_str(), u"second").output, kSuccess);

  EXPECT_EQ(platform::registered_task_names(), std::vector<std::u16string>{kTaskName});
  platform::TaskRecord stored;
  ASSERT_TRUE(platform::read_task_record(kTaskName, &stored));
  EXPECT_TRUE(stored.triggers[0].start_boundary == local_text(now + 2) ||
              stored.triggers[0].start_boundary == local_text(now + 3))
      << ascii(stored.triggers[0].start_boundary);
  EXPECT_EQ(stored.actions[0].arguments, u"second");

  EXPECT_EQ(wait_for_probe_run(probe, 6s), "second\n");
  // Past the first registration's boundary: it never runs.
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(probe_marker(probe), "second\n");
}

TEST_F(ScheduledTask, ASecondRegistrationInTheSameProcessFailsAtTheProcessSecurity) {
  ASSERT_EQ(run(absent_program().c_str(), u"").result, 0);
  Outcome second = run(absent_program().c_str(), u"other");
  EXPECT_EQ(second.result, 1);
  EXPECT_EQ(second.output, "\nCoInitializeSecurity failed: 80010119");
  EXPECT_EQ(platform::com_initialization_count(), 0u);
  platform::TaskRecord stored;
  ASSERT_TRUE(platform::read_task_record(kTaskName, &stored));
  EXPECT_EQ(stored.actions[0].arguments, u"");
}

TEST_F(ScheduledTask, EveryFailurePrintsItsLineClosesComOnceAndLeavesNoNewTask) {
  struct Case {
    const char* call;
    platform::HRESULT fault;
    std::string line;
    bool earlier_task_kept;  // failures before the deletion keep the earlier task
  };
  using namespace platform;
  const Case cases[] = {
      {"CoInitializeSecurity", E_ACCESSDENIED, "\nCoInitializeSecurity failed: 80070005", true},
      {"CoCreateInstance", REGDB_E_CLASSNOTREG, "Failed to create an instance of ITaskService: 80040154", true},
      {"TaskService.connect", E_ACCESSDENIED, "ITaskService::Connect failed: 80070005", true},
      {"TaskService.get_folder", HRESULT_FILE_NOT_FOUND, "Cannot get Root folder pointer: 80070002", true},
      {"TaskService.new_task", E_OUTOFMEMORY, "Cannot create the task definition: 8007000e", false},
      {"TaskDefinition.get_registration_info", E_FAIL, "\nCannot get identification pointer: 80004005", false},
      {"RegistrationInfo.put_author", E_FAIL, "\nCannot put identification info: 80004005", false},
      {"TaskDefinition.get_principal", E_FAIL, "\nCannot get principal pointer: 80004005", false},
      {"Principal.put_logon_type", E_INVALIDARG, "\nCannot put principal info: 80070057", false},
      {"Principal.put_run_level", E_ACCESSDENIED, "\nCannot put principal info runlevel: 80070005", false},
      {"TaskDefinition.get_settings", E_FAIL, "\nCannot get settings pointer: 80004005", false},
      {"TaskSettings.put_start_when_available", E_FAIL, "\nCannot put setting information: 80004005", false},
      {"TaskSettings.put_disallow_start_if_on_batteries", E_FAIL, "\nCannot put setting information: 80004005",
       false},
      {"TaskSettings.put_stop_if_going_on_batteries", E_FAIL, "\nCannot put setting information: 80004005", false},
      {"TaskSettings.get_idle_settings", E_FAIL, "\nCannot get idle setting information: 80004005", false},
      {"IdleSettings.put_wait_timeout", E_FAIL, "\nCannot put idle setting information: 80004005", false},
      {"TaskDefinition.get_triggers", E_FAIL, "\nCannot get trigger collection: 80004005", false},
      {"TriggerCollection.create", E_OUTOFMEMORY, "\nCannot create trigger: 8007000e", false},
      {"Trigger.query_time_trigger", E_NOINTERFACE, "\nQueryInterface call failed for ITimeTrigger: 80004002", false},
      {"TimeTrigger.put_start_boundary", E_FAIL, "\nCannot add start boundary to trigger: 80004005", false},
      {"TaskDefinition.get_actions", E_FAIL, "\nCannot get Task collection pointer: 80004005", false},
      {"ActionCollection.create", E_FAIL, "\nCannot create the action: 80004005", false},
      {"Action.query_exec_action", E_NOINTERFACE, "\nQueryInterface call failed for IExecAction: 80004002", false},
      {"ExecAction.put_path", E_FAIL, "\nCannot put action path: 80004005", false},
      {"TaskFolder.register_task_definition", SCHED_E_INVALIDVALUE, "\nError saving the Task : 80041318", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    ASSERT_EQ(run_anew(absent_program().c_str(), u"earlier").result, 0);
    platform::reset_com_security_for_testing();
    platform::set_task_call_fault(c.call, c.fault);
    Outcome outcome = run(absent_program().c_str(), u"later");
    platform::clear_task_call_faults();
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.output, c.line);
    EXPECT_EQ(platform::com_initialization_count(), 0u);
    platform::TaskRecord stored;
    bool found = platform::read_task_record(kTaskName, &stored);
    EXPECT_EQ(found, c.earlier_task_kept);
    if (found) {
      EXPECT_EQ(stored.actions[0].arguments, u"earlier");
    }
  }
}

TEST_F(ScheduledTask, AFailedCoInitializeExPrintsTheLastErrorAndClosesNothing) {
  platform::set_task_call_fault("CoInitializeEx", platform::E_OUTOFMEMORY);
  Outcome outcome = run(absent_program().c_str(), u"", 1234);
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(outcome.output, "GetLastError = 1234\nCoInitializeEx failed: 8007000e");
  EXPECT_TRUE(platform::registered_task_names().empty());
}

TEST_F(ScheduledTask, FailuresThatDoNotEndTheRegistrationLeaveTheServiceDefault) {
  struct Case {
    const char* call;
    std::string output;
    std::u16string id;
    std::u16string end_boundary;
    std::u16string arguments;
  };
  const Case cases[] = {
      {"TimeTrigger.put_id", "\nCannot put trigger ID: 80004005" + kSuccess, u"", u"2050-05-02T08:00:00", u"-x"},
      {"TimeTrigger.put_end_boundary", "\nCannot put end boundary on trigger: 80004005" + kSuccess, u"Trigger1",
       u"", u"-x"},
      {"ExecAction.put_arguments", kSuccess, u"Trigger1", u"2050-05-02T08:00:00", u""},
      {"TaskFolder.delete_task", kSuccess, u"Trigger1", u"2050-05-02T08:00:00", u"-x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    platform::set_task_call_fault(c.call, platform::E_FAIL);
    Outcome outcome = run_anew(absent_program().c_str(), u"-x");
    platform::clear_task_call_faults();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.output, c.output);
    platform::TaskRecord stored;
    ASSERT_TRUE(platform::read_task_record(kTaskName, &stored));
    EXPECT_EQ(stored.triggers[0].id, c.id);
    EXPECT_EQ(stored.triggers[0].end_boundary, c.end_boundary);
    EXPECT_EQ(stored.actions[0].arguments, c.arguments);
  }
}

TEST_F(ScheduledTask, AnEmptyOrInvalidPathIsHandedOnEmptyAndTheRegistrationRefused) {
  const char* paths[] = {nullptr, "", "/opt/zantho/\xC3(.exe"};
  for (const char* path : paths) {
    SCOPED_TRACE(path ? path : "(null)");
    Outcome outcome = run_anew(path, u"-x");
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.output, "\nError saving the Task : 80041319");
    EXPECT_TRUE(platform::registered_task_names().empty());
  }
}

TEST_F(ScheduledTask, TheStartBoundaryIsTwoSecondsAheadInLocalTime) {
  struct Case {
    int year, month, day, hour, minute, second;
    std::u16string expected;
  };
  const Case cases[] = {
      {2024, 12, 31, 23, 59, 59, u"2025-01-01T00:00:01"},
      {2024, 2, 28, 23, 59, 58, u"2024-02-29T00:00:00"},
      {2023, 6, 15, 8, 30, 0, u"2023-06-15T08:30:02"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ascii(c.expected));
    std::tm local{};
    local.tm_year = c.year - 1900;
    local.tm_mon = c.month - 1;
    local.tm_mday = c.day;
    local.tm_hour = c.hour;
    local.tm_min = c.minute;
    local.tm_sec = c.second;
    local.tm_isdst = -1;
    platform::pin_wall_clock(static_cast<int64_t>(std::mktime(&local)));
    ASSERT_EQ(run_anew(absent_program().c_str(), u"").result, 0);
    platform::TaskRecord stored;
    ASSERT_TRUE(platform::read_task_record(kTaskName, &stored));
    EXPECT_EQ(stored.triggers[0].start_boundary, c.expected);
  }
}

TEST_F(ScheduledTask, LeavesTheCallersComAsItFoundIt) {
  // The caller's multithreaded COM is counted once more and closed once; another apartment is not touched.
  for (uint32_t apartment : {platform::COINIT_MULTITHREADED, platform::COINIT_APARTMENTTHREADED}) {
    SCOPED_TRACE(apartment);
    ASSERT_EQ(platform::co_initialize_ex(apartment), platform::S_OK);
    EXPECT_EQ(run_anew(absent_program().c_str(), u"").output, kSuccess);
    EXPECT_EQ(platform::com_initialization_count(), 1u);
    platform::co_uninitialize();
  }
}

// Wine 8's task scheduler has no logon type for a principal (E_NOTIMPL): a registration there goes as far as that
// call, deleting the earlier task on its way, and ends with its line.
TEST_F(ScheduledTask, UnderWineEndsAtThePrincipalsLogonType) {
  if (!under_wine()) GTEST_SKIP() << "runs under Wine only";
  using namespace platform;
  ASSERT_TRUE(succeeded(co_initialize_ex(COINIT_MULTITHREADED)));
  TaskService* service = nullptr;
  ASSERT_EQ(create_task_service(CLSCTX_INPROC_SERVER, &service), S_OK);
  ASSERT_EQ(service->connect({}, {}, {}, {}), S_OK);
  TaskFolder* folder = nullptr;
  ASSERT_EQ(service->get_folder(u"\\", &folder), S_OK);
  TaskDefinition* earlier = nullptr;
  ASSERT_EQ(service->new_task(0, &earlier), S_OK);
  RegisteredTask* registered = nullptr;
  Variant empty_text;
  empty_text.vt = VT_BSTR;
  EXPECT_EQ(folder->register_task_definition(kTaskName.c_str(), earlier, TASK_CREATE_OR_UPDATE, {}, {},
                                             TASK_LOGON_INTERACTIVE_TOKEN, empty_text, &registered),
            S_OK);
  if (registered) registered->release();
  earlier->release();
  folder->release();
  service->release();
  co_uninitialize();
  TaskRecord stored;
  ASSERT_TRUE(read_task_record(kTaskName, &stored));

  Outcome outcome = run(absent_program().c_str(), u"-x");
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(outcome.output, "\nCannot put principal info: 80004001");
  EXPECT_EQ(com_initialization_count(), 0u);
  EXPECT_FALSE(read_task_record(kTaskName, &stored));
}

}  // namespace
