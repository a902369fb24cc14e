// What the file layer does for a user who is not root. The suite may run as root, which may write anywhere, so
// these cases run in a child process that has given up root first.
#include "platform/files.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

// Runs the steps in a child as an unprivileged user; 0 when every step held, else the number of the first that
// did not.
int run_unprivileged(const std::vector<std::function<bool()>>& steps) {
  pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
      _exit(100);
    }
    for (size_t i = 0; i < steps.size(); ++i) {
      if (!steps[i]()) {
        _exit(static_cast<int>(i + 1));
      }
    }
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

mode_t mode_of(const fs::path& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(FilesPosixTest, ReadOnlyDirectoriesDoNotProtectTheirEntriesFromAnyUser) {
  ScratchDir scratch;
  fs::path world = scratch / "world";
  fs::create_directory(world);
  fs::permissions(scratch.path(), fs::perms::owner_all | fs::perms::others_exec);
  fs::permissions(world, fs::perms::all);
  fs::path tree = world / "tree";
  fs::path ro = tree / "ro";
  std::string file = (ro / "file").string();
  std::string sub = (ro / "sub").string();
  std::string ro_text = ro.string();
  int failed = run_unprivileged({
      [&] {
        FILE* made = fs::create_directories(ro / "sub") ? std::fopen(file.c_str(), "w") : nullptr;
        return made != nullptr && std::fclose(made) == 0;
      },
      [&] {
        return platform::set_file_attributes(sub.c_str(), platform::FILE_ATTRIBUTE_READONLY) &&
               platform::set_file_attributes(ro_text.c_str(), platform::FILE_ATTRIBUTE_READONLY);
      },
      [&] { return platform::delete_file(file.c_str()) && !fs::exists(file); },
      [&] { return mode_of(ro) == 0555; },  // the attribute is kept
      // A directory keeps its own attribute: it goes once that is reset, also from a read-only parent.
      [&] {
        return !platform::remove_directory(sub.c_str()) && platform::last_error() == platform::ERROR_ACCESS_DENIED;
      },
      [&] { return platform::set_file_attributes(sub.c_str(), platform::FILE_ATTRIBUTE_NORMAL); },
      [&] { return platform::remove_directory(sub.c_str()) && !fs::exists(sub); },
      [&] { return platform::set_file_attributes(ro_text.c_str(), platform::FILE_ATTRIBUTE_NORMAL); },
      [&] { return platform::remove_directory(ro_text.c_str()) && !fs::exists(ro); },
  });
  EXPECT_EQ(failed, 0);
}

}  // namespace
