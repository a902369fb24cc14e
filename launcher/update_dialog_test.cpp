#include "launcher/update_dialog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "common/module_path.h"
#include "launcher/ui_texts.h"
#include "launcher/update_worker.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "resources/resource.h"
#include "resources/zantho_resources.h"
#include "tests/support/child_process.h"
#include "tests/support/deep_json.h"
#include "tests/support/scratch_dir.h"

namespace {

using platform::Hwnd;

// The stand-in for the update run: it plays the test's scenario on the worker thread and, like the run,
// owns the table it was given.
std::function<void(UiCallbacks*, Hwnd)> g_scenario;
std::mutex g_worker_mutex;
std::condition_variable g_worker_finished;
bool g_worker_done = false;

int scenario_worker(UiCallbacks* callbacks, Hwnd dialog) {
  if (g_scenario) g_scenario(callbacks, dialog);
  delete callbacks;
  std::lock_guard<std::mutex> lock(g_worker_mutex);
  g_worker_done = true;
  g_worker_finished.notify_all();
  return 0;
}

}  // namespace

// Defined here, the worker entry of launcher/update_worker.cpp is not linked in, and with it not the real run.
int (*g_update_worker)(UiCallbacks* callbacks, platform::Hwnd window) = scenario_worker;

namespace {

Hwnd phase_line(Hwnd dialog) { return platform::get_dlg_item(dialog, IDC_UPDATE_PHASE); }
Hwnd progress_bar(Hwnd dialog) { return platform::get_dlg_item(dialog, IDC_UPDATE_PROGRESS); }

bool have_display() { return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY"); }

// Opens the update dialog with the launcher's own resources and the test's scenario as the run.
class DialogFixture : public testing::Test {
 protected:
  void SetUp() override {
    if (!have_display()) GTEST_SKIP() << "no display: run under xvfb-run";
    g_hinstance = &zantho_resources;
  }
  void TearDown() override {
    g_scenario = nullptr;
    platform::use_test_clock(false);
  }
  // The run outlives the dialog by a little: the result is given once the scenario has finished too.
  intptr_t run_dialog(std::function<void(UiCallbacks*, Hwnd)> scenario) {
    g_scenario = std::move(scenario);
    g_worker_done = false;
    intptr_t result = platform::dialog_box_param(g_hinstance, IDD_UPDATE, nullptr, update_dialog_proc, 0);
    std::unique_lock<std::mutex> lock(g_worker_mutex);
    EXPECT_TRUE(g_worker_finished.wait_for(lock, std::chrono::seconds(20), [] { return g_worker_done; }));
    return result;
  }
  bool english() const { return platform::ui_language() == platform::LANG_ENGLISH_US; }
};

class UpdateDialogTest : public DialogFixture {
 protected:
  void SetUp() override {
    DialogFixture::SetUp();
    dir_.enter();
  }

  ScratchDir dir_;
};

struct SlotCall {
  const char* name;
  std::function<void(UiCallbacks*, Hwnd)> call;
  int bar;
  const wchar_t* text;
};

TEST_F(UpdateDialogTest, SlotsSetTheBarAndThePhaseText) {
  if (!english()) GTEST_SKIP() << "the texts below are the English ones";
  const SlotCall calls[] = {
      {"index_begin", [](UiCallbacks* c, Hwnd d) { c->index_begin(d); }, 0, L"Synchronize index data..."},
      {"index_end", [](UiCallbacks* c, Hwnd d) { c->index_end(d); }, 100, L"Synchronize index data..."},
      {"meta_begin", [](UiCallbacks* c, Hwnd d) { c->meta_begin(d); }, 0, L"Synchronize metadata..."},
      {"meta_progress 1/1", [](UiCallbacks* c, Hwnd d) { c->meta_progress(d, 1, 1); }, 100,
       L"Synchronize metadata..."},
      {"sync_begin", [](UiCallbacks* c, Hwnd d) { c->sync_begin(d); }, 0, L"Sync file package..."},
      {"sync_progress 256/1024", [](UiCallbacks* c, Hwnd d) { c->sync_progress(d, 256, 1024); }, 25,
       L"Sync file package...(25%)"},
      {"sync_progress 0/0", [](UiCallbacks* c, Hwnd d) { c->sync_progress(d, 0, 0); }, 0,
       L"Sync file package...(0%)"},
      {"sync_progress 7/-1", [](UiCallbacks* c, Hwnd d) { c->sync_progress(d, 7, -1); }, 0,
       L"Sync file package...(-700%)"},
      {"sync_progress 1023/1024", [](UiCallbacks* c, Hwnd d) { c->sync_progress(d, 1023, 1024); }, 99,
       L"Sync file package...(99%)"},
      {"sync_progress beyond int", [](UiCallbacks* c, Hwnd d) { c->sync_progress(d, INT32_MAX, -1); }, 0,
       L"Sync file package...(-2147483648%)"},
      {"unzip_begin", [](UiCallbacks* c, Hwnd d) { c->unzip_begin(d); }, 0, L"Expand file..."},
      {"unzip_progress 1/3", [](UiCallbacks* c, Hwnd d) { c->unzip_progress(d, 1, 3); }, 33, L"Expand file..."},
      {"unzip_progress 2/3", [](UiCallbacks* c, Hwnd d) { c->unzip_progress(d, 2, 3); }, 66, L"Expand file..."},
      {"copy_begin", [](UiCallbacks* c, Hwnd d) { c->copy_begin(d); }, 0, L"Copy file..."},
      {"copy_progress 1/1", [](UiCallbacks* c, Hwnd d) { c->copy_progress(d, 1, 1); }, 100, L"Copy file..."},
  };
  intptr_t result = run_dialog([&](UiCallbacks* callbacks, Hwnd dialog) {
    EXPECT_EQ(callbacks->unused_11, nullptr);
    EXPECT_EQ(callbacks->unused_14, nullptr);
    EXPECT_EQ(callbacks->unused_15, nullptr);
    EXPECT_EQ(platform::window_text(phase_line(dialog)), L"");
    for (const SlotCall& c : calls) {
      c.call(callbacks, dialog);
      EXPECT_EQ(platform::progress_position(progress_bar(dialog)), c.bar) << c.name;
      EXPECT_EQ(platform::window_text(phase_line(dialog)), c.text) << c.name;
    }
    callbacks->update_done(dialog, 0);
  });
  EXPECT_EQ(result, 0);
}

// What reached the phase line and the bar, in order, as the window's thread received it.
struct Arrival {
  Hwnd control;
  std::wstring text;  // WM_SETTEXT
  int position;       // PBM_SETPOS
  bool operator==(const Arrival&) const = default;
};

std::mutex g_arrivals_mutex;
std::vector<Arrival> g_arrivals;

void record_arrival(Hwnd window, uint32_t message, platform::Wparam wparam, platform::Lparam lparam) {
  std::lock_guard<std::mutex> lock(g_arrivals_mutex);
  if (message == platform::WM_SETTEXT) g_arrivals.push_back({window, reinterpret_cast<const wchar_t*>(lparam), 0});
  if (message == platform::PBM_SETPOS) g_arrivals.push_back({window, L"", static_cast<int>(wparam)});
}

std::vector<Arrival> arrivals() {
  std::lock_guard<std::mutex> lock(g_arrivals_mutex);
  return g_arrivals;
}

// A download reports every block; the window must get each percentage once, in order, and hold it before the
// slot returns, as when every report was sent.
TEST_F(UpdateDialogTest, RepeatedProgressReachesTheWindowOnlyWhenItChangesSomething) {
  wchar_t sync_text[1024];
  platform::load_string(g_hinstance, 205, sync_text, 1024);
  auto percent_text = [&](int p) { return std::wstring(sync_text) + L"(" + std::to_wstring(p) + L"%)"; };
  constexpr int32_t kTotal = 1000000;
  constexpr int32_t kBlock = 997;
  g_arrivals.clear();
  platform::observe_messages(record_arrival);
  Hwnd line = nullptr;
  Hwnd bar = nullptr;
  int calls = 0;
  intptr_t result = run_dialog([&](UiCallbacks* callbacks, Hwnd dialog) {
    line = phase_line(dialog);
    bar = progress_bar(dialog);
    callbacks->sync_begin(dialog);
    auto report = [&](int32_t done) {
      callbacks->sync_progress(dialog, done, kTotal);
      ++calls;
      int p = static_cast<int>(int64_t{done} * 100 / kTotal);
      // The slot has waited for the window: what it changed is there already.
      std::vector<Arrival> seen = arrivals();
      auto last_on = [&](Hwnd control) {
        auto it = std::find_if(seen.rbegin(), seen.rend(), [&](const Arrival& a) { return a.control == control; });
        return it == seen.rend() ? Arrival{} : *it;
      };
      EXPECT_EQ(last_on(line), (Arrival{line, percent_text(p), 0})) << done;
      EXPECT_EQ(last_on(bar), (Arrival{bar, L"", p})) << done;
    };
    for (int32_t done = 0; done < kTotal; done += kBlock) report(done);
    report(kTotal);
    // A phase in between, then the same percentage again: shown again.
    callbacks->unzip_begin(dialog);
    callbacks->sync_begin(dialog);
    report(kTotal);
    callbacks->update_done(dialog, 0);
  });
  platform::observe_messages(nullptr);
  EXPECT_EQ(result, 0);

  wchar_t unzip_text[1024];
  platform::load_string(g_hinstance, 206, unzip_text, 1024);
  std::vector<Arrival> expected = {{line, sync_text, 0}, {bar, L"", 0}, {line, percent_text(0), 0}};
  for (int p = 1; p <= 100; ++p) {
    expected.push_back({line, percent_text(p), 0});
    expected.push_back({bar, L"", p});
  }
  expected.insert(expected.end(), {{line, unzip_text, 0}, {bar, L"", 0}, {line, sync_text, 0},
                                   {line, percent_text(100), 0}, {bar, L"", 100}});
  EXPECT_EQ(arrivals(), expected);
  EXPECT_GT(calls, 1000);
}

TEST_F(UpdateDialogTest, DoneEndsTheDialogAtOnceWithoutRestore) {
  dir_.write("zantho.old.exe", "old launcher");
  std::chrono::steady_clock::time_point done_sent;
  intptr_t result = run_dialog([&](UiCallbacks* callbacks, Hwnd dialog) {
    done_sent = std::chrono::steady_clock::now();
    callbacks->update_done(dialog, 0);
  });
  EXPECT_EQ(result, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - done_sent, std::chrono::milliseconds(1500));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "zantho.exe"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "zantho.old.exe"));
}

