#include "platform/services.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "tests/support/service_sandbox.h"

namespace {

class ServiceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_ = platform::open_sc_manager(nullptr, nullptr, platform::SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager_, nullptr);
  }
  void TearDown() override {
    for (platform::ScHandle service : opened_) {
      platform::close_service_handle(service);
    }
    platform::close_service_handle(manager_);
  }

  platform::ScHandle create(const char* name, const char* dependencies = nullptr, const char* binary = nullptr) {
    std::string path = binary ? binary : sandbox_.quoted_program();
    platform::ScHandle service = platform::create_service(
        manager_, name, name, platform::SERVICE_ALL_ACCESS, platform::SERVICE_WIN32_OWN_PROCESS,
        platform::SERVICE_DEMAND_START, platform::SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, dependencies,
        nullptr, nullptr);
    if (service) {
      opened_.push_back(service);
    }
    return service;
  }

  // The stand-in created as the service, started and running.
  platform::ScHandle running(const char* name) {
    sandbox_.add_program();
    sandbox_.set_options("step_ms=10\n");
    platform::ScHandle service = create(name);
    bool started = platform::start_service(service, 0, nullptr) &&
                   sandbox_.wait_for_state(name, platform::SERVICE_RUNNING);
    return started ? service : nullptr;
  }

  platform::ScHandle open(const char* name, uint32_t access) {
    platform::ScHandle service = platform::open_service(manager_, name, access);
    if (service) {
      opened_.push_back(service);
    }
    return service;
  }

  static platform::ServiceStatusProcess status(platform::ScHandle service) {
    platform::ServiceStatusProcess status{};
    uint32_t needed = 0;
    EXPECT_TRUE(platform::query_service_status_ex(service, platform::SC_STATUS_PROCESS_INFO, &status, sizeof status,
                                                  &needed));
    return status;
  }

  // The names of the dependants in the order given.
  static std::vector<std::string> dependants(platform::ScHandle service, uint32_t filter) {
    uint32_t needed = 0;
    uint32_t count = 0;
    std::vector<std::string> names;
    if (platform::enum_dependent_services(service, filter, nullptr, 0, &needed, &count)) {
      return names;
    }
    EXPECT_EQ(platform::last_error(), platform::ERROR_MORE_DATA);
    std::vector<uint64_t> buffer(needed / 8 + 1);
    auto* entries = reinterpret_cast<platform::EnumServiceStatus*>(buffer.data());
    EXPECT_FALSE(platform::enum_dependent_services(service, filter, entries, needed - 1, &needed, &count));
    EXPECT_EQ(platform::last_error(), platform::ERROR_MORE_DATA);
    EXPECT_TRUE(platform::enum_dependent_services(service, filter, entries, needed, &needed, &count));
    for (uint32_t i = 0; i < count; ++i) {
      names.push_back(entries[i].service_name);
    }
    return names;
  }

  ServiceSandbox sandbox_;
  platform::ScHandle manager_ = nullptr;
  std::vector<platform::ScHandle> opened_;
};

