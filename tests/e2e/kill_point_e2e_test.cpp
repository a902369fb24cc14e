// The launcher in the default mode killed with SIGKILL right before one of its file-changing calls (download,
// extraction, copy, removal of the staging), then started again as a user would: the installation must come back
// whole, with nothing of the interrupted copy left and the service step run.
// ZANTHO_KILL_POINTS=all (every call of the copy) or a number of points spread over it, for measuring (slow).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/nginx_fixture.h"
#include "tests/support/probe_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_data.h"
#include "tools/publisher/publisher.h"

namespace fs = std::filesystem;

namespace {

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_all(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

enum class Removal { none, first_and_last, every };

// Which calls of a repair to kill at.
struct Span {
  bool download;     // of the packages, and their extraction
  long copy_spread;  // calls spread over the copy, with every rename of the launcher's names; 0: none
  Removal removal;   // of the staging; every: with the calls that follow it up to the end of the update
};

struct Point {
  std::string kind;  // the helper's class of the call
  long index;        // within the class
  long offset;       // counted calls of any class after that one
  std::string label() const {
    return kind + ":" + std::to_string(index) + (offset > 0 ? "+" + std::to_string(offset) : "");
  }
};

// One counted call of a run that was not killed: its class and path.
struct Call {
  long total;  // among all counted calls
  std::string kind;
  long index;
  std::string name;
  std::string path;
};

std::vector<Call> read_record(const fs::path& record) {
  std::vector<Call> calls;
  std::istringstream in(read_all(record));
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    Call call;
    if (words >> call.total >> call.kind >> call.index >> call.name >> call.path) {
      calls.push_back(call);
    }
  }
  return calls;
}

class KillPointE2E : public testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
    image_ = scratch_ / "image";
    cdn_ = scratch_ / "cdn";
    install_ = scratch_ / "install";
    fs::create_directories(cdn_);
    nginx_ = std::make_unique<NginxFixture>(cdn_, scratch_ / "nginx");
    ASSERT_TRUE(nginx_->ok()) << nginx_->error();

    // The published launcher is a newer build: the same program with a different image.
    old_launcher_ = read_all(build_dir() / "zantho.exe");
    const fs::path standins = build_dir() / "standins";
    write_all(image_ / "zantho.exe", old_launcher_ + "newer build");
    write_all(image_ / "zanthoui.exe", read_all(standins / "zanthoui.exe"));
    write_all(image_ / "bin" / "quillon.dll", read_all(standins / "bin" / "quillon.dll"));
    write_all(image_ / "ZanthoClientService.exe", read_all(standins / "ZanthoClientService.exe"));
    write_all(image_ / "data" / "readme.txt", "zantho games\n");
    write_all(image_ / "data" / "levels" / "one.bin", random_bytes(1 << 20, 1));
    write_all(image_ / "data" / "levels" / "two.bin", random_bytes(300000, 2));
    for (const auto& entry : fs::recursive_directory_iterator(image_)) {
      if (entry.is_regular_file()) {
        image_files_.push_back(fs::relative(entry.path(), image_));
      }
    }