TEST_F(UpdateDialogTest, ErrorShowsItsTextForTwoSecondsThenEndsWith65535AndRestores) {
  if (!english()) GTEST_SKIP() << "the texts below are the English ones";
  dir_.write("zantho.old.exe", "old launcher");
  std::chrono::steady_clock::duration pause{};
  intptr_t result = run_dialog([&](UiCallbacks* callbacks, Hwnd dialog) {
    callbacks->sync_progress(dialog, 512, 1024);
    std::thread observer([dialog] {
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
      EXPECT_EQ(platform::progress_position(progress_bar(dialog)), 0);
      EXPECT_EQ(platform::window_text(phase_line(dialog)), L"Try to start...(Unable to connect to update server)");
    });
    auto start = std::chrono::steady_clock::now();
    callbacks->update_error(dialog, 224);
    pause = std::chrono::steady_clock::now() - start;
    observer.join();
    // The restore has run before the send returned.
    EXPECT_EQ(dir_.read("zantho.exe"), "old launcher");
  });
  EXPECT_EQ(result, 65535);
  EXPECT_GE(pause, std::chrono::milliseconds(1950));
  EXPECT_LT(pause, std::chrono::milliseconds(4000));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "zantho.old.exe"));
}

TEST_F(UpdateDialogTest, ARunThatReturnsWithoutItsLastReportEndsTheDialogAsAFailedRun) {
  dir_.write("zantho.old.exe", "old launcher");
  intptr_t result = run_dialog([](UiCallbacks* callbacks, Hwnd dialog) { callbacks->copy_begin(dialog); });
  EXPECT_EQ(result, 65535);
  EXPECT_EQ(dir_.read("zantho.exe"), "old launcher");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "zantho.old.exe"));
}

