#include "tools/publisher/publisher.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <system_error>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/crc32.h"
#include "common/md5.h"
#include "tools/publisher/zip_writer.h"

namespace fs = std::filesystem;

namespace {

struct ImageEntry {
  std::string path;  // "/" separated, relative to the image
  bool directory = false;
  uintmax_t size = 0;
};

// Depth first, parents before their contents, names in byte order, so the output is reproducible.
bool walk_image(const fs::path& root, const std::string& prefix, std::vector<ImageEntry>& entries) {
  std::error_code error;
  std::vector<fs::directory_entry> children;
  for (fs::directory_iterator it(root / prefix, error), end; !error && it != end; it.increment(error)) {
    children.push_back(*it);
  }
  if (error) {
    std::fprintf(stderr, "cannot list %s: %s\n", (root / prefix).string().c_str(), error.message().c_str());
    return false;
  }
  std::sort(children.begin(), children.end(),
            [](const fs::directory_entry& a, const fs::directory_entry& b) {
              return a.path().filename().string() < b.path().filename().string();
            });
  for (const fs::directory_entry& child : children) {
    const std::string name = prefix.empty() ? child.path().filename().string()
                                            : prefix + "/" + child.path().filename().string();
    if (child.is_directory(error)) {
      entries.push_back({name, true, 0});
      if (!walk_image(root, name, entries)) {
        return false;
      }
    } else if (child.is_regular_file(error)) {
      entries.push_back({name, false, child.file_size(error)});
    } else {
      std::fprintf(stderr, "not a file or directory: %s\n", name.c_str());
      return false;
    }
    if (error) {
      std::fprintf(stderr, "cannot read %s: %s\n", name.c_str(), error.message().c_str());
      return false;
    }
  }
  return true;
}

bool read_file_blocks(const fs::path& path, void (*consume)(void*, const unsigned char*, uint32_t), void* state) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return false;
  }
  std::vector<char> buffer(65536);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.gcount() > 0) {
      consume(state, reinterpret_cast<const unsigned char*>(buffer.data()), static_cast<uint32_t>(in.gcount()));
    }
  }
  return !in.bad();
}

bool crc32_of_file(const fs::path& path, uint32_t* crc) {
  uint32_t running = 0xFFFFFFFFu;
  const bool ok = read_file_blocks(
      path,
      [](void* state, const unsigned char* data, uint32_t length) {
        uint32_t* value = static_cast<uint32_t*>(state);
        *value = crc32_update(*value, data, length);
      },
      &running);
  *crc = ~running;
  return ok;
}

bool valid_package_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:") == std::string::npos &&
         name.find('.') != std::string::npos && name.find('.') < 512;
}

// Assigns every file of the image to exactly one package; the names of each package in image order.
bool lay_out(const std::vector<ImageEntry>& entries, const std::vector<PackageLayout>& packages,
             std::vector<std::vector<std::string>>& contents) {
  std::map<std::string, size_t> owner;
  size_t rest = packages.size();
  for (size_t p = 0; p < packages.size(); ++p) {
    if (!valid_package_name(packages[p].file)) {
      std::fprintf(stderr, "unusable package name: %s\n", packages[p].file.c_str());
      return false;
    }
    for (const std::string& wanted : packages[p].paths) {
      if (wanted == "*") {
        rest = p;
        continue;
      }
      bool found = false;
      for (const ImageEntry& entry : entries) {
        const bool inside = entry.path == wanted || entry.path.rfind(wanted + "/", 0) == 0;
        if (!inside) {
          continue;
        }
        found = true;
        if (entry.directory) {
          continue;
        }
        if (!owner.emplace(entry.path, p).second && owner[entry.path] != p) {
          std::fprintf(stderr, "%s is in two packages\n", entry.path.c_str());
          return false;
        }
      }
      if (!found) {
        std::fprintf(stderr, "%s is not in the image\n", wanted.c_str());
        return false;
      }
    }
  }
  contents.assign(packages.size(), {});
  for (const ImageEntry& entry : entries) {
    if (entry.directory) {
      continue;
    }
    auto it = owner.find(entry.path);
    if (it == owner.end() && rest == packages.size()) {
      std::fprintf(stderr, "%s is in no package\n", entry.path.c_str());
      return false;
    }
    contents[it == owner.end() ? rest : it->second].push_back(entry.path);
  }
  for (size_t p = 0; p < packages.size(); ++p) {
    if (contents[p].empty()) {
      std::fprintf(stderr, "package %s holds no file\n", packages[p].file.c_str());
      return false;
    }
  }
  return true;
}

bool write_text(const fs::path& path, const std::string& text) {
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.string().c_str());
    return false;
  }
  return true;
}

rapidjson::Value json_string(const std::string& text, rapidjson::Document::AllocatorType& allocator) {
  rapidjson::Value value;
  value.SetString(text.data(), static_cast<rapidjson::SizeType>(text.size()), allocator);
  return value;
}

