#include "tools/publisher/zip_writer.h"

#include <cstdio>
#include <fstream>

#include <minizip/zip.h>

namespace {

bool add_entry(zipFile archive, const std::filesystem::path& source, const std::string& name) {
  std::ifstream in(source, std::ios::binary);
  if (!in) {
    return false;
  }
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(source, error);
  if (error) {
    return false;
  }
  zip_fileinfo info{};
  info.tmz_date.tm_year = 2020;
  info.tmz_date.tm_mday = 1;
  const int zip64 = size >= 0xFFFFFFFFu ? 1 : 0;
  if (zipOpenNewFileInZip64(archive, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                            Z_DEFAULT_COMPRESSION, zip64) != ZIP_OK) {
    return false;
  }
  std::vector<char> buffer(65536);
  bool ok = true;
  while (ok && in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const std::streamsize got = in.gcount();
    if (got > 0 && zipWriteInFileInZip(archive, buffer.data(), static_cast<unsigned>(got)) != ZIP_OK) {
      ok = false;
    }
  }
  if (in.bad()) {
    ok = false;
  }
  return zipCloseFileInZip(archive) == ZIP_OK && ok;
}

}  // namespace

bool write_zip(const std::filesystem::path& zip, const std::filesystem::path& image,
               const std::vector<std::string>& names) {
  zipFile archive = zipOpen64(zip.string().c_str(), APPEND_STATUS_CREATE);
  if (archive == nullptr) {
    return false;
  }
  bool ok = true;
  for (const std::string& name : names) {
    if (!add_entry(archive, image / name, name)) {
      std::fprintf(stderr, "cannot add %s to %s\n", name.c_str(), zip.string().c_str());
      ok = false;
      break;
    }
  }
  if (zipClose(archive, nullptr) != ZIP_OK) {
    ok = false;
  }
  return ok;
}
