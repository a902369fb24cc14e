#include "update/extract_packages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <unordered_set>
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
// The largest extra field a central-directory record can carry (its length is 16 bits).
constexpr uLong kExtraBufferSize = 65535;
constexpr ZPOS64_T kZip64Placeholder = 0xFFFFFFFF;
constexpr uint16_t kZip64ExtraId = 0x0001;
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

// Stored and deflated data is all the library decodes. Debian's build, made without bzip2, still takes method 12
// and hands its bytes back raw with no CRC check; an encrypted entry is never given its password.
bool library_decodes(const unz_file_info64& info) {
  return (info.compression_method == 0 || info.compression_method == Z_DEFLATED) && (info.flag & 1) == 0;
}

uint64_t read_le(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) {
    value = (value << 8) | bytes[i];
  }
  return value;
}

// The values an entry's ZIP64 extra field gives for the fields its record holds as placeholders, read as the
// library reports the record. Debian's minizip on 64-bit Linux takes none of them: it compares the record's 32-bit
// placeholder with (unsigned long)-1. Its sizes then stay at 4 GiB less one byte, and its offset too.
struct Zip64Values {
  std::optional<ZPOS64_T> uncompressed_size;
  std::optional<ZPOS64_T> compressed_size;
  // The field after the sizes; what it is only the library that missed the sizes tells.
  std::optional<ZPOS64_T> offset;
};

Zip64Values zip64_values(const unz_file_info64& info, const unsigned char* extra, size_t extra_size) {
  Zip64Values values;
  for (size_t at = 0; at + 4 <= extra_size;) {
    const size_t length = std::min<size_t>(read_le(extra + at + 2, 2), extra_size - at - 4);
    if (read_le(extra + at, 2) == kZip64ExtraId) {
      const unsigned char* field = extra + at + 4;
      const unsigned char* end = field + length;
      auto take = [&field, end](std::optional<ZPOS64_T>& value) {
        if (end - field >= 8) {
          value = read_le(field, 8);
          field += 8;
        }
      };
      if (info.uncompressed_size == kZip64Placeholder) {
        take(values.uncompressed_size);
      }
      if (info.compressed_size == kZip64Placeholder) {
        take(values.compressed_size);
      }
      take(values.offset);
      return values;
    }
    at += 4 + length;
  }
  return values;
}

// A size the library's record lacks; none when it holds the true one.
std::optional<ZPOS64_T> missed(ZPOS64_T held, const std::optional<ZPOS64_T>& value) {
  return value && *value != held ? value : std::nullopt;
}

// The library reads an entry whose record lacks its ZIP64 sizes only up to the placeholder: a larger entry is read
// here, straight from the archive.
bool readable_size(const unz_file_info64& info, const Zip64Values& zip64) {
  for (const std::optional<ZPOS64_T>& size :
       {missed(info.uncompressed_size, zip64.uncompressed_size), missed(info.compressed_size, zip64.compressed_size)}) {
    if (size && *size >= kZip64Placeholder) {
      return false;
    }
  }
  return true;
}

// The current entry's record, name and extra field as the central directory gives them.
struct EntryRecord {
  unz_file_info64 info;
  std::vector<char> name = std::vector<char>(kNameBufferSize, '\0');
  std::vector<unsigned char> extra = std::vector<unsigned char>(kExtraBufferSize);
  Zip64Values zip64;
};

int read_entry_record(unzFile archive, EntryRecord* entry) {
  std::memset(&entry->info, 0, sizeof(entry->info));
  int code = unzGetCurrentFileInfo64(archive, &entry->info, entry->name.data(), kNameBufferSize, entry->extra.data(),
                                     kExtraBufferSize, nullptr, 0);
  if (code == UNZ_OK) {
    entry->zip64 = zip64_values(entry->info, entry->extra.data(),
                                std::min<size_t>(entry->info.size_file_extra, kExtraBufferSize));
  }
  return code;
}

