#include "update/prune_packages.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "common/file_ops.h"
#include "platform/files.h"
#include "platform/handle.h"

namespace {

bool is_package_zip(const std::string& name) {
  return name.size() >= 4 && name.compare(name.size() - 4, 4, ".zip") == 0;
}

bool keep(const std::vector<PackageEntry>& list, const platform::FindData& found) {
  for (const PackageEntry& entry : list) {
    if (entry.name == found.name) {
      // A shorter copy of a package that fails its check is a partial download, resumed later.
      return entry.ok || static_cast<uint32_t>(entry.size) > static_cast<uint32_t>(found.size);
    }
  }
  return false;
}

}  // namespace

int prune_packages(const std::vector<PackageEntry>& list, const char* dir) {
  std::string pattern = std::string(dir) + "/*.*";
  if (pattern.size() >= static_cast<size_t>(kPathBufferSize)) {
    return 0;
  }
  to_backslashes(pattern);
  platform::FindData found;
  platform::Handle search = platform::find_first_file(pattern.c_str(), &found);
  if (search != nullptr) {
    do {
      if (is_package_zip(found.name) && !keep(list, found)) {
        delete_path_cwd(("packages/" + found.name).c_str());
      }
    } while (platform::find_next_file(search, &found));
  }
  return platform::find_close(search) ? 1 : 0;
}