struct RestoreCase {
  const char* name;
  bool exe_before;
  bool old_before;
  const char* exe_after;  // null: absent
  bool old_after;
};

void PrintTo(const RestoreCase& c, std::ostream* os) { *os << c.name; }

class UpdateDialogRestoreTest : public UpdateDialogTest, public testing::WithParamInterface<RestoreCase> {};

TEST_P(UpdateDialogRestoreTest, FailedRunPutsTheOldLauncherBackOnlyWhenNoneStands) {
  const RestoreCase& c = GetParam();
  if (c.exe_before) dir_.write("zantho.exe", "new launcher");
  if (c.old_before) dir_.write("zantho.old.exe", "old launcher");
  platform::use_test_clock(true, 1000);
  uint64_t before = platform::tick_count64();
  intptr_t result = run_dialog([](UiCallbacks* callbacks, Hwnd dialog) { callbacks->update_error(dialog, 223); });
  EXPECT_EQ(result, 65535);
  EXPECT_EQ(platform::tick_count64() - before, 2000u) << "the error pause";
  if (c.exe_after) {
    EXPECT_EQ(dir_.read("zantho.exe"), c.exe_after);
  } else {
    EXPECT_FALSE(std::filesystem::exists(dir_ / "zantho.exe"));
  }
  EXPECT_EQ(std::filesystem::exists(dir_ / "zantho.old.exe"), c.old_after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateDialogRestoreTest,
    testing::Values(RestoreCase{"OnlyOldLauncher", false, true, "old launcher", false},
                    RestoreCase{"BothLaunchers", true, true, "new launcher", true},
                    RestoreCase{"OnlyNewLauncher", true, false, "new launcher", false},
                    RestoreCase{"NoLauncher", false, false, nullptr, false}),
    [](const testing::TestParamInfo<RestoreCase>& info) { return std::string(info.param.name); });

// Child processes: each opens the dialog in the directory and environment its parent test gave it.

struct ChildRun {
  int64_t exit_code = -1;  // its low eight bits, as a shell reports it; -1 when it did not run to its end
  std::string log;
};

ChildRun run_child(const ScratchDir& dir, std::vector<std::pair<std::string, std::string>> environment,
                   const std::string& test) {
  environment.emplace_back("ZANTHO_DIALOG_CHILD", "1");
  ChildProcess child({get_module_path_whole(), "--gtest_filter=UpdateDialogChild." + test},
                     {environment, dir.path(), dir / "child.log"});
  ChildRun run;
  if (child.wait(60000)) run.exit_code = child.exit_code() & 0xFF;
  run.log = child.started() ? dir.read("child.log") : child.error();
  return run;
}

// Works in the current directory, which its parent made for it.
class UpdateDialogChild : public DialogFixture {
 protected:
  void SetUp() override {
    if (!std::getenv("ZANTHO_DIALOG_CHILD")) GTEST_SKIP() << "runs only as the child of another test";
    DialogFixture::SetUp();
  }
};

TEST_F(UpdateDialogChild, CancelWhileRunning) {
  run_dialog([](UiCallbacks* callbacks, Hwnd dialog) {
    callbacks->copy_begin(dialog);
    platform::click_button(platform::get_dlg_item(dialog, platform::IDCANCEL));
  });
  ADD_FAILURE() << "the dialog returned after Cancel";
}

TEST_F(UpdateDialogChild, CancelDuringErrorPause) {
  run_dialog([](UiCallbacks* callbacks, Hwnd dialog) {
    std::thread user([dialog] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      platform::click_close_box(dialog);
    });
    user.detach();
    callbacks->update_error(dialog, 224);
  });
  ADD_FAILURE() << "the dialog returned after its close box";
}