// One walk over the central directory before anything is written, so that an archive holding an entry that
// cannot be unpacked right, or two files that are one on Windows, leaves nothing of itself in the staging directory.
int check_entries(unzFile archive) {
  EntryRecord entry;
  std::unordered_set<std::string> file_keys;
  int code = unzGoToFirstFile(archive);
  while (code == UNZ_OK) {
    code = read_entry_record(archive, &entry);
    if (code != UNZ_OK) {
      return code;
    }
    // The entry loop skips a name that does not fit.
    if (entry.info.size_filename < kNameBufferSize) {
      const std::string entry_name(entry.name.data());
      if (!is_safe_relative_path(entry_name)) {
        return UNZ_BADZIPFILE;
      }
      // Two directory entries naming one directory do no harm.
      if (!ends_with_separator(entry_name) &&
          (!library_decodes(entry.info) || !file_keys.insert(windows_name_key(entry_name)).second)) {
        return UNZ_BADZIPFILE;
      }
    }
    code = unzGoToNextFile(archive);
  }
  return code == UNZ_END_OF_LIST_OF_FILE ? UNZ_OK : code;
}

// The archive's file functions, mended for the entry open now where the library missed its ZIP64 values. With its
// offset placeholder the library seeks from there: the shift takes each seek to the offset the ZIP64 field gives.
// With its size placeholders it reads whole blocks past the entry and fails at the archive's end: those reads
// are filled up with zeros, which nothing uses (the copy stops at the true size and checks the CRC itself).
struct ShiftedSeeks {
  zlib_filefunc64_def inner;
  ZPOS64_T shift = 0;
  bool fill_past_end = false;
  // The library's one stream over the archive, for reading an entry it cannot size.
  voidpf stream = nullptr;
};

ShiftedSeeks& shifted(voidpf opaque) { return *static_cast<ShiftedSeeks*>(opaque); }

voidpf ZCALLBACK shifted_open(voidpf opaque, const void* name, int mode) {
  shifted(opaque).stream = shifted(opaque).inner.zopen64_file(shifted(opaque).inner.opaque, name, mode);
  return shifted(opaque).stream;
}
uLong ZCALLBACK shifted_read(voidpf opaque, voidpf stream, void* buffer, uLong size) {
  uLong count = shifted(opaque).inner.zread_file(shifted(opaque).inner.opaque, stream, buffer, size);
  if (shifted(opaque).fill_past_end && count < size) {
    std::memset(static_cast<char*>(buffer) + count, 0, size - count);
    count = size;
  }
  return count;
}
uLong ZCALLBACK shifted_write(voidpf opaque, voidpf stream, const void* buffer, uLong size) {
  return shifted(opaque).inner.zwrite_file(shifted(opaque).inner.opaque, stream, buffer, size);
}
ZPOS64_T ZCALLBACK shifted_tell(voidpf opaque, voidpf stream) {
  return shifted(opaque).inner.ztell64_file(shifted(opaque).inner.opaque, stream);
}
long ZCALLBACK shifted_seek(voidpf opaque, voidpf stream, ZPOS64_T offset, int origin) {
  // Unsigned arithmetic: a shift below the placeholder wraps around to a smaller offset.
  if (origin == ZLIB_FILEFUNC_SEEK_SET) {
    offset += shifted(opaque).shift;
  }
  return shifted(opaque).inner.zseek64_file(shifted(opaque).inner.opaque, stream, offset, origin);
}
int ZCALLBACK shifted_close(voidpf opaque, voidpf stream) {
  return shifted(opaque).inner.zclose_file(shifted(opaque).inner.opaque, stream);
}
int ZCALLBACK shifted_error(voidpf opaque, voidpf stream) {
  return shifted(opaque).inner.zerror_file(shifted(opaque).inner.opaque, stream);
}

// Routes the file functions through seeks, which keeps the ones given.
void route_through(ShiftedSeeks* seeks, zlib_filefunc64_def* file_functions) {
  seeks->inner = *file_functions;
  *file_functions = {shifted_open, shifted_read,  shifted_write, shifted_tell,
                     shifted_seek, shifted_close, shifted_error, seeks};
}

// Opens the current entry, raw when its data is read here; when the library looked for its local header at the
// offset placeholder, looks again at the offset its ZIP64 field gives. The shift stays until the entry is closed.
int open_entry(unzFile archive, ShiftedSeeks* seeks, const Zip64Values& zip64, bool raw) {
  auto open = [archive, raw] {
    int method = 0;
    int level = 0;
    return raw ? unzOpenCurrentFile3(archive, &method, &level, 1, nullptr)
               : unzOpenCurrentFilePassword(archive, nullptr);
  };
  int code = open();
  if (code == UNZ_BADZIPFILE && seeks != nullptr && zip64.offset) {
    seeks->shift = *zip64.offset - kZip64Placeholder;
    code = open();
    if (code != UNZ_OK) {
      seeks->shift = 0;
    }
  }
  return code;
}

