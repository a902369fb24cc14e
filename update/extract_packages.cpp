#include "update/extract_packages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "common/file_ops.h"
#include "common/log.h"
#include "update/meta_paths.h"
#include "update/package_list.h"
#include "update/pipeline_state.h"
#include "update/safe_path.h"
#include "update/zip_file_functions.h"

namespace {

constexpr const char* kStagingDir = "packages/tmp";
constexpr uLong kNameBufferSize = 32767;
// Larger than one read of the library needs; measured faster than small blocks and invisible outside this file.
constexpr unsigned kCopyBufferSize = 256 * 1024;

bool ends_with_separator(const std::string& text) {
  return !text.empty() && (text.back() == '/' || text.back() == '\\');
}

// The archive's absolute path as the library's narrow open wants it; empty when the current directory is unknown.
std::string absolute_archive_path(const char* relative_path) {
  const char* cwd = get_current_dir();
  if (cwd == nullptr) {
    return {};
  }
  std::string relative(relative_path);
  std::replace(relative.begin(), relative.end(), '\\', '/');
  // As UTF-8 text (char8_t): a plain string would be read, and written back, in Windows' ANSI code page.
  std::filesystem::path joined = std::filesystem::path(std::u8string(cwd, cwd + std::strlen(cwd))) /
                                 std::u8string(relative.begin(), relative.end());
  std::u8string normal = joined.lexically_normal().u8string();
  return std::string(normal.begin(), normal.end());
}

// Reads the open entry into out; 0 at its end, the library's negative code, or -1 for a short write.
int32_t copy_entry_data(unzFile archive, char* buffer, FILE* out) {
  for (;;) {
    int count = unzReadCurrentFile(archive, buffer, kCopyBufferSize);
    if (count < 0) {
      return count;
    }
    if (count == 0) {
      return 0;
    }
    if (fwrite(buffer, static_cast<size_t>(count), 1, out) != 1) {
      return -1;
    }
  }
}

}  // namespace

int32_t extract_current_entry(unzFile archive, const char* destination) {
  unz_file_info64 info;
  std::memset(&info, 0, sizeof(info));
  std::vector<char> name(kNameBufferSize, '\0');
  int code = unzGetCurrentFileInfo64(archive, &info, name.data(), kNameBufferSize, nullptr, 0, nullptr, 0);
  if (code != UNZ_OK) {
    return code;
  }
  // A name that does not fit arrives cut and unterminated; like any other name no file can have, it is skipped.
  if (info.size_filename >= kNameBufferSize) {
    return 0;
  }
  // Joined to the staging directory, such a name would write outside it.
  if (!is_safe_relative_path(name.data())) {
    return UNZ_BADZIPFILE;
  }

  std::string dest(destination);
  std::string target = ends_with_separator(dest) ? fmt::format("{}{}", dest, name.data())
                                                 : fmt::format("{}/{}", dest, name.data());
  if (ends_with_separator(target)) {
    return mkdir_p_cwd(target.c_str());
  }
  size_t last_separator = target.find_last_of("/\\");
  if (last_separator != std::string::npos) {
    mkdir_p_cwd(target.substr(0, last_separator).c_str());
  }

  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyBufferSize]);
  if (!buffer) {
    return UNZ_INTERNALERROR;
  }
  code = unzOpenCurrentFilePassword(archive, nullptr);
  if (code != UNZ_OK) {
    return code;
  }

  int32_t result = 0;
  FILE* out = fopen_cwd(target.c_str(), "wb");
  if (out != nullptr) {
    result = copy_entry_data(archive, buffer.get(), out);
    // The last block may sit in the stream until the close, so a failing close is a failed write.
    if (fclose(out) != 0 && result == 0) {
      result = -1;
    }
  }
  // The close checks the CRC of data read to its end: a damaged entry must not reach the installation.
  int close_code = unzCloseCurrentFile(archive);
  if (result == 0 && close_code == UNZ_CRCERROR) {
    result = UNZ_CRCERROR;
  }
  return result;
}

int32_t extract_zip(const char* archive_path, const char* destination) {
  zlib_filefunc64_def file_functions;
  fill_platform_file_functions(&file_functions);
  std::string absolute = absolute_archive_path(archive_path);
  if (absolute.empty()) {
    return 1;
  }
  unzFile archive = unzOpen2_64(absolute.c_str(), &file_functions);
  if (archive == nullptr) {
    return 1;
  }
  int code = unzGoToFirstFile(archive);
  while (code == UNZ_OK) {
    code = extract_current_entry(archive, destination);
    if (code == UNZ_OK) {
      code = unzGoToNextFile(archive);
    }
  }
  unzClose(archive);
  return code == UNZ_END_OF_LIST_OF_FILE ? 0 : 1;
}

int32_t extract_packages() {
  if (mkdir_p_cwd(kStagingDir) != 0) {
    return 11;
  }
  std::vector<PackageEntry> packages;
  load_package_list(packages, manifest_json_path());

  if (g_ui_callbacks != nullptr && g_ui_callbacks->unzip_begin != nullptr) {
    g_ui_callbacks->unzip_begin(g_ui_window);
  }
  const int32_t total = static_cast<int32_t>(packages.size());
  log_to("update", spdlog::level::info, "all {} file", total);
  for (int32_t i = 0; i < total; ++i) {
    const std::string& name = packages[static_cast<size_t>(i)].name;
    log_to("update", spdlog::level::info, "begin extract {}", name);
    std::string archive_path = fmt::format("{}/{}", "packages", name);
    if (extract_zip(archive_path.c_str(), kStagingDir) != 0) {
      log_to("update", spdlog::level::info, "end extr0ct file could have chinese {}", name);
      return 12;
    }
    if (g_ui_callbacks != nullptr && g_ui_callbacks->unzip_progress != nullptr) {
      g_ui_callbacks->unzip_progress(g_ui_window, i + 1, total);
    }
  }
  return 0;
}