TEST_F(ServiceManagerTest, NamesAreCheckedAndUniqueWithoutRegardToCase) {
  ASSERT_NE(create("Zantho Client Service"), nullptr);
  EXPECT_EQ(create("ZANTHO client service"), nullptr);
  EXPECT_EQ(platform::last_error(), platform::ERROR_SERVICE_EXISTS);
  EXPECT_NE(open("zantho CLIENT service", platform::SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(open("Other", platform::SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(platform::last_error(), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  for (const char* bad : {"", "a/b", "a\\b"}) {
    EXPECT_EQ(create(bad), nullptr) << bad;
    EXPECT_EQ(platform::last_error(), platform::ERROR_INVALID_NAME);
  }
}

TEST_F(ServiceManagerTest, HandleGrantsOnlyTheAccessItWasOpenedWith) {
  ASSERT_NE(create("Zantho Client Service"), nullptr);
  platform::ScHandle query_only = open("Zantho Client Service", platform::SERVICE_QUERY_STATUS);
  EXPECT_FALSE(platform::start_service(query_only, 0, nullptr));
  EXPECT_EQ(platform::last_error(), platform::ERROR_ACCESS_DENIED);
  platform::ServiceStatus control_status{};
  EXPECT_FALSE(platform::control_service(query_only, platform::SERVICE_CONTROL_STOP, &control_status));
  EXPECT_EQ(platform::last_error(), platform::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(platform::delete_service(query_only));
  EXPECT_EQ(platform::last_error(), platform::ERROR_ACCESS_DENIED);
  platform::ScHandle connect_only = platform::open_sc_manager(nullptr, nullptr, platform::SC_MANAGER_CONNECT);
  EXPECT_EQ(platform::create_service(connect_only, "X", "X", 0, platform::SERVICE_WIN32_OWN_PROCESS,
                                     platform::SERVICE_DEMAND_START, platform::SERVICE_ERROR_NORMAL, "/x", nullptr,
                                     nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(platform::last_error(), platform::ERROR_ACCESS_DENIED);
  platform::close_service_handle(connect_only);
  EXPECT_FALSE(platform::start_service(manager_, 0, nullptr));
  EXPECT_EQ(platform::last_error(), platform::ERROR_INVALID_HANDLE);
}

TEST_F(ServiceManagerTest, QueriesTellTheSizeTheyNeed) {
  platform::ScHandle service = create("Zantho Client Service", "A\0B\0");
  uint32_t needed = 0;
  EXPECT_FALSE(platform::query_service_config(service, nullptr, 0, &needed));
  EXPECT_EQ(platform::last_error(), platform::ERROR_INSUFFICIENT_BUFFER);
  std::vector<uint64_t> buffer(needed / 8 + 1);
  auto* config = reinterpret_cast<platform::QueryServiceConfig*>(buffer.data());
  EXPECT_FALSE(platform::query_service_config(service, config, needed - 1, &needed));
  ASSERT_TRUE(platform::query_service_config(service, config, needed, &needed));
  EXPECT_EQ(std::string(config->binary_path_name), sandbox_.quoted_program());
  EXPECT_EQ(std::string(config->dependencies, 4), std::string("A\0B\0", 4));
  EXPECT_EQ(config->dependencies[4], '\0');
  EXPECT_STREQ(config->service_start_name, "LocalSystem");
  platform::ServiceStatusProcess status{};
  EXPECT_FALSE(platform::query_service_status_ex(service, platform::SC_STATUS_PROCESS_INFO, &status, 35, &needed));
  EXPECT_EQ(platform::last_error(), platform::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, 36u);
}

TEST_F(ServiceManagerTest, DependantsComeDeepestFirstAndByState) {
  platform::ScHandle base = create("Base");
  create("Middle", "Base\0");
  create("Top", "middle\0");
  create("Other", "Unrelated\0");
  EXPECT_EQ(dependants(base, platform::SERVICE_STATE_ALL), (std::vector<std::string>{"Top", "Middle"}));
  EXPECT_EQ(dependants(base, platform::SERVICE_INACTIVE), (std::vector<std::string>{"Top", "Middle"}));
  EXPECT_TRUE(dependants(base, platform::SERVICE_ACTIVE).empty());
}

TEST_F(ServiceManagerTest, ServiceRunsAsARealProcessAndEndsWithItsExitCode) {
  sandbox_.add_program();
  sandbox_.set_options("step_ms=10\nexit_code=7\n");
  platform::ScHandle service = create("Zantho Client Service");
  const char* arguments[] = {"-path=/x"};
  ASSERT_TRUE(platform::start_service(service, 1, arguments));
  EXPECT_FALSE(platform::start_service(service, 0, nullptr));
  EXPECT_EQ(platform::last_error(), platform::ERROR_SERVICE_ALREADY_RUNNING);
  ASSERT_TRUE(sandbox_.wait_for_state("Zantho Client Service", platform::SERVICE_RUNNING));
  EXPECT_NE(status(service).process_id, 0u);
  platform::ServiceStatus after{};
  ASSERT_TRUE(platform::control_service(service, platform::SERVICE_CONTROL_STOP, &after));
  EXPECT_EQ(after.current_state, platform::SERVICE_STOPPED);
  EXPECT_EQ(after.win32_exit_code, 7u);
  EXPECT_EQ(status(service).process_id, 0u);
  EXPECT_FALSE(platform::control_service(service, platform::SERVICE_CONTROL_STOP, &after));
  EXPECT_EQ(platform::last_error(), platform::ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_NE(sandbox_.log().find("start|Zantho Client Service|-path=/x\n"), std::string::npos);
}

TEST_F(ServiceManagerTest, KilledServiceReadsAsStoppedAndAborted) {
  platform::ScHandle service = running("Zantho Client Service");
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(sandbox_.kill("Zantho Client Service"));
  EXPECT_EQ(status(service).win32_exit_code, platform::ERROR_PROCESS_ABORTED);
  // It can be started again.
  EXPECT_TRUE(platform::start_service(service, 0, nullptr));
}

TEST_F(ServiceManagerTest, StartFailsForAMissingProgramAProgramThatIsNoServiceAndADisabledService) {
  sandbox_.add_program();
  platform::ScHandle missing = create("Missing", nullptr, "\"/no/such/program.exe\"");
  EXPECT_FALSE(platform::start_service(missing, 0, nullptr));
  EXPECT_EQ(platform::last_error(), platform::ERROR_FILE_NOT_FOUND);
  // Run with "install" it registers and ends without connecting as a service.
  std::string not_a_service = sandbox_.quoted_program() + " install";
  platform::ScHandle plain = create("Plain", nullptr, not_a_service.c_str());
  EXPECT_FALSE(platform::start_service(plain, 0, nullptr));
  EXPECT_EQ(platform::last_error(), platform::ERROR_SERVICE_REQUEST_TIMEOUT);
  EXPECT_EQ(status(plain).current_state, platform::SERVICE_STOPPED);
  ASSERT_TRUE(platform::change_service_config(plain, platform::SERVICE_NO_CHANGE, platform::SERVICE_DISABLED,
                                              platform::SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, nullptr));
  EXPECT_FALSE(platform::start_service(plain, 0, nullptr));
  EXPECT_EQ(platform::last_error(), platform::ERROR_SERVICE_DISABLED);
}

TEST_F(ServiceManagerTest, StartingADependantStartsWhatItDependsOnFirst) {
  sandbox_.add_program();
  sandbox_.set_options("step_ms=10\n");
  platform::ScHandle main = create("Zantho Client Service");
  platform::ScHandle helper = create("Zantho Client Helper", "Zantho Client Service\0");
  ASSERT_TRUE(platform::start_service(helper, 0, nullptr));
  EXPECT_EQ(status(main).current_state, platform::SERVICE_RUNNING);
  ASSERT_TRUE(sandbox_.wait_for_state("Zantho Client Helper", platform::SERVICE_RUNNING));
  EXPECT_EQ(dependants(main, platform::SERVICE_ACTIVE), std::vector<std::string>{"Zantho Client Helper"});
  std::string log = sandbox_.log();
  EXPECT_LT(log.find("start|Zantho Client Service"), log.find("start|Zantho Client Helper"));
}

TEST_F(ServiceManagerTest, DeletionWaitsForTheServiceToStop) {
  platform::ScHandle service = running("Zantho Client Service");
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(platform::delete_service(service));
  EXPECT_FALSE(platform::delete_service(service));
  EXPECT_EQ(platform::last_error(), platform::ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(create("Zantho Client Service"), nullptr);
  EXPECT_EQ(platform::last_error(), platform::ERROR_SERVICE_MARKED_FOR_DELETE);
  platform::ServiceStatus after{};
  ASSERT_TRUE(platform::control_service(service, platform::SERVICE_CONTROL_STOP, &after));
  EXPECT_EQ(open("Zantho Client Service", platform::SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(platform::last_error(), platform::ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST(ServiceDispatcherTest, ProcessNotStartedByTheManagerCannotConnect) {
  platform::ServiceTableEntry table[] = {{"Zantho Client Service", [](uint32_t, char**) {}}, {nullptr, nullptr}};
  EXPECT_FALSE(platform::start_service_ctrl_dispatcher(table));
  EXPECT_EQ(platform::last_error(), platform::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}

}  // namespace