// Writes one block of an entry to out; false for a short write. crc, when given, takes the block in.
bool write_block(const char* buffer, size_t count, FILE* out, uLong* crc) {
  if (fwrite(buffer, count, 1, out) != 1) {
    return false;
  }
  if (crc != nullptr) {
    *crc = crc32(*crc, reinterpret_cast<const Bytef*>(buffer), static_cast<uInt>(count));
  }
  return true;
}

// Reads the open entry's size bytes into out: 0, the library's negative code, -1 for a short write, and
// UNZ_BADZIPFILE when the data ends short (the library checks no CRC then). crc, when given, is computed.
int32_t copy_entry_data(unzFile archive, char* buffer, FILE* out, ZPOS64_T size, uLong* crc) {
  for (ZPOS64_T copied = 0; copied < size;) {
    const unsigned wanted = static_cast<unsigned>(std::min<ZPOS64_T>(kCopyBufferSize, size - copied));
    int count = unzReadCurrentFile(archive, buffer, wanted);
    if (count < 0) {
      return count;
    }
    if (count == 0) {
      return UNZ_BADZIPFILE;
    }
    if (!write_block(buffer, static_cast<size_t>(count), out, crc)) {
      return -1;
    }
    copied += static_cast<ZPOS64_T>(count);
  }
  return 0;
}

// Reads the entry the library opened raw straight from the archive, from where the library found its data:
// compressed bytes, inflated here when deflated, into exactly size bytes of out. 0, -1 for a short write,
// UNZ_ERRNO when the archive cannot be read there, UNZ_BADZIPFILE when the data is damaged or gives another size.
int32_t copy_raw_entry(unzFile archive, ShiftedSeeks& seeks, const unz_file_info64& info, ZPOS64_T compressed,
                       ZPOS64_T size, char* buffer, FILE* out, uLong* crc) {
  auto read = [&seeks](void* to, uLong count) {
    return seeks.inner.zread_file(seeks.inner.opaque, seeks.stream, to, count) == count;
  };
  // The position is the library's own: the seek shifts it as it shifts the library's.
  if (seeks.stream == nullptr ||
      shifted_seek(&seeks, seeks.stream, unzGetCurrentFileZStreamPos64(archive), ZLIB_FILEFUNC_SEEK_SET) != 0) {
    return UNZ_ERRNO;
  }
  if (info.compression_method == 0) {
    if (compressed != size) {
      return UNZ_BADZIPFILE;
    }
    for (ZPOS64_T copied = 0; copied < size;) {
      const uLong count = static_cast<uLong>(std::min<ZPOS64_T>(kCopyBufferSize, size - copied));
      if (!read(buffer, count)) {
        return UNZ_BADZIPFILE;
      }
      if (!write_block(buffer, count, out, crc)) {
        return -1;
      }
      copied += count;
    }
    return 0;
  }

  std::unique_ptr<unsigned char[]> input(new (std::nothrow) unsigned char[kCopyBufferSize]);
  z_stream stream{};
  if (!input || inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
    return UNZ_INTERNALERROR;
  }
  int32_t result = 0;
  ZPOS64_T written = 0;
  for (int status = Z_OK; result == 0 && status != Z_STREAM_END;) {
    if (stream.avail_in == 0) {
      const uLong count = static_cast<uLong>(std::min<ZPOS64_T>(kCopyBufferSize, compressed));
      if (count == 0 || !read(input.get(), count)) {
        result = UNZ_BADZIPFILE;
        break;
      }
      compressed -= count;
      stream.next_in = input.get();
      stream.avail_in = static_cast<uInt>(count);
    }
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = kCopyBufferSize;
    status = inflate(&stream, Z_NO_FLUSH);
    const size_t count = kCopyBufferSize - stream.avail_out;
    if ((status != Z_OK && status != Z_STREAM_END) || count > size - written) {
      result = UNZ_BADZIPFILE;
    } else if (count > 0 && !write_block(buffer, count, out, crc)) {
      result = -1;
    }
    written += count;
  }
  inflateEnd(&stream);
  return result == 0 && written != size ? UNZ_BADZIPFILE : result;
}