// The fault seen in the field: a recursive parse of a deeply nested reply overflows the worker's stack. The child
// ends with 3 when the dialog ended as a failed run, 4 when it ended otherwise, 5 when the worker survived.
TEST_F(UpdateDialogChild, WorkerOverflowsItsStack) {
  g_scenario = [](UiCallbacks* callbacks, Hwnd dialog) {
    callbacks->copy_begin(dialog);
    const std::string deep = nested_arrays(kDeepArrays);
    rapidjson::Document document;
    document.Parse(deep.c_str());
    std::_Exit(5);
  };
  intptr_t result = platform::dialog_box_param(g_hinstance, IDD_UPDATE, nullptr, update_dialog_proc, 0);
  std::_Exit(result == 65535 ? 3 : 4);
}

struct LanguageTexts {
  const char* locale;
  const wchar_t* caption;
  const wchar_t* label;
  const wchar_t* cancel;
  const wchar_t* sync_text;
};

const LanguageTexts kLanguages[] = {
    {"en_US.UTF-8", L"Zantho", L"Zantho is Updating", L"Cancel", L"Sync file package...(25%)"},
    {"zh_CN.UTF-8", L"\u699B\u79BE\u6E38\u620F", L"\u6B63\u5728\u66F4\u65B0\u699B\u79BE\u6E38\u620F ...", L"\u53D6\u6D88",
     L"\u540C\u6B65\u6587\u4EF6\u5305...(25%)"},
    {"zh_TW.UTF-8", L"\u699B\u79BE\u904A\u6232", L"\u6B63\u5728\u66F4\u65B0\u699B\u79BE\u904A\u6232...", L"\u53D6\u6D88",
     L"\u540C\u6B65\u6A94\u5305...(25%)"},
};

