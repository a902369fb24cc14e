#include "system/service_admin.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/services.h"
#include "system/service_control.h"
#include "tests/support/service_sandbox.h"

namespace {

const char kName[] = "Zantho Admin Test";
const std::string kFixedSddl =
    "D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLOCRRC;;;AU)"
    "(A;;CCLCSWRPWPDTLOCRRC;;;PU)(A;;RP;;;IU)(A;;RPWP;;;IU)";

class ServiceAdminTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(sandbox_.remove(kName)); }

  static std::string captured(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
  }

  // Runs a manager call on the service opened with full access.
  static void with_service(const std::function<void(platform::ScHandle)>& action) {
    platform::ScHandle manager = platform::open_sc_manager(nullptr, nullptr, platform::SC_MANAGER_ALL_ACCESS);
    platform::ScHandle service = platform::open_service(manager, kName, platform::SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr);
    action(service);
    platform::close_service_handle(service);
    platform::close_service_handle(manager);
  }

  static std::string dacl() {
    std::string text;
    with_service([&](platform::ScHandle service) {
      uint8_t block[4096];
      uint32_t needed = 0;
      ASSERT_TRUE(platform::query_service_object_security(service, platform::DACL_SECURITY_INFORMATION, block,
                                                          sizeof block, &needed));
      char16_t* sddl = nullptr;
      ASSERT_TRUE(platform::convert_security_descriptor_to_string_security_descriptor(
          block, platform::SDDL_REVISION_1, platform::DACL_SECURITY_INFORMATION, &sddl, nullptr));
      for (char16_t* c = sddl; *c; ++c) {
        text += static_cast<char>(*c);
      }
      platform::local_free(sddl);
    });
    return text;
  }

  static void set_dacl(const std::u16string& sddl) {
    with_service([&](platform::ScHandle service) {
      void* descriptor = nullptr;
      ASSERT_TRUE(platform::convert_string_security_descriptor_to_security_descriptor(
          sddl.c_str(), platform::SDDL_REVISION_1, &descriptor, nullptr));
      EXPECT_TRUE(platform::set_service_object_security(service, platform::DACL_SECURITY_INFORMATION, descriptor));
      platform::local_free(descriptor);
    });
  }

  static uint32_t start_type() {
    uint32_t type = 0;
    with_service([&](platform::ScHandle service) {
      alignas(8) char buffer[2048];
      uint32_t needed = 0;
      auto* config = reinterpret_cast<platform::QueryServiceConfig*>(buffer);
      ASSERT_TRUE(platform::query_service_config(service, config, sizeof buffer, &needed));
      type = config->start_type;
    });
    return type;
  }

  ServiceSandbox sandbox_;
};

TEST_F(ServiceAdminTest, InstallGivesTheFixedDescriptorAndRefusesAnExistingName) {
  EXPECT_EQ(captured([] { install_service(kName, "/opt/zantho/ZanthoClientService.exe"); }),
            "Service installed successfully\n");
  EXPECT_EQ(dacl(), kFixedSddl);
  EXPECT_EQ(captured([] { install_service(kName, "/elsewhere/other.exe"); }), "CreateService failed (1073)\n");
  EXPECT_NE(captured([] { query_service_config(kName); }).find("  Binary path: \"/opt/zantho/ZanthoClientService.exe\"\n"),
            std::string::npos);
}

TEST_F(ServiceAdminTest, ProgramPathTooLongForTheCommandLineCreatesNothing) {
  std::string path = "/" + std::string(257, 'p');
  EXPECT_EQ(captured([&] { install_service(kName, path.c_str()); }), "CreateService failed (206)\n");
  EXPECT_EQ(captured([] { query_service_config(kName); }), "OpenService failed (1060)\n");
}

TEST_F(ServiceAdminTest, ConfigurationShowsOnlyTheLinesThatHaveValues) {
  const std::string fixed =
      "Zantho Admin Test configuration: \n  Type: 0x10\n  Start Type: 0x3\n  Error Control: 0x1\n"
      "  Binary path: \"/opt/svc.exe\"\n  Account: LocalSystem\n";
  struct Case {
    const char* name;
    std::function<void()> set_up;
    std::string extra;
  };
  auto describe = [](const char* text) {
    with_service([&](platform::ScHandle service) {
      platform::ServiceDescription description{const_cast<char*>(text)};
      ASSERT_TRUE(platform::change_service_config2(service, platform::SERVICE_CONFIG_DESCRIPTION, &description));
    });
  };
  auto depend = [] {
    with_service([](platform::ScHandle service) {
      ASSERT_TRUE(platform::change_service_config(service, platform::SERVICE_NO_CHANGE, platform::SERVICE_NO_CHANGE,
                                                  platform::SERVICE_NO_CHANGE, nullptr, "Zantho Group", nullptr,
                                                  "First\0Second\0", nullptr, nullptr, nullptr));
    });
  };
  Case cases[] = {
      {"bare", [] {}, ""},
      {"empty description", [&] { describe(""); }, ""},
      {"described", [] { update_service_description(kName); }, "  Description: This is a test description\n"},
      {"dependencies", depend, "  Load order group: Zantho Group\n  Dependencies: First\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    captured([] { install_service(kName, "/opt/svc.exe"); });
    captured(c.set_up);
    EXPECT_EQ(captured([] { query_service_config(kName); }), fixed + c.extra);
    captured([] { delete_service(kName); });
  }
}

TEST_F(ServiceAdminTest, DisableThenEnableLeavesStartOnDemand) {
  captured([] { install_service(kName, "/opt/svc.exe"); });
  EXPECT_EQ(captured([] { disable_service(kName); }), "Service disabled successfully.\n");
  EXPECT_EQ(start_type(), platform::SERVICE_DISABLED);
  EXPECT_EQ(captured([] { start_service(kName, 0, nullptr); }), "StartService failed (1058)\n");
  EXPECT_EQ(captured([] { enable_service(kName); }), "Service enabled successfully.\n");
  EXPECT_EQ(start_type(), platform::SERVICE_DEMAND_START);
}

TEST_F(ServiceAdminTest, DaclUpdateReplacesTheGuestEntries) {
  captured([] { install_service(kName, "/opt/svc.exe"); });
  set_dacl(u"D:(D;;WP;;;LG)(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;RP;;;LG)(A;;RP;;;IU)");
  EXPECT_EQ(captured([] { update_service_dacl(kName); }), "Service DACL updated successfully\n");
  EXPECT_EQ(dacl(), "D:(A;;RPWPSDRC;;;LG)(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;RP;;;IU)");
  EXPECT_EQ(captured([] { update_service_dacl(kName); }), "Service DACL updated successfully\n");
  EXPECT_EQ(dacl(), "D:(A;;RPWPSDRC;;;LG)(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;RP;;;IU)");
}

TEST_F(ServiceAdminTest, DeletedServiceIsGone) {
  captured([] { install_service(kName, "/opt/svc.exe"); });
  EXPECT_EQ(captured([] { delete_service(kName); }), "Service deleted successfully\n");
  EXPECT_EQ(captured([] { query_service_config(kName); }), "OpenService failed (1060)\n");
}

TEST_F(ServiceAdminTest, EveryOperationOnAMissingServiceFailsToOpenIt) {
  for (void (*operation)(const char*) : {delete_service, disable_service, enable_service, update_service_description,
                                         query_service_config, update_service_dacl}) {
    EXPECT_EQ(captured([&] { operation("No Such Service"); }), "OpenService failed (1060)\n");
  }
}

}  // namespace
