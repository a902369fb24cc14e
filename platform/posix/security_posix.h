// Access descriptors as the service records keep them: the SDDL text of the DACL. Used by the layer only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::posix {

// The DACL of a descriptor (either form) as canonical SDDL ("D:..."); false for a malformed descriptor.
bool descriptor_dacl_sddl(const void* descriptor, std::string* sddl);
// A self-relative descriptor made from SDDL text; false for text that is not valid SDDL.
bool sddl_descriptor_block(const std::string& sddl, std::vector<uint8_t>* block);

}  // namespace platform::posix
