#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"
#include "platform/services.h"

namespace {

std::string to_text(const char16_t* wide) {
  std::string text;
  for (const char16_t* c = wide; *c; ++c) {
    text += static_cast<char>(*c);
  }
  return text;
}

std::u16string to_wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The descriptor's DACL back as SDDL; "!" when the text does not convert.
std::string round_trip(const std::string& sddl) {
  void* descriptor = nullptr;
  if (!platform::convert_string_security_descriptor_to_security_descriptor(to_wide(sddl).c_str(),
                                                                          platform::SDDL_REVISION_1, &descriptor,
                                                                          nullptr)) {
    std::string error = std::to_string(platform::last_error());
    return "!" + error;
  }
  char16_t* text = nullptr;
  EXPECT_TRUE(platform::convert_security_descriptor_to_string_security_descriptor(
      descriptor, platform::SDDL_REVISION_1, platform::DACL_SECURITY_INFORMATION, &text, nullptr));
  std::string result = to_text(text);
  platform::local_free(text);
  platform::local_free(descriptor);
  return result;
}

TEST(SecurityDescriptorTest, SddlRoundTripsInCanonicalForm) {
  struct Case {
    const char* in;
    const char* out;
  };
  for (Case c : {
           Case{"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;RP;;;IU)",
                "D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;RP;;;IU)"},
           Case{"O:BAG:SYD:P(D;OICI;0x30;;;S-1-5-21-0-0-0-501)", "D:P(D;OICI;RPWP;;;LG)"},
           Case{"D:(A;;RCRP;;;S-1-5-32-544)", "D:(A;;RPRC;;;BA)"},
           Case{"D:(A;;0x1000000;;;WD)", "D:(A;;0x1000000;;;WD)"},
           Case{"D:NO_ACCESS_CONTROL", "D:NO_ACCESS_CONTROL"},
           Case{"D:", "D:"},
           Case{"", ""},
       }) {
    EXPECT_EQ(round_trip(c.in), c.out) << c.in;
  }
}

TEST(SecurityDescriptorTest, MalformedSddlIsRefused) {
  for (const char* bad : {"D:(X;;RP;;;SY)", "D:(A;;ZZ;;;SY)", "D:(A;;RP;;;QQ)", "D:(A;;RP;;;SY", "D:(A;;RP;;SY)",
                          "Q:(A;;RP;;;SY)", "D:(A;;RP;;;S-1-)", "D:X(A;;RP;;;SY)"}) {
    EXPECT_EQ(round_trip(bad), "!87") << bad;
  }
  void* descriptor = nullptr;
  EXPECT_FALSE(platform::convert_string_security_descriptor_to_security_descriptor(u"D:(A;;RP;;;SY)", 2, &descriptor,
                                                                                  nullptr));
  EXPECT_EQ(platform::last_error(), platform::ERROR_UNKNOWN_REVISION);
}

// One entry merged into a list by its mode, written back through a new absolute descriptor.
std::string merged(const std::string& sddl, const char* trustee, uint32_t mode, uint32_t mask, uint32_t* result) {
  void* descriptor = nullptr;
  EXPECT_TRUE(platform::convert_string_security_descriptor_to_security_descriptor(
      to_wide(sddl).c_str(), platform::SDDL_REVISION_1, &descriptor, nullptr));
  bool present = false;
  bool defaulted = true;
  platform::Acl* dacl = nullptr;
  EXPECT_TRUE(platform::get_security_descriptor_dacl(descriptor, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_FALSE(defaulted);
  platform::ExplicitAccess access{};
  platform::build_explicit_access_with_name(&access, trustee, mask, mode, platform::NO_INHERITANCE);
  platform::Acl* new_acl = nullptr;
  *result = platform::set_entries_in_acl(1, &access, dacl, &new_acl);
  std::string text = "-";
  if (*result == 0) {
    platform::SecurityDescriptor absolute{};
    EXPECT_TRUE(platform::initialize_security_descriptor(&absolute, platform::SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(platform::set_security_descriptor_dacl(&absolute, true, new_acl, false));
    char16_t* out = nullptr;
    EXPECT_TRUE(platform::convert_security_descriptor_to_string_security_descriptor(
        &absolute, platform::SDDL_REVISION_1, platform::DACL_SECURITY_INFORMATION, &out, nullptr));
    text = to_text(out);
    platform::local_free(out);
    platform::local_free(new_acl);
  }
  platform::local_free(descriptor);
  return text;
}

TEST(SecurityDescriptorTest, EntriesMergeByTheirMode) {
  const std::string base = "D:(D;;WP;;;LG)(A;;CC;;;SY)(A;;RP;;;LG)";
  struct Case {
    const char* trustee;
    uint32_t mode;
    uint32_t mask;
    uint32_t result;
    const char* sddl;
  };
  for (Case c : {
           Case{"GUEST", platform::SET_ACCESS, 0x30030, 0, "D:(A;;RPWPSDRC;;;LG)(A;;CC;;;SY)"},
           Case{"guest", platform::GRANT_ACCESS, 0x20, 0, "D:(D;;WP;;;LG)(A;;RPWP;;;LG)(A;;CC;;;SY)"},
           Case{"Guest", platform::DENY_ACCESS, 0x10, 0, "D:(D;;RPWP;;;LG)(A;;CC;;;SY)(A;;RP;;;LG)"},
           Case{"GUEST", platform::REVOKE_ACCESS, 0, 0, "D:(D;;WP;;;LG)(A;;CC;;;SY)"},
           Case{"Administrators", platform::SET_ACCESS, 0x4, 0,
                "D:(D;;WP;;;LG)(A;;LC;;;BA)(A;;CC;;;SY)(A;;RP;;;LG)"},
           Case{"NOBODY", platform::SET_ACCESS, 0x4, platform::ERROR_NONE_MAPPED, "-"},
       }) {
    uint32_t result = 1;
    EXPECT_EQ(merged(base, c.trustee, c.mode, c.mask, &result), c.sddl) << c.trustee << " " << c.mode;
    EXPECT_EQ(result, c.result);
  }
}

}  // namespace