TEST_F(UpdateDialogChild, ShowsTheLocalesLanguage) {
  const char* locale = std::getenv("LC_ALL");
  const char* shot = std::getenv("ZANTHO_DIALOG_SHOT");
  ASSERT_NE(locale, nullptr);
  ASSERT_NE(shot, nullptr);
  const LanguageTexts* texts = nullptr;
  for (const LanguageTexts& t : kLanguages) {
    if (std::string(t.locale) == locale) texts = &t;
  }
  ASSERT_NE(texts, nullptr) << locale;
  intptr_t result = run_dialog([&](UiCallbacks* callbacks, Hwnd dialog) {
    callbacks->sync_progress(dialog, 256, 1024);
    EXPECT_EQ(platform::window_text(dialog), texts->caption);
    EXPECT_EQ(platform::window_text(platform::get_dlg_item(dialog, platform::IDC_STATIC)), texts->label);
    EXPECT_EQ(platform::window_text(platform::get_dlg_item(dialog, platform::IDCANCEL)), texts->cancel);
    EXPECT_EQ(platform::window_text(phase_line(dialog)), texts->sync_text);
    bool saved = false;
    for (int i = 0; i < 100 && !saved; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      saved = platform::save_window_image(dialog, shot);
    }
    EXPECT_TRUE(saved);
    callbacks->update_done(dialog, 0);
  });
  EXPECT_EQ(result, 0);
}

TEST_F(UpdateDialogTest, CancelEndsTheProcessWithMinusOneAfterTheRestore) {
  for (const char* test : {"CancelWhileRunning", "CancelDuringErrorPause"}) {
    ScratchDir child_dir;
    child_dir.write("zantho.old.exe", "old launcher");
    ChildRun run = run_child(child_dir, {}, test);
    EXPECT_EQ(run.exit_code, 255) << test << "\n" << run.log;
    EXPECT_EQ(child_dir.read("zantho.exe"), "old launcher") << test;
    EXPECT_FALSE(std::filesystem::exists(child_dir / "zantho.old.exe")) << test;
  }
}

// Where the fault ends the process (Linux, Windows) the window goes with it; where it ends only the worker's
// thread (Wine), the dialog ends as a failed run and restores the launcher. Either way the process ends.
TEST_F(UpdateDialogTest, AWorkerEndedByAFaultNeverLeavesTheDialogOpen) {
  ScratchDir child_dir;
  child_dir.write("zantho.old.exe", "old launcher");
  ChildRun run = run_child(child_dir, {}, "WorkerOverflowsItsStack");
  ASSERT_NE(run.exit_code, -1) << "the dialog outlived its worker\n" << run.log;
  EXPECT_NE(run.exit_code, 0) << run.log;
  EXPECT_NE(run.exit_code, 4) << "the dialog ended with another result\n" << run.log;
  EXPECT_NE(run.exit_code, 5) << "the worker's stack held\n" << run.log;
  if (run.exit_code == 3) {
    EXPECT_EQ(child_dir.read("zantho.exe"), "old launcher");
  }
  std::cout << "[ worker fault ] child exit code " << run.exit_code << "\n";
}

TEST_F(UpdateDialogTest, TheLocaleChoosesTheLanguageOfDialogAndTexts) {
  std::filesystem::path artifacts = build_dir() / "artifacts";
  std::filesystem::create_directories(artifacts);
  for (const LanguageTexts& t : kLanguages) {
    ScratchDir child_dir;
    std::string shot = (artifacts / ("update_dialog_" + std::string(t.locale, 5) + ".png")).string();
    std::filesystem::remove(shot);
    ChildRun run = run_child(child_dir, {{"LC_ALL", t.locale}, {"ZANTHO_DIALOG_SHOT", shot}}, "ShowsTheLocalesLanguage");
    EXPECT_EQ(run.exit_code, 0) << t.locale << "\n" << run.log;
    EXPECT_NE(run.log.find("[  PASSED  ] 1 test."), std::string::npos) << run.log;
    EXPECT_TRUE(std::filesystem::exists(shot)) << shot;
  }
}

}  // namespace
