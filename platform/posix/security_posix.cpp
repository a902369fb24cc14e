#include "platform/posix/security_posix.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "platform/errors.h"
#include "platform/services.h"

namespace platform {

// The list's header; its entries follow it in the same block, each an AceHeader, then the trustee's SID as
// text with its terminator, padded to four bytes.
struct Acl {
  uint8_t revision;
  uint8_t reserved;
  uint16_t size;
  uint16_t count;
  uint16_t reserved2;
};

namespace posix {
namespace {

constexpr uint8_t kAclRevision = 2;
constexpr uint16_t SE_DACL_PRESENT = 0x0004;
constexpr uint16_t SE_DACL_DEFAULTED = 0x0008;
constexpr uint16_t SE_DACL_AUTO_INHERITED = 0x0400;
constexpr uint16_t SE_DACL_PROTECTED = 0x1000;
constexpr uint16_t SE_SELF_RELATIVE = 0x8000;
constexpr uint8_t ACCESS_ALLOWED_ACE_TYPE = 0;
constexpr uint8_t ACCESS_DENIED_ACE_TYPE = 1;
constexpr uint8_t INHERITED_ACE = 0x10;

struct SelfRelativeHeader {
  uint8_t revision;
  uint8_t reserved;
  uint16_t control;
  uint32_t owner_offset;
  uint32_t group_offset;
  uint32_t sacl_offset;
  uint32_t dacl_offset;
};

struct AceHeader {
  uint8_t type;
  uint8_t flags;
  uint16_t size;
  uint32_t mask;
};

struct Ace {
  uint8_t type;
  uint8_t flags;
  uint32_t mask;
  std::string sid;
};

struct Dacl {
  bool present = false;
  bool null_list = false;  // present without a list: everyone may do everything
  uint16_t flags = 0;      // SE_DACL_PROTECTED, SE_DACL_AUTO_INHERITED
  std::vector<Ace> entries;
};

struct NamedCode {
  const char* code;
  uint32_t value;
};

// In the order they are written back.
constexpr NamedCode kRights[] = {
    {"CC", 0x1},       {"DC", 0x2},        {"LC", 0x4},        {"SW", 0x8},        {"RP", 0x10},
    {"WP", 0x20},      {"DT", 0x40},       {"LO", 0x80},       {"CR", 0x100},      {"SD", 0x10000},
    {"RC", 0x20000},   {"WD", 0x40000},    {"WO", 0x80000},    {"GA", 0x10000000}, {"GX", 0x20000000},
    {"GW", 0x40000000}, {"GR", 0x80000000},
};

constexpr NamedCode kAceFlags[] = {{"OI", 0x1}, {"CI", 0x2}, {"NP", 0x4}, {"IO", 0x8}, {"ID", 0x10}};

// This machine's own accounts take the domain part S-1-5-21-0-0-0.
struct WellKnownSid {
  const char* alias;
  const char* sid;
  const char* account;
};
constexpr WellKnownSid kSids[] = {
    {"SY", "S-1-5-18", "SYSTEM"},
    {"BA", "S-1-5-32-544", "Administrators"},
    {"BU", "S-1-5-32-545", "Users"},
    {"BG", "S-1-5-32-546", "Guests"},
    {"PU", "S-1-5-32-547", "Power Users"},
    {"AU", "S-1-5-11", "Authenticated Users"},
    {"IU", "S-1-5-4", "INTERACTIVE"},
    {"SU", "S-1-5-6", "SERVICE"},
    {"AN", "S-1-5-7", "ANONYMOUS LOGON"},
    {"WD", "S-1-1-0", "Everyone"},
    {"LS", "S-1-5-19", "LOCAL SERVICE"},
    {"NS", "S-1-5-20", "NETWORK SERVICE"},
    {"LA", "S-1-5-21-0-0-0-500", "Administrator"},
    {"LG", "S-1-5-21-0-0-0-501", "Guest"},
};

bool equal_ignoring_case(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
    char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
    if (x != y) {
      return false;
    }
  }
  return true;
}

bool valid_sid_text(const std::string& text) {
  if (text.rfind("S-1-", 0) != 0 || text.size() < 5) {
    return false;
  }
  bool digit_seen = false;
  for (size_t i = 4; i < text.size(); ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      digit_seen = true;
    } else if (text[i] == '-' && digit_seen) {
      digit_seen = false;
    } else {
      return false;
    }
  }
  return digit_seen;
}

bool parse_sid(const std::string& token, std::string* sid) {
  for (const WellKnownSid& known : kSids) {
    if (token == known.alias) {
      *sid = known.sid;
      return true;
    }
  }
  if (!valid_sid_text(token)) {
    return false;
  }
  *sid = token;
  return true;
}

std::string sid_text(const std::string& sid) {
  for (const WellKnownSid& known : kSids) {
    if (sid == known.sid) {
      return known.alias;
    }
  }
  return sid;
}

// Two-letter codes from a table, or a number ("0x1F" or decimal) for the rights.
bool parse_codes(const std::string& text, const NamedCode* table, size_t table_size, bool numbers, uint32_t* out) {
  *out = 0;
  if (numbers && !text.empty() && text[0] >= '0' && text[0] <= '9') {
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, 0);
    *out = static_cast<uint32_t>(value);
    return end && *end == '\0';
  }
  if (text.size() % 2 != 0) {
    return false;
  }
  for (size_t i = 0; i < text.size(); i += 2) {
    bool found = false;
    for (size_t j = 0; j < table_size; ++j) {
      if (text.compare(i, 2, table[j].code) == 0) {
        *out |= table[j].value;
        found = true;
      }
    }
    if (!found) {
      return false;
    }
  }
  return true;
}

