#include "update/prune_packages.h"

#include <gtest/gtest.h>

#include "common/file_ops.h"
#include "update/fetch_test_fixture.h"

namespace {

using fetch_test::write_file;

PackageEntry record(const char* name, int32_t size, bool ok) {
  PackageEntry entry;
  entry.name = name;
  entry.size = size;
  entry.ok = ok;
  return entry;
}

// No two names here differ in case only, so the table holds where the file system ignores case too.
TEST(PrunePackagesTest, KeepsOnlyListedZipsThatCheckOutOrCanBeResumed) {
  ScratchDir scratch;
  scratch.enter();
  const struct {
    const char* name;
    size_t length;
    bool kept;
  } files[] = {
      {"b.zip", 10, false},        // not listed
      {"upper.ZIP", 10, true},     // not a package zip: the suffix is compared exactly
      {"b.zip.part", 10, true},    //
      {"readme.txt", 10, true},    //
      {"C.zip", 10, false},        // differs from a listed name in case only
      {"a.zip", 3000, true},       // ok, whatever its length
      {"p.zip", 100, true},        // not ok, shorter than listed: resumed
      {"q.zip", 1000, false},      // not ok, as long as listed
      {"r.zip", 1200, false},      // not ok, longer
      {"n.zip", 5, false},         // not ok, listed without a size
      {"big.zip", 100, true},      // listed as 2^31 + 10 bytes: compared unsigned
      {"dup.zip", 100, true},      // the first of two records counts
  };
  for (const auto& file : files) {
    write_file(std::string("packages/") + file.name, std::string(file.length, 'x'));
  }
  write_file("packages/old.zip/inner.txt", "x");
  write_file("packages/tmp/x.zip", "x");
  const std::vector<PackageEntry> list = {
      record("a.zip", 10, true),  record("c.zip", 10, true),     record("p.zip", 1000, false),
      record("q.zip", 1000, false), record("r.zip", 1000, false), record("n.zip", 0, false),
      record("big.zip", INT32_MIN + 10, false), record("dup.zip", 1000, false), record("dup.zip", 10, false),
      record("absent.zip", 5, false),
  };

  prune_packages(list, (std::string(get_current_dir()) + "/packages").c_str());

  for (const auto& file : files) {
    EXPECT_EQ(std::filesystem::exists(std::string("packages/") + file.name), file.kept) << file.name;
  }
  EXPECT_FALSE(std::filesystem::exists("packages/old.zip"));
  EXPECT_TRUE(std::filesystem::exists("packages/tmp/x.zip"));
}

// Where the file system keeps names apart by case, both can be there at once: only the listed spelling stays.
TEST(PrunePackagesTest, OfTwoZipsDifferingInCaseOnlyTheListedOneStays) {
  ScratchDir scratch;
  scratch.enter();
  write_file("packages/d.zip", "lower");
  write_file("packages/D.zip", "upper");
  if (fetch_test::read_file("packages/d.zip") != "lower") {
    GTEST_SKIP() << "the file system ignores case: d.zip and D.zip are one file";
  }
  write_file("packages/e.ZIP", "x");
  write_file("packages/e.zip", "x");

  prune_packages({record("d.zip", 5, true)}, (std::string(get_current_dir()) + "/packages").c_str());

  EXPECT_TRUE(std::filesystem::exists("packages/d.zip"));
  EXPECT_FALSE(std::filesystem::exists("packages/D.zip"));
  EXPECT_TRUE(std::filesystem::exists("packages/e.ZIP"));
  EXPECT_FALSE(std::filesystem::exists("packages/e.zip"));
}

}  // namespace
