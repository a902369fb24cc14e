#include "update/extract_packages.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <minizip/zip.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "common/log.h"
#include "tests/support/linux_tool.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text_lines.h"
#include "update/install_test_support.h"

namespace fs = std::filesystem;

namespace {

struct ZipEntry {
  std::string name;
  std::string data;
  int method = Z_DEFLATED;
};

void write_zip(const fs::path& path, const std::vector<ZipEntry>& entries) {
  zipFile zip = zipOpen64(path.string().c_str(), APPEND_STATUS_CREATE);
  ASSERT_NE(zip, nullptr);
  for (const ZipEntry& entry : entries) {
    zip_fileinfo info{};
    int level = entry.method == Z_DEFLATED ? Z_DEFAULT_COMPRESSION : 0;
    ASSERT_EQ(zipOpenNewFileInZip64(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, entry.method,
                                    level, 0),
              ZIP_OK);
    ASSERT_EQ(zipWriteInFileInZip(zip, entry.data.data(), static_cast<unsigned>(entry.data.size())), ZIP_OK);
    ASSERT_EQ(zipCloseFileInZip(zip), ZIP_OK);
  }
  ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
}

class ExtractPackagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.enter();
    fs::create_directories(dir_ / "packages");
    auto logger = std::make_shared<spdlog::logger>("update", std::make_shared<spdlog::sinks::ostream_sink_st>(log_));
    logger->set_pattern("%v");
    spdlog::register_logger(logger);
    g_log_ready = 1;
  }

  void TearDown() override { spdlog::drop("update"); }

  void write_manifest(const std::vector<std::string>& names) {
    std::string packages;
    for (const std::string& name : names) {
      packages += packages.empty() ? "" : ",";
      packages += "{\"file\":\"" + name + "\",\"checksum\":\"\",\"size\":0}";
    }
    dir_.write("packages/quembra_client_win32_manifest.json", "{\"checksum\":\"\",\"packages\":[" + packages + "]}");
  }

  std::vector<std::string> log_lines() const { return text_lines(log_.str()); }

  ScratchDir dir_;
  std::ostringstream log_;
  SlotRecorder slots_{&UiCallbacks::unzip_begin, &UiCallbacks::unzip_progress};
};

TEST_F(ExtractPackagesTest, ThreePackagesUnpackInManifestOrder) {
  write_zip(dir_ / "packages/one.zip", {{"a.txt", "first"}});
  write_zip(dir_ / "packages/two.zip", {{"b.txt", "second"}});
  write_zip(dir_ / "packages/three.zip", {{"a.txt", "third wins"}});
  write_manifest({"one.zip", "two.zip", "three.zip"});

  EXPECT_EQ(extract_packages(), 0);
  EXPECT_EQ(log_lines(), (std::vector<std::string>{"all 3 file", "begin extract one.zip", "begin extract two.zip",
                                                   "begin extract three.zip"}));
  EXPECT_EQ(SlotRecorder::begin_calls(), 1);
  EXPECT_EQ(SlotRecorder::progress_calls(), (Progress{{1, 3}, {2, 3}, {3, 3}}));
  EXPECT_EQ(dir_.read("packages/tmp/a.txt"), "third wins");
  EXPECT_EQ(dir_.read("packages/tmp/b.txt"), "second");
}

TEST_F(ExtractPackagesTest, MissingSecondPackageStopsTheAttempt) {
  write_zip(dir_ / "packages/one.zip", {{"a.txt", "first"}});
  write_zip(dir_ / "packages/three.zip", {{"c.txt", "third"}});
  write_manifest({"one.zip", "two.zip", "three.zip"});

  EXPECT_EQ(extract_packages(), 12);
  EXPECT_EQ(log_lines(), (std::vector<std::string>{"all 3 file", "begin extract one.zip", "begin extract two.zip",
                                                   "end extr0ct file could have chinese two.zip"}));
  EXPECT_EQ(SlotRecorder::progress_calls(), (Progress{{1, 3}}));
  EXPECT_EQ(dir_.read("packages/tmp/a.txt"), "first");
  EXPECT_FALSE(fs::exists(dir_ / "packages/tmp/c.txt"));
}

TEST_F(ExtractPackagesTest, ManifestWithoutPackagesUnpacksNothing) {
  for (bool manifest_present : {false, true}) {
    SCOPED_TRACE(manifest_present);
    if (manifest_present) {
      write_manifest({});
    }
    log_.str("");
    slots_.clear();
    EXPECT_EQ(extract_packages(), 0);
    EXPECT_EQ(log_lines(), (std::vector<std::string>{"all 0 file"}));
    EXPECT_EQ(SlotRecorder::begin_calls(), 1);
    EXPECT_TRUE(SlotRecorder::progress_calls().empty());
    EXPECT_TRUE(fs::is_directory(dir_ / "packages/tmp"));
  }
}

TEST_F(ExtractPackagesTest, StagingDirectoryThatCannotBeMadeGives11) {
  fs::remove(dir_ / "packages");
  dir_.write("packages", "a file where the directory should be");

  EXPECT_EQ(extract_packages(), 11);
  EXPECT_TRUE(log_lines().empty());
  EXPECT_EQ(SlotRecorder::begin_calls(), 0);
}

TEST_F(ExtractPackagesTest, EntriesMakeTheirDirectoriesAndReplaceStagedFiles) {
  std::string large(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < large.size(); ++i) {
    large[i] = static_cast<char>((i * 7919) % 251);
  }
  dir_.write("packages/tmp/old.txt", "a longer file staged by an earlier run");
  write_zip(dir_ / "packages/p.zip", {{"bin/x.dll", "dll"},
                                      {"data/", ""},
                                      {"old.txt", "new"},
                                      {"empty.txt", ""},
                                      {"big/stored.bin", large, 0},
                                      {"big/deflated.bin", large}});

  EXPECT_EQ(extract_zip("packages/p.zip", "packages/tmp"), 0);
  EXPECT_EQ(dir_.read("packages/tmp/bin/x.dll"), "dll");
  EXPECT_TRUE(fs::is_directory(dir_ / "packages/tmp/data"));
  EXPECT_TRUE(fs::is_empty(dir_ / "packages/tmp/data"));
  EXPECT_EQ(dir_.read("packages/tmp/old.txt"), "new");
  EXPECT_TRUE(fs::exists(dir_ / "packages/tmp/empty.txt"));
  EXPECT_EQ(fs::file_size(dir_ / "packages/tmp/empty.txt"), 0u);
  EXPECT_TRUE(dir_.read("packages/tmp/big/stored.bin") == large);
  EXPECT_TRUE(dir_.read("packages/tmp/big/deflated.bin") == large);
}

TEST_F(ExtractPackagesTest, EntryWhoseFileCannotBeMadeIsSkipped) {
  // A component longer than any file system takes.
  std::string too_long(300, 'n');
  write_zip(dir_ / "packages/p.zip", {{"before.txt", "1"}, {too_long, "lost"}, {"after.txt", "2"}});

  EXPECT_EQ(extract_zip("packages/p.zip", "packages/tmp"), 0);
  EXPECT_EQ(dir_.read("packages/tmp/before.txt"), "1");
  EXPECT_EQ(dir_.read("packages/tmp/after.txt"), "2");
}

TEST_F(ExtractPackagesTest, ArchivesThatCannotBeUnpackedFail) {
  struct Case {
    const char* what;
    std::vector<ZipEntry> entries;  // written as a zip unless raw is set
    const char* raw;
  };
  const std::vector<Case> cases = {
      {"no entries", {}, nullptr},
      {"empty file", {}, ""},
      {"not a zip", {}, "this is not an archive at all, just some text"},
      {"directory under a file", {{"a", "file"}, {"a/b/", ""}}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir_ / "packages/tmp");
    fs::create_directories(dir_ / "packages/tmp");
    if (c.raw != nullptr) {
      dir_.write("packages/p.zip", c.raw);
    } else {
      write_zip(dir_ / "packages/p.zip", c.entries);
    }
    EXPECT_EQ(extract_zip("packages/p.zip", "packages/tmp"), 1);
  }
  EXPECT_EQ(extract_zip("packages/absent.zip", "packages/tmp"), 1);
}

TEST_F(ExtractPackagesTest, EntryNamedOutsideTheStagingDirectoryFailsItsArchive) {
  for (const char* name : {"../escape.txt", "sub/../../escape.txt", "..\\escape.txt", "/escape.txt", "C:escape.txt"}) {
    SCOPED_TRACE(name);
    write_zip(dir_ / "packages/evil.zip", {{"inside.txt", "ok"}, {name, "escaped"}});
    write_manifest({"evil.zip"});
    fs::remove_all(dir_ / "packages/tmp");

    EXPECT_EQ(extract_packages(), 12);
    EXPECT_EQ(list_tree(dir_.path()), (std::vector<std::string>{"packages", "packages/evil.zip",
                                                "packages/quembra_client_win32_manifest.json", "packages/tmp"}));
  }
}