std::string codes_text(uint32_t value, const NamedCode* table, size_t table_size, bool numbers) {
  std::string text;
  uint32_t covered = 0;
  for (size_t j = 0; j < table_size; ++j) {
    if ((value & table[j].value) == table[j].value) {
      text += table[j].code;
      covered |= table[j].value;
    }
  }
  if (numbers && covered != value) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", value);
    return hex;
  }
  return text;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) {
      return parts;
    }
    start = end + 1;
  }
}

bool parse_ace(const std::string& text, Ace* ace) {
  std::vector<std::string> fields = split(text, ';');
  if (fields.size() != 6 || !fields[3].empty() || !fields[4].empty()) {
    return false;
  }
  if (fields[0] == "A") {
    ace->type = ACCESS_ALLOWED_ACE_TYPE;
  } else if (fields[0] == "D") {
    ace->type = ACCESS_DENIED_ACE_TYPE;
  } else {
    return false;
  }
  uint32_t flags = 0;
  if (!parse_codes(fields[1], kAceFlags, std::size(kAceFlags), false, &flags) ||
      !parse_codes(fields[2], kRights, std::size(kRights), true, &ace->mask)) {
    return false;
  }
  ace->flags = static_cast<uint8_t>(flags);
  return parse_sid(fields[5], &ace->sid);
}

bool is_component_start(const std::string& text, size_t i) {
  return i + 1 < text.size() && text[i + 1] == ':' &&
         (text[i] == 'O' || text[i] == 'G' || text[i] == 'D' || text[i] == 'S');
}

