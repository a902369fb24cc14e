// Access descriptors of services and their ACLs through Advapi32. The layer's absolute descriptor is smaller than
// Windows' own, so it is turned into a real one wherever a call takes a descriptor.
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/services.h"
#include "platform/win32/utf16_win32.h"
#include "platform/win32/windows_api.h"

namespace platform {
namespace {

// Both forms begin with the revision, a reserved byte and the control word.
bool self_relative(const void* descriptor) {
  uint16_t control = 0;
  std::memcpy(&control, static_cast<const uint8_t*>(descriptor) + 2, sizeof control);
  return (control & SE_SELF_RELATIVE) != 0;
}

// A descriptor from the layer's absolute form, or the self-relative block itself; null with the error set when the
// layer's form does not hold a valid DACL.
const void* native_descriptor(const void* descriptor, SECURITY_DESCRIPTOR* storage) {
  if (!descriptor || self_relative(descriptor)) {
    return descriptor;
  }
  const auto* own = static_cast<const SecurityDescriptor*>(descriptor);
  if (!InitializeSecurityDescriptor(storage, own->revision)) {
    return nullptr;
  }
  bool present = (own->control & SE_DACL_PRESENT) != 0;
  bool defaulted = (own->control & SE_DACL_DEFAULTED) != 0;
  if (!SetSecurityDescriptorDacl(storage, present, reinterpret_cast<ACL*>(own->dacl), defaulted)) {
    return nullptr;
  }
  return storage;
}

}  // namespace

bool query_service_object_security(ScHandle service, uint32_t information, void* descriptor, uint32_t size,
                                   uint32_t* bytes_needed) {
  DWORD needed = 0;
  BOOL ok = QueryServiceObjectSecurity(static_cast<SC_HANDLE>(service), information, descriptor, size, &needed);
  if (bytes_needed) {
    *bytes_needed = needed;
  }
  return ok != FALSE;
}

bool set_service_object_security(ScHandle service, uint32_t information, const void* descriptor) {
  SECURITY_DESCRIPTOR storage;
  const void* native = native_descriptor(descriptor, &storage);
  if (descriptor && !native) {
    return false;
  }
  return SetServiceObjectSecurity(static_cast<SC_HANDLE>(service), information, const_cast<void*>(native)) != FALSE;
}

bool convert_string_security_descriptor_to_security_descriptor(const char16_t* sddl, uint32_t revision,
                                                               void** descriptor, uint32_t* size) {
  ULONG length = 0;
  BOOL ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(reinterpret_cast<const wchar_t*>(sddl), revision,
                                                                 descriptor, size ? &length : nullptr);
  if (ok && size) {
    *size = length;
  }
  return ok != FALSE;
}

bool convert_security_descriptor_to_string_security_descriptor(const void* descriptor, uint32_t revision,
                                                               uint32_t information, char16_t** sddl,
                                                               uint32_t* length) {
  SECURITY_DESCRIPTOR storage;
  const void* native = native_descriptor(descriptor, &storage);
  if (descriptor && !native) {
    return false;
  }
  ULONG size = 0;
  BOOL ok = ConvertSecurityDescriptorToStringSecurityDescriptorW(
      const_cast<void*>(native), revision, information, reinterpret_cast<wchar_t**>(sddl), length ? &size : nullptr);
  if (ok && length) {
    *length = size;
  }
  return ok != FALSE;
}

bool get_security_descriptor_dacl(const void* descriptor, bool* dacl_present, Acl** dacl, bool* dacl_defaulted) {
  SECURITY_DESCRIPTOR storage;
  const void* native = native_descriptor(descriptor, &storage);
  if (descriptor && !native) {
    return false;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  ACL* list = nullptr;
  if (!GetSecurityDescriptorDacl(const_cast<void*>(native), &present, &list, &defaulted)) {
    return false;
  }
  *dacl_present = present != FALSE;
  *dacl = reinterpret_cast<Acl*>(list);
  *dacl_defaulted = defaulted != FALSE;
  return true;
}

bool initialize_security_descriptor(SecurityDescriptor* descriptor, uint32_t revision) {
  SECURITY_DESCRIPTOR native;
  if (!InitializeSecurityDescriptor(&native, revision)) {
    return false;
  }
  if (!descriptor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *descriptor = SecurityDescriptor{native.Revision, 0, native.Control, nullptr};
  return true;
}

bool set_security_descriptor_dacl(SecurityDescriptor* descriptor, bool dacl_present, Acl* dacl,
                                  bool dacl_defaulted) {
  if (!descriptor || self_relative(descriptor)) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return false;
  }
  SECURITY_DESCRIPTOR native;
  if (!InitializeSecurityDescriptor(&native, descriptor->revision) ||
      !SetSecurityDescriptorDacl(&native, dacl_present, reinterpret_cast<ACL*>(dacl), dacl_defaulted)) {
    return false;
  }
  descriptor->control = native.Control;
  descriptor->dacl = reinterpret_cast<Acl*>(native.Dacl);
  return true;
}

void build_explicit_access_with_name(ExplicitAccess* access, const char* trustee_name, uint32_t permissions,
                                     uint32_t access_mode, uint32_t inheritance) {
  if (access) {
    *access = ExplicitAccess{permissions, access_mode, inheritance, trustee_name};
  }
}

uint32_t set_entries_in_acl(uint32_t count, const ExplicitAccess* entries, const Acl* old_acl, Acl** new_acl) {
  if (count > 0 && !entries) {
    return ERROR_INVALID_PARAMETER;
  }
  // The entries point at the names: both live until the list is made.
  std::vector<win32::Utf16> names;
  names.reserve(count);
  std::vector<EXPLICIT_ACCESS_W> native(count);
  for (uint32_t i = 0; i < count; ++i) {
    names.emplace_back(entries[i].trustee_name);
    BuildExplicitAccessWithNameW(&native[i], names.back().mutable_get(), entries[i].access_permissions,
                                 static_cast<ACCESS_MODE>(entries[i].access_mode), entries[i].inheritance);
  }
  ACL* result = nullptr;
  DWORD error = SetEntriesInAclW(count, native.data(), reinterpret_cast<ACL*>(const_cast<Acl*>(old_acl)), &result);
  if (new_acl) {
    *new_acl = reinterpret_cast<Acl*>(result);
  }
  return error;
}

void* local_free(void* block) { return LocalFree(block); }

}  // namespace platform