int32_t extract_entry(unzFile archive, const char* destination, ShiftedSeeks* seeks) {
  EntryRecord entry;
  int code = read_entry_record(archive, &entry);
  if (code != UNZ_OK) {
    return code;
  }
  const unz_file_info64& info = entry.info;
  const char* name = entry.name.data();
  // A name that does not fit arrives cut and unterminated; like any other name no file can have, it is skipped.
  if (info.size_filename >= kNameBufferSize) {
    return 0;
  }
  // Joined to the staging directory, such a name would write outside it.
  if (!is_safe_relative_path(name)) {
    return UNZ_BADZIPFILE;
  }

  std::string dest(destination);
  std::string target = ends_with_separator(dest) ? fmt::format("{}{}", dest, name) : fmt::format("{}/{}", dest, name);
  if (ends_with_separator(target)) {
    return mkdir_p_cwd(target.c_str());
  }
  // An entry the library cannot read to its end is read here, which needs the archive's stream.
  const bool raw = !readable_size(info, entry.zip64);
  if (!library_decodes(info) || (raw && seeks == nullptr)) {
    return UNZ_BADZIPFILE;
  }
  // Where the library lacks the true size it neither stops there nor checks the CRC: both are done here.
  const std::optional<ZPOS64_T> missed_size = missed(info.uncompressed_size, entry.zip64.uncompressed_size);
  const ZPOS64_T size = missed_size ? *missed_size : info.uncompressed_size;
  const std::optional<ZPOS64_T> missed_compressed = missed(info.compressed_size, entry.zip64.compressed_size);
  uLong crc = crc32(0, nullptr, 0);
  uLong* own_crc = missed_size || raw ? &crc : nullptr;
  size_t last_separator = target.find_last_of("/\\");
  if (last_separator != std::string::npos) {
    mkdir_p_cwd(target.substr(0, last_separator).c_str());
  }

  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyBufferSize]);
  if (!buffer) {
    return UNZ_INTERNALERROR;
  }
  code = open_entry(archive, seeks, entry.zip64, raw);
  if (code != UNZ_OK) {
    return code;
  }
  if (seeks != nullptr && missed_size) {
    seeks->fill_past_end = true;
  }

  int32_t result = 0;
  FILE* out = fopen_cwd(target.c_str(), "wb");
  if (out != nullptr) {
    result = raw ? copy_raw_entry(archive, *seeks, info, missed_compressed ? *missed_compressed : info.compressed_size,
                                  size, buffer.get(), out, own_crc)
                 : copy_entry_data(archive, buffer.get(), out, size, own_crc);
    // The last block may sit in the stream until the close, so a failing close is a failed write.
    if (fclose(out) != 0 && result == 0) {
      result = -1;
    }
  }
  // The close checks the CRC of data read to its end: a damaged entry must not reach the installation.
  int close_code = unzCloseCurrentFile(archive);
  if (seeks != nullptr) {
    seeks->shift = 0;
    seeks->fill_past_end = false;
  }
  if (result == 0 && (close_code == UNZ_CRCERROR || (own_crc != nullptr && out != nullptr && crc != info.crc))) {
    result = UNZ_CRCERROR;
  }
  // Nothing of a damaged entry stays staged.
  if (out != nullptr && result != 0) {
    remove_cwd(target.c_str());
  }
  return result;
}

}  // namespace

int32_t extract_current_entry(unzFile archive, const char* destination) {
  return extract_entry(archive, destination, nullptr);
}

int32_t extract_zip(const char* archive_path, const char* destination) {
  zlib_filefunc64_def file_functions;
  fill_platform_file_functions(&file_functions);
  ShiftedSeeks seeks;
  route_through(&seeks, &file_functions);
  std::string absolute = absolute_archive_path(archive_path);
  if (absolute.empty()) {
    return 1;
  }
  unzFile archive = unzOpen2_64(absolute.c_str(), &file_functions);
  if (archive == nullptr) {
    return 1;
  }
  int code = check_entries(archive);
  if (code == UNZ_OK) {
    code = unzGoToFirstFile(archive);
  }
  while (code == UNZ_OK) {
    code = extract_entry(archive, destination, &seeks);
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