// Owner, group and system list are read for their syntax but not kept: services here keep their DACL only.
bool parse_sddl(const std::string& text, Dacl* dacl) {
  size_t i = 0;
  while (i < text.size()) {
    if (!is_component_start(text, i)) {
      return false;
    }
    char component = text[i];
    i += 2;
    if (component == 'O' || component == 'G') {
      size_t end = i;
      while (end < text.size() && !is_component_start(text, end)) {
        ++end;
      }
      std::string sid;
      if (!parse_sid(text.substr(i, end - i), &sid)) {
        return false;
      }
      i = end;
      continue;
    }
    Dacl list;
    list.present = true;
    while (i < text.size() && text[i] != '(' && !is_component_start(text, i)) {
      if (text.compare(i, 17, "NO_ACCESS_CONTROL") == 0) {
        list.null_list = true;
        i += 17;
      } else if (text[i] == 'P') {
        list.flags |= SE_DACL_PROTECTED;
        i += 1;
      } else if (text.compare(i, 2, "AI") == 0) {
        list.flags |= SE_DACL_AUTO_INHERITED;
        i += 2;
      } else if (text.compare(i, 2, "AR") == 0) {
        i += 2;
      } else {
        return false;
      }
    }
    while (i < text.size() && text[i] == '(') {
      size_t end = text.find(')', i);
      Ace ace;
      if (end == std::string::npos || !parse_ace(text.substr(i + 1, end - i - 1), &ace)) {
        return false;
      }
      list.entries.push_back(ace);
      i = end + 1;
    }
    if (list.null_list && !list.entries.empty()) {
      return false;
    }
    if (component == 'D') {
      *dacl = list;
    }
  }
  return true;
}

std::string sddl_text(const Dacl& dacl) {
  if (!dacl.present) {
    return "";
  }
  std::string text = "D:";
  if (dacl.flags & SE_DACL_PROTECTED) {
    text += "P";
  }
  if (dacl.flags & SE_DACL_AUTO_INHERITED) {
    text += "AI";
  }
  if (dacl.null_list) {
    return text + "NO_ACCESS_CONTROL";
  }
  for (const Ace& ace : dacl.entries) {
    text += "(";
    text += ace.type == ACCESS_DENIED_ACE_TYPE ? "D" : "A";
    text += ';';
    text += codes_text(ace.flags, kAceFlags, std::size(kAceFlags), false);
    text += ';';
    text += codes_text(ace.mask, kRights, std::size(kRights), true);
    text += ";;;";
    text += sid_text(ace.sid);
    text += ')';
  }
  return text;
}

size_t ace_size(const Ace& ace) { return (sizeof(AceHeader) + ace.sid.size() + 1 + 3) / 4 * 4; }

size_t acl_size(const std::vector<Ace>& entries) {
  size_t size = sizeof(Acl);
  for (const Ace& ace : entries) {
    size += ace_size(ace);
  }
  return size;
}

void write_acl(const std::vector<Ace>& entries, uint8_t* out) {
  std::memset(out, 0, acl_size(entries));
  Acl header{kAclRevision, 0, static_cast<uint16_t>(acl_size(entries)), static_cast<uint16_t>(entries.size()), 0};
  std::memcpy(out, &header, sizeof header);
  uint8_t* at = out + sizeof header;
  for (const Ace& ace : entries) {
    AceHeader ace_header{ace.type, ace.flags, static_cast<uint16_t>(ace_size(ace)), ace.mask};
    std::memcpy(at, &ace_header, sizeof ace_header);
    std::memcpy(at + sizeof ace_header, ace.sid.c_str(), ace.sid.size() + 1);
    at += ace_size(ace);
  }
}

bool read_acl(const Acl* acl, std::vector<Ace>* entries) {
  const uint8_t* base = reinterpret_cast<const uint8_t*>(acl);
  Acl header;
  std::memcpy(&header, base, sizeof header);
  if (header.revision != kAclRevision || header.size < sizeof header) {
    return false;
  }
  size_t at = sizeof header;
  for (uint16_t n = 0; n < header.count; ++n) {
    AceHeader ace_header;
    if (at + sizeof ace_header > header.size) {
      return false;
    }
    std::memcpy(&ace_header, base + at, sizeof ace_header);
    if (ace_header.size <= sizeof ace_header || at + ace_header.size > header.size) {
      return false;
    }
    const char* sid = reinterpret_cast<const char*>(base + at + sizeof ace_header);
    size_t sid_room = ace_header.size - sizeof ace_header;
    if (::memchr(sid, '\0', sid_room) == nullptr) {
      return false;
    }
    entries->push_back(Ace{ace_header.type, ace_header.flags, ace_header.mask, std::string(sid)});
    at += ace_header.size;
  }
  return true;
}

