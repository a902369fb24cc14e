#include "update/installed_check.h"

#include <gtest/gtest.h>

#include "common/file_ops.h"
#include "tests/support/deep_json.h"
#include "update/fetch_test_fixture.h"
#include "update/meta_paths.h"

namespace {

using fetch_test::write_file;

// On disk for every case: hello.txt ("hello", CRC 907060870), bin/client.dll ("client", CRC 3343123541).
struct CheckCase {
  const char* name;
  std::string list;
  int result;
  const char* line;  // the one log line, "" for none; "%L" stands for the long path of "bin\x.dll"
};

std::ostream& operator<<(std::ostream& out, const CheckCase& c) { return out << c.name; }


class InstalledCheckTest : public testing::TestWithParam<CheckCase> {
 protected:
  void SetUp() override {
    // The program directory is a level below the scratch directory, so a name can point outside it.
    scratch_.enter();
    write_file("outside.txt", "hello");
    std::filesystem::create_directories("install");
    std::filesystem::current_path("install");
    write_file("hello.txt", "hello");
    write_file("bin/client.dll", "client");
  }
  ScratchDir scratch_;
};

TEST_P(InstalledCheckTest, ChecksEveryListedFile) {
  const CheckCase& c = GetParam();
  write_file(installed_json_path(), c.list);
  fetch_test::CapturedLog log;
  EXPECT_EQ(check_installed_files(installed_json_path()), c.result);
  std::string expected = c.line;
  const size_t at = expected.find("%L");
  if (at != std::string::npos) {
    std::string long_path = std::string("\\\\?\\") + get_current_dir() + "\\bin\\x.dll";
    to_backslashes(long_path);
    expected.replace(at, 2, long_path);
  }
  EXPECT_EQ(log.lines(), expected.empty() ? std::vector<std::string>{} : std::vector<std::string>{expected});
}

INSTANTIATE_TEST_SUITE_P(
    Lists, InstalledCheckTest,
    testing::Values(
        CheckCase{"AllMatch", R"({"files":[["hello.txt",5,"",907060870],["bin/client.dll",6,"",3343123541]]})", 0,
                  ""},
        CheckCase{"EmptyList", R"({"files":[]})", 0, ""},
        CheckCase{"NoFilesMember", R"({"checksum":"x"})", 0, ""},
        CheckCase{"ExtraElementsIgnored", R"({"files":[["hello.txt",5,{},907060870,"more"]]})", 0, ""},
        CheckCase{"MissingDirectoriesAreNotChecked", R"({"files":[["nodir",-1,"",0],["hello.txt",5,"",907060870]]})",
                  0, ""},
        CheckCase{"SizeAllOnesIsADirectory", R"({"files":[["nothere",4294967295,"",0]]})", 0, ""},
        CheckCase{"NegativeCrcMatchesUnsigned", R"({"files":[["bin\\client.dll",6,"",-951843755]]})", 0, ""},
        CheckCase{"MissingFile", R"({"files":[["bin/x.dll",1,"",0]]})", 11, "error open file failed:%L"},
        CheckCase{"DirectoryListedWithSize", R"({"files":[["bin",0,"",0]]})", 9, "warning check file failed:bin"},
        CheckCase{"WrongSize", R"({"files":[["hello.txt",6,"",907060870]]})", 9, "warning check file failed:hello.txt"},
        CheckCase{"SizeAsFraction", R"({"files":[["hello.txt",5.0,"",907060870]]})", 6, ""},
        CheckCase{"WrongContent", R"({"files":[["bin/client.dll",6,"",907060870]]})", 9,
                  "warning check file failed:bin/client.dll"},
        CheckCase{"FirstBadEntryEndsTheCheck",
                  R"({"files":[["hello.txt",5,"",1],["bin/client.dll",1,"",0],["bin/x.dll",1,"",0]]})", 9,
                  "warning check file failed:hello.txt"},
        CheckCase{"ArrayRoot", R"([["hello.txt",5,"",907060870]])", 6, ""},
        CheckCase{"NotJson", R"({"files":[)", 6, ""},
        CheckCase{"ByteOrderMark", "\xEF\xBB\xBF{\"files\":[]}", 6, ""},
        CheckCase{"FilesNotArray", R"({"files":{"hello.txt":5}})", 6, ""},
        CheckCase{"EntryNotArray", R"({"files":["hello.txt"]})", 6, ""},
        CheckCase{"EntryTooShort", R"({"files":[["hello.txt",5,""]]})", 6, ""},
        CheckCase{"PathNotString", R"({"files":[[7,5,"",907060870]]})", 6, ""},
        CheckCase{"CrcNotInteger", R"({"files":[["hello.txt",5,"","907060870"]]})", 6, ""},
        CheckCase{"MalformedLaterEntryRefusesTheList",
                  R"({"files":[["bin/x.dll",1,"",0],["hello.txt"]]})", 6, ""},
        CheckCase{"ParentComponent", R"({"files":[["../outside.txt",5,"",907060870]]})", 6, ""},
        CheckCase{"ParentComponentBackslash", R"({"files":[["bin\\..\\..\\outside.txt",5,"",907060870]]})", 6, ""},
        CheckCase{"AbsolutePath", R"({"files":[["/etc/hostname",5,"",0]]})", 6, ""},
        CheckCase{"LeadingBackslash", R"({"files":[["\\hello.txt",5,"",907060870]]})", 6, ""},
        CheckCase{"DriveLetter", R"({"files":[["C:hello.txt",5,"",907060870]]})", 6, ""},
        CheckCase{"UnsafeDirectoryEntry", R"({"files":[["../somewhere",-1,"",0]]})", 6, ""},
        // Names Windows would reach only literally, and the launcher's own directories.
        CheckCase{"TrailingDot", R"({"files":[["hello.txt.",5,"",907060870]]})", 6, ""},
        CheckCase{"TrailingSpaceDirectory", R"({"files":[["bin /client.dll",6,"",3343123541]]})", 6, ""},
        CheckCase{"DeviceName", R"({"files":[["bin/aux.lua",1,"",0]]})", 6, ""},
        CheckCase{"Stream", R"({"files":[["hello.txt::$DATA",5,"",907060870]]})", 6, ""},
        CheckCase{"InsideLogs", R"({"files":[["logs/update",1,"",0]]})", 6, ""},
        CheckCase{"InsidePackages", R"({"files":[["Packages\\x.zip",1,"",0]]})", 6, ""},
        // Nested deeper than a recursive parser's stack allows: read whole, judged as any other list.
        CheckCase{"DeepArraysAsEntry", R"({"files":)" + nested_arrays(kDeepArrays) + "}", 6, ""},
        CheckCase{"DeepObjectsAsEntry", R"({"files":[)" + nested_objects(kDeepObjects) + "]}", 6, ""},
        CheckCase{"DeepArraysRoot", nested_arrays(kDeepArrays), 6, ""},
        CheckCase{"DeepMemberBesideGoodFiles",
                  R"({"x":)" + nested_objects(kDeepObjects) + R"(,"files":[["hello.txt",5,"",907060870]]})", 0,
                  ""}),
    [](const testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

TEST(InstalledCheckOpenTest, UnreadableListCannotBeOpened) {
  ScratchDir scratch;
  scratch.enter();
  fetch_test::CapturedLog log;
  EXPECT_EQ(check_installed_files(installed_json_path()), 11);
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace
