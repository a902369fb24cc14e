#include "update/extract_packages.h"

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
                                                "packages/quembra_client_win32_manifest.json", "packages/tmp",
                                                "packages/tmp/inside.txt"}));
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