// Makes packages the way a publisher's own tool would: python3 -c SCRIPT SOURCE_DIR OUT_DIR KIND..., where
// SOURCE_DIR holds first.txt and payload.bin; the package of the n-th kind is OUT_DIR/n.zip. Run on the Linux side
// (through the tool server under Wine), once for the whole table.
constexpr const char* kMakePackages = R"PY(
import io, os, struct, subprocess, sys, zipfile, zlib
source, out_dir = sys.argv[1:3]
first = open(os.path.join(source, "first.txt"), "rb").read()
payload = open(os.path.join(source, "payload.bin"), "rb").read()

def python(out, method, names=("first.txt", "payload.bin")):
    with zipfile.ZipFile(out, "w", method) as z:
        for name, data in zip(names, (first, payload)):
            z.writestr(name, data)

def tool(*command):
    run = subprocess.run(command, cwd=source, capture_output=True)
    if run.returncode != 0:
        sys.exit("%s: %s" % (command, run.stderr.decode()))
    return run.stdout

class Unseekable(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)

def streamed(out):
    with open(out, "wb") as f, zipfile.ZipFile(Unseekable(f), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("first.txt", first)
        z.writestr("payload.bin", payload)

def damage_crc(out):
    data = open(out, "rb").read()
    crc = struct.pack("<I", zlib.crc32(payload))
    assert data.count(crc) >= 2, "no CRC to damage"
    open(out, "wb").write(data.replace(crc, struct.pack("<I", zlib.crc32(payload) ^ 1)))

def damage_data(out):
    data = bytearray(open(out, "rb").read())
    data[data.index(payload) + 100] ^= 1
    open(out, "wb").write(data)

def make(kind, out):
    if kind == "python-stored":
        python(out, zipfile.ZIP_STORED)
    elif kind == "zip-deflate":
        tool("zip", "-q", out, "first.txt", "payload.bin")
    elif kind == "7z-deflate":
        tool("7z", "a", "-tzip", out, "first.txt", "payload.bin")
    elif kind == "bsdtar":
        tool("bsdtar", "--format", "zip", "-cf", out, "first.txt", "payload.bin")
    elif kind == "zip-streamed":
        open(out, "wb").write(tool("zip", "-q", "-", "first.txt", "payload.bin"))
    elif kind == "python-streamed":
        streamed(out)
    elif kind.startswith("python-zip64"):
        # Past 4 GiB the records give their sizes and offset in the ZIP64 extra field; a limit of -1 does it here.
        limit, zipfile.ZIP64_LIMIT = zipfile.ZIP64_LIMIT, -1
        python(out, zipfile.ZIP_STORED if kind.endswith("stored") else zipfile.ZIP_DEFLATED)
        zipfile.ZIP64_LIMIT = limit
        if kind.endswith("bad-crc"):
            damage_crc(out)
    elif kind == "python-bzip2":
        python(out, zipfile.ZIP_BZIP2)
    elif kind == "7z-bzip2":
        tool("7z", "a", "-tzip", "-mm=BZip2", out, "first.txt", "payload.bin")
    elif kind == "python-lzma":
        python(out, zipfile.ZIP_LZMA)
    elif kind == "7z-deflate64":
        tool("7z", "a", "-tzip", "-mm=Deflate64", out, "first.txt", "payload.bin")
    elif kind == "zip-encrypted":
        tool("zip", "-q", "-P", "secret", out, "first.txt", "payload.bin")
    elif kind == "stored-bad-data":
        python(out, zipfile.ZIP_STORED)
        damage_data(out)
    elif kind == "deflated-bad-crc":
        python(out, zipfile.ZIP_DEFLATED)
        damage_crc(out)
    elif kind == "streamed-bad-crc":
        streamed(out)
        damage_crc(out)
    elif kind.startswith("names:"):
        python(out, zipfile.ZIP_DEFLATED, names=kind[6:].split("|"))
    else:
        sys.exit("unknown kind " + kind)

for index, kind in enumerate(sys.argv[3:]):
    make(kind, os.path.join(out_dir, "%d.zip" % index))
)PY";