bool read_descriptor(const void* descriptor, uint16_t* control, const Acl** acl) {
  if (!descriptor) {
    return false;
  }
  const uint8_t* base = static_cast<const uint8_t*>(descriptor);
  if (base[0] != SECURITY_DESCRIPTOR_REVISION) {
    return false;
  }
  std::memcpy(control, base + 2, sizeof *control);
  if (*control & SE_SELF_RELATIVE) {
    SelfRelativeHeader header;
    std::memcpy(&header, base, sizeof header);
    *acl = header.dacl_offset ? reinterpret_cast<const Acl*>(base + header.dacl_offset) : nullptr;
  } else {
    *acl = static_cast<const SecurityDescriptor*>(descriptor)->dacl;
  }
  return true;
}

bool descriptor_dacl(const void* descriptor, Dacl* dacl) {
  uint16_t control = 0;
  const Acl* acl = nullptr;
  if (!read_descriptor(descriptor, &control, &acl)) {
    return false;
  }
  dacl->present = (control & SE_DACL_PRESENT) != 0;
  dacl->flags = control & (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED);
  dacl->null_list = dacl->present && !acl;
  return !dacl->present || !acl || read_acl(acl, &dacl->entries);
}

bool lookup_account(const std::string& name, std::string* sid) {
  for (const WellKnownSid& known : kSids) {
    if (equal_ignoring_case(name, known.account)) {
      *sid = known.sid;
      return true;
    }
  }
  return false;
}

template <typename T>
T* copy_block(const void* data, size_t size) {
  void* block = std::malloc(size);
  if (block) {
    std::memcpy(block, data, size);
  }
  return static_cast<T*>(block);
}

}  // namespace

bool descriptor_dacl_sddl(const void* descriptor, std::string* sddl) {
  Dacl dacl;
  if (!descriptor_dacl(descriptor, &dacl)) {
    return false;
  }
  *sddl = sddl_text(dacl);
  return true;
}

bool sddl_descriptor_block(const std::string& sddl, std::vector<uint8_t>* block) {
  Dacl dacl;
  if (!parse_sddl(sddl, &dacl)) {
    return false;
  }
  SelfRelativeHeader header{SECURITY_DESCRIPTOR_REVISION, 0, SE_SELF_RELATIVE, 0, 0, 0, 0};
  size_t size = sizeof header;
  if (dacl.present) {
    header.control |= SE_DACL_PRESENT | dacl.flags;
  }
  if (dacl.present && !dacl.null_list) {
    header.dacl_offset = sizeof header;
    size += acl_size(dacl.entries);
  }
  block->assign(size, 0);
  std::memcpy(block->data(), &header, sizeof header);
  if (header.dacl_offset) {
    write_acl(dacl.entries, block->data() + header.dacl_offset);
  }
  return true;
}

}  // namespace posix

using posix::Ace;

bool convert_string_security_descriptor_to_security_descriptor(const char16_t* sddl, uint32_t revision,
                                                               void** descriptor, uint32_t* size) {
  if (revision != SDDL_REVISION_1) {
    set_last_error(ERROR_UNKNOWN_REVISION);
    return false;
  }
  if (!sddl || !descriptor) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::string text;
  for (const char16_t* c = sddl; *c; ++c) {
    if (*c > 0x7F) {
      set_last_error(ERROR_INVALID_PARAMETER);
      return false;
    }
    text += static_cast<char>(*c);
  }
  std::vector<uint8_t> block;
  if (!posix::sddl_descriptor_block(text, &block)) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return false;
  }
  *descriptor = posix::copy_block<void>(block.data(), block.size());
  if (!*descriptor) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  if (size) {
    *size = static_cast<uint32_t>(block.size());
  }
  return true;
}