    PublishOptions options;
    options.image = image_;
    options.out = cdn_;
    options.packages = {{"programs.zip", {"zantho.exe", "zanthoui.exe", "ZanthoClientService.exe", "bin"}},
                        {"data.zip", {"*"}}};
    options.cdndomain = "127.0.0.1:" + std::to_string(nginx_->https_port());
    PublishResult published;
    ASSERT_EQ(publish_tree(options, &published), 0);
  }

  // An older installation: the old launcher, the programs, and data that differs from the published.
  void install_old_version() {
    std::error_code ignored;
    fs::remove_all(install_, ignored);
    for (const fs::path& file : image_files_) {
      write_all(install_ / file, old_content(file));
      fs::permissions(install_ / file, fs::perms::owner_exec | fs::perms::group_exec, fs::perm_options::add);
    }
    write_all(install_ / "config.json", "{\"zantho\":{\"indexserver\":\"127.0.0.1:" +
                                            std::to_string(nginx_->https_port()) + "\",\"precheck\":" +
                                            std::to_string(precheck_) + "}}");
  }

  // What a repaired installation holds: the published image, but with precheck 2 the launcher stays the old one.
  std::string repaired_content(const fs::path& file) const {
    return precheck_ == 2 && file == "zantho.exe" ? old_launcher_ : read_all(image_ / file);
  }

  std::string old_content(const fs::path& file) const {
    if (file == "zantho.exe") return old_launcher_;
    if (file.begin()->string() == "data") return "old " + file.generic_string();
    return read_all(image_ / file);
  }

  // Runs zantho.exe in the installation through the helper; returns the helper's exit code.
  int run_helper(const std::string& helper_arguments, int run) {
    fs::path platform = scratch_ / ("platform-" + std::to_string(run));
    // LeakSanitizer cannot run under ptrace; the traced launcher of a sanitizer build goes without it.
    std::string command = "cd " + shell_quote(install_.string()) +
                          " && env \"ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" ZANTHO_PLATFORM_DIR=" +
                          shell_quote(platform.string()) + " CURL_CA_BUNDLE=" +
                          shell_quote(nginx_->ca_file().string()) + " ZANTHO_MESSAGE_BOX_LOG=" +
                          shell_quote((scratch_ / "message_boxes.txt").string()) + " " +
                          shell_quote((build_dir() / "tests/support/kill_point/kill_point").string()) + " " +
                          helper_arguments + " -- ./zantho.exe >" + shell_quote((scratch_ / "out.txt").string()) +
                          " 2>&1; echo $? >" + shell_quote((scratch_ / "exit.txt").string());
    if (std::system(command.c_str()) != 0) {
      return -1000;
    }
    return std::stoi(read_all(scratch_ / "exit.txt"));
  }

  int run_traced(const std::string& kill, const fs::path& record, int run) {
    return run_helper("--watch " + shell_quote(install_.string()) + " --record " + shell_quote(record.string()) +
                          (kill.empty() ? "" : " --kill " + kill),
                      run);
  }

  // What is wrong with the installation after a kill: every file is its old or its new self, never cut.
  std::string damage_after_kill() const {
    std::string damage;
    for (const fs::path& file : image_files_) {
      std::string now = read_all(install_ / file);
      bool exists = fs::exists(install_ / file);
      if (!exists && file == "zantho.exe") {
        damage += " zantho.exe missing;";
      } else if (exists && now != old_content(file) && now != read_all(image_ / file)) {
        const std::string name = file.generic_string();
        const std::string size = std::to_string(now.size());
        damage += " " + name + " cut (" + size + " bytes);";
      }
    }
    return damage;
  }

  std::string differences_from_image() const {
    std::string differences;
    for (const fs::path& file : image_files_) {
      if (read_all(install_ / file) != repaired_content(file)) {
        differences += ' ';
        differences += file.generic_string();
      }
    }
    return differences;
  }

  // The points to try, chosen from a run that was not killed.
  std::vector<Point> choose_points(const std::vector<Call>& calls, const Span& span) const {
    std::map<std::string, long> counts;
    for (const Call& call : calls) {
      counts[call.kind] = std::max(counts[call.kind], call.index);
    }
    std::vector<Point> points;
    std::set<std::string> taken;
    auto add = [&](const std::string& kind, long index, long offset = 0) {
      Point point{kind, index, offset};
      if (index >= 1 && index <= counts[kind] && taken.insert(point.label()).second) {
        points.push_back(point);
      }
    };
    if (span.download) {
      // Downloads are not the same from run to run: points early enough to be reached every time.
      add("packages", 1);
      add("packages", counts["packages"] / 2);
      add("staging", counts["staging"] / 2);
    }
    if (span.copy_spread > 0) {
      // ZANTHO_KILL_POINTS: "all" calls of the copy, or how many spread over it.
      const char* wanted = std::getenv("ZANTHO_KILL_POINTS");
      bool all = wanted != nullptr && std::string(wanted) == "all";
      long spread = wanted != nullptr && !all ? std::max(2L, std::atol(wanted)) : span.copy_spread;
      long copy_calls = counts["install"];
      for (long i = 0; i < (all ? copy_calls : spread); ++i) {
        add("install", all ? i + 1 : 1 + i * (copy_calls - 1) / (spread - 1));
      }
      for (const Call& call : calls) {
        if (call.kind == "install" && call.path.find("zantho") != std::string::npos && call.name.find("rename") == 0) {
          add("install", call.index);
        }
      }
    }
    // The staging is removed once the copy has begun; the client's runtime writes after the update has ended.
    auto copy_begin = std::find_if(calls.begin(), calls.end(), [](const Call& call) { return call.kind == "install"; });
    std::vector<Call> removal;
    std::copy_if(copy_begin, calls.end(), std::back_inserter(removal),
                 [](const Call& call) { return call.kind == "staging"; });
    if (span.removal == Removal::none || removal.empty()) {
      return points;
    }
    for (const Call& call : removal) {
      if (span.removal == Removal::every || &call == &removal.front() || &call == &removal.back()) {
        add("staging", call.index);
      }
    }
    auto after = std::find_if(calls.begin(), calls.end(),
                              [&](const Call& call) { return call.total > removal.back().total; });
    for (long offset = 1; span.removal == Removal::every && after != calls.end() && after->kind != "install";
         ++offset, ++after) {
      add("staging", removal.back().index, offset);
    }
    return points;
  }

  // Every entry of the installation but the logs, the launcher's old name and the records of the stand-in programs
  // (written in their own time, which the end of a run may come before).
  std::set<std::string> tree() const {
    const std::set<std::string> passed_over = {"logs", "zantho.old.exe", "zanthoui.calls", "quillon.calls",
                                               "service_log.txt"};
    std::set<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(install_)) {
      std::string name = fs::relative(entry.path(), install_).generic_string();
      if (passed_over.count(name) == 0 && name.rfind("logs/", 0) != 0) {
        entries.insert(name);
      }
    }
    return entries;
  }

  // What a run left beside what a run that was not killed leaves. zantho.old.exe may stay as the image the last
  // launcher ran from, which cannot be removed while it runs; with no image given, as any (a finished copy's).
  std::string leftovers(const std::set<std::string>& clean, const fs::path& last_image) const {
    std::string left;
    for (const std::string& name : tree()) {
      if (clean.count(name) == 0) left += " " + name;
    }
    const fs::path old_name = install_ / "zantho.old.exe";
    std::error_code different;
    if (!last_image.empty() && fs::exists(old_name) && !fs::equivalent(old_name, last_image, different)) {
      left += " zantho.old.exe";
    }
    return left;
  }

  static size_t count(const std::string& text, const std::string& word) {
    size_t found = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++found;
    return found;
  }

  // Kills a repair at each chosen point and starts the launcher again; the failures, one line each.
  std::string sweep(const Span& span, int* tried) {
    install_old_version();
    fs::path calibration = scratch_ / "calibration.txt";
    if (run_traced("", calibration, 0) != 0) return "calibration run failed: " + read_all(scratch_ / "out.txt");
    if (!differences_from_image().empty()) return "calibration run left:" + differences_from_image();
    const std::set<std::string> clean = tree();
    std::vector<Point> points = choose_points(read_record(calibration), span);

    int run = 0;
    int recovered = 0;
    std::string failures;
    for (const Point& point : points) {
      install_old_version();
      fs::path record = scratch_ / ("record-" + point.label() + ".txt");
      int killed = run_traced(point.label(), record, ++run);
      if (killed == 1) {
        continue;  // the run ended before the point (a download that took fewer calls): nothing was killed
      }
      if (killed != 0) return point.label() + ": " + read_all(scratch_ / "out.txt");
      ++*tried;
      std::string damage = damage_after_kill();
      // A kill before the service step leaves the step and the copy's leftovers to the next start.
      size_t service_runs = count(read_all(install_ / "service_log.txt"), "install|");
      bool tail_left = service_runs == 0;
      // The file the next launcher runs from, held by a second name.
      const fs::path image = scratch_ / "next-image";
      std::error_code ignored;
      fs::remove(image, ignored);
      fs::create_hard_link(install_ / "zantho.exe", image, ignored);
      int exit_code = run_helper("--untraced", ++run);
      std::string differences = differences_from_image();
      std::string left = leftovers(clean, tail_left ? image : fs::path());
      bool serviced = !tail_left || count(read_all(install_ / "service_log.txt"), "install|") > service_runs;
      if (damage.empty() && exit_code == 0 && differences.empty() && left.empty() && serviced) {
        ++recovered;
      } else {
        std::vector<Call> calls = read_record(record);
        std::string call = calls.empty() ? "" : " before " + calls.back().name + " " + calls.back().path;
        failures += "\n  " + point.label() + call + ":" + damage + " next start " + std::to_string(exit_code) +
                    (differences.empty() ? "" : ", differs:" + differences) + (left.empty() ? "" : ", left:" + left) +
                    (serviced ? "" : ", no service step");
      }
    }
    std::cout << "precheck " << precheck_ << ": recovered " << recovered << " of " << *tried << " kill points\n";
    return failures;
  }

  ScratchDir scratch_;
  fs::path image_, cdn_, install_;
  std::vector<fs::path> image_files_;
  std::string old_launcher_;
  int precheck_ = 1;
  std::unique_ptr<NginxFixture> nginx_;
};

TEST_F(KillPointE2E, EveryKillLeavesALauncherThatRepairsTheInstallation) {
  int tried = 0;
  EXPECT_EQ(sweep({true, 8, Removal::none}, &tried), "");
  EXPECT_GE(tried, 12);
}

// Every file is in place by then: the next start finds nothing to repair and must finish the copy all the same.
TEST_F(KillPointE2E, EveryKillAfterTheFilesAreInPlaceLeavesTheCopyToBeFinished) {
  int tried = 0;
  EXPECT_EQ(sweep({false, 0, Removal::every}, &tried), "");
  EXPECT_GE(tried, 8);
}

// precheck 2 keeps the old launcher: no kill may leave the new one in its place.
TEST_F(KillPointE2E, WithPrecheck2EveryKillKeepsTheOldLauncher) {
  precheck_ = 2;
  int tried = 0;
  EXPECT_EQ(sweep({false, 4, Removal::first_and_last}, &tried), "");
  EXPECT_GE(tried, 8);
}

}  // namespace