std::string payload_text() {
  std::string text;
  for (int i = 0; i < 20000; ++i) {
    text += "line " + std::to_string(i) + " of an asset that compresses well\n";
  }
  return text;
}

TEST_F(ExtractPackagesTest, PackagesMadeByOtherToolsUnpackWholeOrFailBeforeTheBadEntryIsStaged) {
  const std::string first = "the first entry\n";
  const std::string payload = payload_text();
  dir_.write("src/first.txt", first);
  dir_.write("src/payload.bin", payload);
  write_manifest({"p.zip"});
  using Staged = std::vector<std::string>;
  const Staged both = {"first.txt", "payload.bin"};
  struct Case {
    std::string kind;
    int32_t result;
    Staged staged;  // what packages/tmp holds afterwards
  };
  const std::vector<Case> cases = {
      {"python-stored", 0, both},
      {"zip-deflate", 0, both},
      {"7z-deflate", 0, both},
      {"bsdtar", 0, both},
      {"zip-streamed", 0, both},
      {"python-streamed", 0, both},
      {"python-zip64", 0, both},
      {"python-zip64-stored", 0, both},
      // Two directory entries of one directory are harmless.
      {"names:data/|data\\", 0, {"data"}},
      // Refused by a first walk over the directory: nothing of the archive is staged.
      {"python-bzip2", 12, {}},
      {"7z-bzip2", 12, {}},
      {"python-lzma", 12, {}},
      {"7z-deflate64", 12, {}},
      {"zip-encrypted", 12, {}},
      {"names:data/Readme.txt|data/README.TXT", 12, {}},
      {"names:data/a.txt|data\\a.txt", 12, {}},
      {"names:first.txt|aux.lua", 12, {}},
      {"names:first.txt|trailing.", 12, {}},
      {"names:first.txt|trailing ", 12, {}},
      {"names:first.txt|a:stream", 12, {}},
      // Found only when the data is read: the damaged entry is not left behind.
      {"stored-bad-data", 12, {"first.txt"}},
      {"deflated-bad-crc", 12, {"first.txt"}},
      {"streamed-bad-crc", 12, {"first.txt"}},
      {"python-zip64-bad-crc", 12, {"first.txt"}},
  };
  std::vector<std::string> command = {"python3", "-c", kMakePackages, linux_path(dir_ / "src"),
                                      linux_path(dir_ / "made")};
  for (const Case& c : cases) {
    command.push_back(c.kind);
  }
  fs::create_directories(dir_ / "made");
  const LinuxToolResult made = run_linux_tool(command);
  ASSERT_EQ(made.exit_code, 0) << made.output;

  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.kind);
    fs::remove_all(dir_ / "packages/tmp");
    // mingw's copy_file does not overwrite.
    fs::remove(dir_ / "packages/p.zip");
    fs::copy_file(dir_ / "made" / (std::to_string(i) + ".zip"), dir_ / "packages/p.zip");
    log_.str("");

    EXPECT_EQ(extract_packages(), c.result);
    Staged staged;
    for (const std::string& entry : list_tree(dir_ / "packages/tmp")) {
      staged.push_back(entry);
    }
    std::sort(staged.begin(), staged.end());
    Staged expected = c.staged;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(staged, expected);
    if (c.staged == both) {
      EXPECT_EQ(dir_.read("packages/tmp/first.txt"), first);
      EXPECT_TRUE(dir_.read("packages/tmp/payload.bin") == payload);
    }
    if (c.result == 12) {
      EXPECT_EQ(log_lines().back(), "end extr0ct file could have chinese p.zip");
    }
  }
}

TEST_F(ExtractPackagesTest, DamagedEntryDataFailsItsArchive) {
  const std::string payload = "payload whose bytes are damaged on disk";
  write_zip(dir_ / "packages/p.zip", {{"damaged.txt", payload, 0}});
  std::string bytes = dir_.read("packages/p.zip");
  size_t at = bytes.find(payload);
  ASSERT_NE(at, std::string::npos);
  bytes[at] ^= 0x20;
  dir_.write("packages/p.zip", bytes);
  write_manifest({"p.zip"});

  EXPECT_EQ(extract_packages(), 12);
  EXPECT_TRUE(SlotRecorder::progress_calls().empty());
}

}  // namespace