bool convert_security_descriptor_to_string_security_descriptor(const void* descriptor, uint32_t revision,
                                                               uint32_t information, char16_t** sddl,
                                                               uint32_t* length) {
  if (revision != SDDL_REVISION_1) {
    set_last_error(ERROR_UNKNOWN_REVISION);
    return false;
  }
  std::string text;
  if (!sddl || !posix::descriptor_dacl_sddl(descriptor, &text)) {
    set_last_error(sddl ? ERROR_INVALID_SECURITY_DESCR : ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!(information & DACL_SECURITY_INFORMATION)) {
    text.clear();
  }
  std::u16string wide(text.begin(), text.end());
  *sddl = posix::copy_block<char16_t>(wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
  if (!*sddl) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  if (length) {
    *length = static_cast<uint32_t>(wide.size() + 1);
  }
  return true;
}

bool get_security_descriptor_dacl(const void* descriptor, bool* dacl_present, Acl** dacl, bool* dacl_defaulted) {
  uint16_t control = 0;
  const Acl* acl = nullptr;
  if (!dacl_present || !dacl || !dacl_defaulted || !posix::read_descriptor(descriptor, &control, &acl)) {
    set_last_error(ERROR_INVALID_SECURITY_DESCR);
    return false;
  }
  *dacl_present = (control & posix::SE_DACL_PRESENT) != 0;
  *dacl = *dacl_present ? const_cast<Acl*>(acl) : nullptr;
  *dacl_defaulted = *dacl_present && (control & posix::SE_DACL_DEFAULTED) != 0;
  return true;
}

bool initialize_security_descriptor(SecurityDescriptor* descriptor, uint32_t revision) {
  if (revision != SECURITY_DESCRIPTOR_REVISION) {
    set_last_error(ERROR_UNKNOWN_REVISION);
    return false;
  }
  if (!descriptor) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return false;
  }
  *descriptor = SecurityDescriptor{static_cast<uint8_t>(revision), 0, 0, nullptr};
  return true;
}

bool set_security_descriptor_dacl(SecurityDescriptor* descriptor, bool dacl_present, Acl* dacl,
                                  bool dacl_defaulted) {
  if (!descriptor || descriptor->revision != SECURITY_DESCRIPTOR_REVISION ||
      (descriptor->control & posix::SE_SELF_RELATIVE)) {
    set_last_error(ERROR_INVALID_SECURITY_DESCR);
    return false;
  }
  std::vector<Ace> entries;
  if (dacl_present && dacl && !posix::read_acl(dacl, &entries)) {
    set_last_error(ERROR_INVALID_ACL);
    return false;
  }
  descriptor->control &= static_cast<uint16_t>(~(posix::SE_DACL_PRESENT | posix::SE_DACL_DEFAULTED));
  if (dacl_present) {
    descriptor->control |= posix::SE_DACL_PRESENT;
    if (dacl_defaulted) {
      descriptor->control |= posix::SE_DACL_DEFAULTED;
    }
  }
  descriptor->dacl = dacl_present ? dacl : nullptr;
  return true;
}

void build_explicit_access_with_name(ExplicitAccess* access, const char* trustee_name, uint32_t permissions,
                                     uint32_t access_mode, uint32_t inheritance) {
  if (access) {
    *access = ExplicitAccess{permissions, access_mode, inheritance, trustee_name};
  }
}

uint32_t set_entries_in_acl(uint32_t count, const ExplicitAccess* entries, const Acl* old_acl, Acl** new_acl) {
  if (!new_acl || (count > 0 && !entries)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<Ace> old_entries;
  if (old_acl && !posix::read_acl(old_acl, &old_entries)) {
    return ERROR_INVALID_ACL;
  }
  std::vector<Ace> new_denies;
  std::vector<Ace> new_allows;
  auto drop = [](std::vector<Ace>* list, const std::string& sid, int type, int flags) {
    std::erase_if(*list, [&](const Ace& ace) {
      return ace.sid == sid && !(ace.flags & posix::INHERITED_ACE) && (type < 0 || ace.type == type) &&
             (flags < 0 || ace.flags == flags);
    });
  };
  auto merged_mask = [](const std::vector<Ace>& list, const std::string& sid, uint8_t type, uint8_t flags) {
    uint32_t mask = 0;
    for (const Ace& ace : list) {
      if (ace.sid == sid && ace.type == type && ace.flags == flags) {
        mask |= ace.mask;
      }
    }
    return mask;
  };
  for (uint32_t i = 0; i < count; ++i) {
    const ExplicitAccess& entry = entries[i];
    std::string sid;
    if (!entry.trustee_name || !posix::lookup_account(entry.trustee_name, &sid)) {
      return ERROR_NONE_MAPPED;
    }
    uint8_t flags = static_cast<uint8_t>(entry.inheritance & 0xF);
    switch (entry.access_mode) {
      case NOT_USED_ACCESS:
        break;
      case SET_ACCESS:
        drop(&old_entries, sid, -1, -1);
        drop(&new_denies, sid, -1, -1);
        drop(&new_allows, sid, -1, -1);
        new_allows.push_back(Ace{posix::ACCESS_ALLOWED_ACE_TYPE, flags, entry.access_permissions, sid});
        break;
      case GRANT_ACCESS: {
        uint32_t mask = entry.access_permissions |
                        merged_mask(old_entries, sid, posix::ACCESS_ALLOWED_ACE_TYPE, flags) |
                        merged_mask(new_allows, sid, posix::ACCESS_ALLOWED_ACE_TYPE, flags);
        drop(&old_entries, sid, posix::ACCESS_ALLOWED_ACE_TYPE, flags);
        drop(&new_allows, sid, posix::ACCESS_ALLOWED_ACE_TYPE, flags);
        new_allows.push_back(Ace{posix::ACCESS_ALLOWED_ACE_TYPE, flags, mask, sid});
        break;
      }
      case DENY_ACCESS: {
        uint32_t mask = entry.access_permissions |
                        merged_mask(old_entries, sid, posix::ACCESS_DENIED_ACE_TYPE, flags) |
                        merged_mask(new_denies, sid, posix::ACCESS_DENIED_ACE_TYPE, flags);
        drop(&old_entries, sid, posix::ACCESS_DENIED_ACE_TYPE, flags);
        drop(&new_denies, sid, posix::ACCESS_DENIED_ACE_TYPE, flags);
        new_denies.push_back(Ace{posix::ACCESS_DENIED_ACE_TYPE, flags, mask, sid});
        break;
      }
      case REVOKE_ACCESS:
        drop(&old_entries, sid, posix::ACCESS_ALLOWED_ACE_TYPE, -1);
        drop(&new_allows, sid, posix::ACCESS_ALLOWED_ACE_TYPE, -1);
        break;
      default:
        return ERROR_INVALID_PARAMETER;
    }
  }
  // Canonical order: explicit denials, explicit grants, then what was inherited.
  std::vector<Ace> result = new_denies;
  auto append_old = [&](bool inherited, uint8_t type) {
    for (const Ace& ace : old_entries) {
      if (((ace.flags & posix::INHERITED_ACE) != 0) == inherited && (inherited || ace.type == type)) {
        result.push_back(ace);
      }
    }
  };
  append_old(false, posix::ACCESS_DENIED_ACE_TYPE);
  result.insert(result.end(), new_allows.begin(), new_allows.end());
  append_old(false, posix::ACCESS_ALLOWED_ACE_TYPE);
  append_old(true, 0);
  if (posix::acl_size(result) > 0xFFFF) {
    return ERROR_INVALID_ACL;
  }
  std::vector<uint8_t> block(posix::acl_size(result));
  posix::write_acl(result, block.data());
  *new_acl = posix::copy_block<Acl>(block.data(), block.size());
  return *new_acl ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

void* local_free(void* block) {
  std::free(block);
  return nullptr;
}

}  // namespace platform