bool build_installed_list(const fs::path& image, const std::vector<ImageEntry>& entries,
                          rapidjson::Document& list) {
  auto& allocator = list.GetAllocator();
  list.SetObject();
  rapidjson::Value files(rapidjson::kArrayType);
  for (const ImageEntry& entry : entries) {
    rapidjson::Value row(rapidjson::kArrayType);
    row.PushBack(json_string(entry.path, allocator), allocator);
    if (entry.directory) {
      row.PushBack(-1, allocator).PushBack(json_string("", allocator), allocator).PushBack(0, allocator);
    } else {
      uint32_t crc = 0;
      const std::string md5 = md5_hex_of_file(image / entry.path);
      if (md5.empty() || !crc32_of_file(image / entry.path, &crc)) {
        std::fprintf(stderr, "cannot read %s\n", entry.path.c_str());
        return false;
      }
      row.PushBack(static_cast<int64_t>(entry.size), allocator)
          .PushBack(json_string(md5, allocator), allocator)
          .PushBack(crc, allocator);
    }
    files.PushBack(row, allocator);
  }
  list.AddMember("files", files, allocator);
  return true;
}

}  // namespace

std::string to_compact_json(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string seal_metadata(rapidjson::Document& document) {
  auto& allocator = document.GetAllocator();
  if (!document.HasMember("checksum")) {
    document.AddMember("checksum", "", allocator);
  }
  rapidjson::Document hashed;
  hashed.CopyFrom(document, hashed.GetAllocator());
  hashed.RemoveMember("checksum");
  const std::string text = to_compact_json(hashed);
  unsigned char digest[16];
  md5_string(text.c_str(), digest);
  char hex[33];
  md5_to_hex(digest, hex);
  document.FindMember("checksum")->value.SetString(hex, 32, allocator);
  return hex;
}

std::string md5_hex_of_file(const fs::path& path) {
  Md5Context context;
  md5_init(context);
  const bool ok = read_file_blocks(
      path,
      [](void* state, const unsigned char* data, uint32_t length) {
        md5_update(*static_cast<Md5Context*>(state), data, length);
      },
      &context);
  unsigned char digest[16];
  md5_final(digest, context);
  if (!ok) {
    return "";
  }
  char hex[33];
  md5_to_hex(digest, hex);
  return hex;
}

int publish_tree(const PublishOptions& options, PublishResult* result) {
  std::error_code error;
  if (!fs::is_directory(options.image, error)) {
    std::fprintf(stderr, "no image directory: %s\n", options.image.string().c_str());
    return 1;
  }
  std::vector<ImageEntry> entries;
  if (!walk_image(options.image, "", entries)) {
    return 1;
  }
  std::vector<PackageLayout> packages = options.packages;
  if (packages.empty()) {
    packages.push_back({"client.zip", {"*"}});
  }
  std::vector<std::vector<std::string>> contents;
  if (!lay_out(entries, packages, contents)) {
    return 1;
  }
  fs::create_directories(options.out, error);
  if (error) {
    std::fprintf(stderr, "cannot create %s\n", options.out.string().c_str());
    return 2;
  }

  rapidjson::Document manifest(rapidjson::kObjectType);
  auto& allocator = manifest.GetAllocator();
  rapidjson::Value listed(rapidjson::kArrayType);
  for (size_t p = 0; p < packages.size(); ++p) {
    const fs::path zip = options.out / packages[p].file;
    if (!write_zip(zip, options.image, contents[p])) {
      return 2;
    }
    rapidjson::Value element(rapidjson::kObjectType);
    element.AddMember("file", json_string(packages[p].file, allocator), allocator);
    element.AddMember("size", static_cast<int64_t>(fs::file_size(zip, error)), allocator);
    element.AddMember("checksum", json_string(md5_hex_of_file(zip), allocator), allocator);
    listed.PushBack(element, allocator);
  }
  manifest.AddMember("packages", listed, allocator);

  rapidjson::Document installed;
  if (!build_installed_list(options.image, entries, installed)) {
    return 1;
  }
  PublishResult sealed;
  sealed.metains = seal_metadata(installed);
  sealed.metaman = seal_metadata(manifest);

  rapidjson::Document index(rapidjson::kObjectType);
  auto& index_allocator = index.GetAllocator();
  if (!options.cdndomain.empty()) {
    index.AddMember("cdndomain", json_string(options.cdndomain, index_allocator), index_allocator);
  }
  index.AddMember("metains", json_string(sealed.metains, index_allocator), index_allocator);
  index.AddMember("metaman", json_string(sealed.metaman, index_allocator), index_allocator);

  if (!write_text(options.out / (std::string(kInstalledJsonName) + "." + sealed.metains), to_compact_json(installed)) ||
      !write_text(options.out / (std::string(kManifestJsonName) + "." + sealed.metaman), to_compact_json(manifest)) ||
      !write_text(options.out / "api" / "clients.json", to_compact_json(index))) {
    return 2;
  }
  if (result != nullptr) {
    *result = sealed;
  }
  return 0;
}
