#include "platform/ui.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <string>
#include <thread>

#include "platform/errors.h"

namespace platform {
namespace {

constexpr int kDialogId = 500;
constexpr int kBarId = 11;
constexpr int kTextId = 12;

const DialogItemTemplate kItems[] = {
    {kBarId, "msctls_progress32", nullptr, 0x50800001u, 0, 10, 10, 180, 12},
    {kTextId, "Static", "first text", 0x50020000u, 0, 10, 30, 120, 8},
    {IDCANCEL, "Button", "Cancel", 0x50010000u, 0, 140, 40, 50, 14},
};
const DialogItemTemplate kBadItems[] = {{1, "SysListView32", nullptr, 0x50000000u, 0, 0, 0, 10, 10}};
const DialogTemplate kDialogs[] = {
    {kDialogId, LANG_ENGLISH_US, 0x80CA08C8u, 0, 0, 0, 200, 60, "Test dialog", "MS Shell Dlg", 8, 400, false, 1,
     kItems, 3},
    {kDialogId + 1, LANG_ENGLISH_US, 0x80CA08C8u, 0, 0, 0, 50, 50, "Bad", "MS Shell Dlg", 8, 400, false, 1,
     kBadItems, 1},
};
const StringResource kStrings[] = {
    {1, LANG_ENGLISH_US, L"hello"},
    {1, LANG_CHINESE_TRADITIONAL, L"\u4F60\u597D"},
    {2, LANG_CHINESE_SIMPLIFIED, L"only simplified"},
};
const ModuleResources kModule = {kDialogs, 2, kStrings, 3};

bool have_display() { return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY"); }

// The procedure of the test dialog hands WM_INITDIALOG and WM_COMMAND to the test's functions.
std::function<void(Hwnd)> g_on_init;
std::function<void(Hwnd, Wparam, Lparam)> g_on_command;

intptr_t test_proc(Hwnd dialog, uint32_t message, Wparam wparam, Lparam lparam) {
  if (message == WM_INITDIALOG) {
    if (g_on_init) g_on_init(dialog);
    return 1;
  }
  if (message == WM_COMMAND) {
    if (g_on_command) g_on_command(dialog, wparam, lparam);
    return 1;
  }
  return 0;
}

class UiTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!have_display()) GTEST_SKIP() << "no display: run under xvfb-run";
  }
  void TearDown() override {
    if (worker_.joinable()) worker_.join();
    g_on_init = nullptr;
    g_on_command = nullptr;
  }
  // Opens the dialog; `work` runs on a thread of its own once the dialog has been made.
  intptr_t run_dialog(std::function<void(Hwnd)> work) {
    g_on_init = [this, work](Hwnd dialog) { worker_ = std::thread(work, dialog); };
    return dialog_box_param(&kModule, kDialogId, nullptr, test_proc, 0);
  }

  std::thread worker_;
};

TEST_F(UiTest, SendsFromAnotherThreadAreCarriedOutOnTheDialogsThreadBeforeTheyReturn) {
  std::thread::id gui_thread = std::this_thread::get_id();
  std::atomic<bool> handled_on_gui{false};
  g_on_command = [&](Hwnd dialog, Wparam wparam, Lparam lparam) {
    handled_on_gui = std::this_thread::get_id() == gui_thread;
    if (low_word(wparam) == 77) end_dialog(dialog, lparam);
  };
  Hwnd gone = nullptr;
  intptr_t result = run_dialog([&](Hwnd dialog) {
    gone = dialog;
    EXPECT_EQ(window_text(dialog), L"Test dialog");
    EXPECT_EQ(window_text(get_dlg_item(dialog, kTextId)), L"first text");
    EXPECT_EQ(send_dlg_item_message(dialog, kTextId, WM_SETTEXT, 0, reinterpret_cast<Lparam>(L"\u540C\u6B65 2")), 1);
    EXPECT_EQ(window_text(get_dlg_item(dialog, kTextId)), L"\u540C\u6B65 2");
    send_message(dialog, WM_COMMAND, 5, 0);
    EXPECT_TRUE(handled_on_gui);
    send_message(dialog, WM_COMMAND, 77, 1234);
  });
  EXPECT_EQ(result, 1234);
  // The dialog is gone: sends fail at once instead of waiting for a window that will never answer.
  set_last_error(0);
  EXPECT_EQ(send_message(gone, WM_SETTEXT, 0, reinterpret_cast<Lparam>(L"late")), 0);
  EXPECT_EQ(last_error(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(get_dlg_item(gone, kTextId), nullptr);
}

TEST_F(UiTest, ProgressBarHoldsItsPositionInsideItsRange) {
  intptr_t result = run_dialog([](Hwnd dialog) {
    Hwnd bar = get_dlg_item(dialog, kBarId);
    struct Case {
      int sent;
      int shown;
    };
    for (Case c : {Case{25, 25}, Case{-100, 0}, Case{100, 100}, Case{250, 100}, Case{0, 0}}) {
      send_message(bar, PBM_SETPOS, static_cast<Wparam>(c.sent), 0);
      EXPECT_EQ(progress_position(bar), c.shown) << "sent " << c.sent;
    }
    EXPECT_EQ(send_message(bar, PBM_SETPOS, 40, 0), 0) << "the previous position";
    EXPECT_EQ(send_message(bar, PBM_SETRANGE, 0, make_lparam(0, 20)), make_lparam(0, 100)) << "the previous range";
    EXPECT_EQ(progress_position(bar), 20);
    end_dialog(dialog, 0);
  });
  EXPECT_EQ(result, 0);
}

TEST_F(UiTest, SendsOnTheDialogsOwnThreadRunInlineAndTheDialogCanEndBeforeItIsShown) {
  g_on_init = [](Hwnd dialog) {
    EXPECT_EQ(send_dlg_item_message(dialog, kBarId, PBM_SETPOS, 40, 0), 0);
    EXPECT_EQ(progress_position(get_dlg_item(dialog, kBarId)), 40);
    end_dialog(dialog, 9);
  };
  EXPECT_EQ(dialog_box_param(&kModule, kDialogId, nullptr, test_proc, 0), 9);
}

struct UserAction {
  const char* name;
  std::function<bool(Hwnd)> act;
};

void PrintTo(const UserAction& action, std::ostream* os) { *os << action.name; }

class UiCancelTest : public UiTest, public testing::WithParamInterface<UserAction> {};

TEST_P(UiCancelTest, SendsCancelToTheProcedure) {
  g_on_command = [](Hwnd dialog, Wparam wparam, Lparam) {
    if (low_word(wparam) == IDCANCEL) end_dialog(dialog, 7);
  };
  intptr_t result = run_dialog([](Hwnd dialog) {
    EXPECT_TRUE(GetParam().act(dialog));
    // A dialog the action did not end would keep the test waiting: end it after a while and fail.
    for (int i = 0; i < 250 && get_dlg_item(dialog, kTextId); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (get_dlg_item(dialog, kTextId)) {
      ADD_FAILURE() << "the dialog did not get IDCANCEL";
      end_dialog(dialog, -2);
    }
  });
  EXPECT_EQ(result, 7);
}

INSTANTIATE_TEST_SUITE_P(
    Actions, UiCancelTest,
    testing::Values(UserAction{"CancelButton", [](Hwnd d) { return click_button(get_dlg_item(d, IDCANCEL)); }},
                    UserAction{"EscapeKey", [](Hwnd d) { return press_escape(d); }},
                    UserAction{"CloseBox", [](Hwnd d) { return click_close_box(d); }}),
    [](const testing::TestParamInfo<UserAction>& info) { return std::string(info.param.name); });

TEST_F(UiTest, DialogThatCannotBeMadeGivesMinusOne) {
  EXPECT_EQ(dialog_box_param(&kModule, 999, nullptr, test_proc, 0), -1);
  EXPECT_EQ(dialog_box_param(&kModule, kDialogId + 1, nullptr, test_proc, 0), -1) << "unknown control class";
  EXPECT_EQ(dialog_box_param(nullptr, kDialogId, nullptr, test_proc, 0), -1);
}

TEST_F(UiTest, MessageBoxShowsItsTextAndEndsWithOk) {
  std::thread user([] {
    Hwnd box = nullptr;
    for (int i = 0; i < 500 && !box; ++i) {
      box = find_window(L"Box caption");
      if (!box) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(window_text(get_dlg_item(box, 0xFFFF)), L"Something failed.");
    EXPECT_TRUE(click_button(get_dlg_item(box, IDOK)));
  });
  EXPECT_EQ(message_box(nullptr, L"Something failed.", L"Box caption", MB_OK | MB_ICONERROR), IDOK);
  user.join();
}

TEST(UiStrings, LoadStringCopiesWhatFitsAndFallsBackToEnglishThenAnyLanguage) {
  wchar_t buffer[16];
  EXPECT_EQ(load_string(&kModule, 1, buffer, 16), 5);
  EXPECT_EQ(std::wstring(buffer), ui_language() == LANG_CHINESE_TRADITIONAL ? L"\u4F60\u597D" : L"hello");
  if (ui_language() == LANG_ENGLISH_US) {
    EXPECT_EQ(load_string(&kModule, 1, buffer, 4), 3);
    EXPECT_EQ(std::wstring(buffer), L"hel");
  }
  EXPECT_EQ(load_string(&kModule, 2, buffer, 16), 15);
  EXPECT_EQ(std::wstring(buffer), L"only simplified");
  set_last_error(0);
  EXPECT_EQ(load_string(&kModule, 3, buffer, 16), 0);
  EXPECT_EQ(buffer[0], L'\0');
  EXPECT_EQ(last_error(), ERROR_RESOURCE_NAME_NOT_FOUND);
}

TEST(UiStrings, LanguageFollowsTheLocale) {
  struct Case {
    const char* locale;
    uint16_t language;
  };
  for (Case c : {Case{"zh_CN.UTF-8", 2052}, Case{"zh_SG", 2052}, Case{"zh_TW.UTF-8", 1028}, Case{"zh_HK.Big5", 1028},
                 Case{"zh_MO@euro", 1028}, Case{"zh_cn.utf8", 2052}, Case{"en_US.UTF-8", 1033}, Case{"C", 1033},
                 Case{"C.UTF-8", 1033}, Case{"zh", 1033}, Case{"zh_", 1033}, Case{"ja_JP.UTF-8", 1033}, Case{"", 1033},
                 Case{nullptr, 1033}}) {
    EXPECT_EQ(ui_language_for_locale(c.locale), c.language) << (c.locale ? c.locale : "(null)");
  }
}

// Run in a child process without a display by the test below.
TEST(UiNoDisplay, ChildSeesNoWindowMade) {
  if (!std::getenv("ZANTHO_UI_NO_DISPLAY_CHILD")) GTEST_SKIP() << "runs only as the child of NoDisplayMeansMinusOne";
  EXPECT_EQ(dialog_box_param(&kModule, kDialogId, nullptr, test_proc, 0), -1);
  EXPECT_EQ(message_box(nullptr, L"text", L"caption", MB_OK | MB_ICONERROR), 0);
}

TEST(UiNoDisplay, NoDisplayMeansMinusOne) {
  const char* build = std::getenv("ZANTHO_BUILD_DIR");
  ASSERT_NE(build, nullptr);
  std::filesystem::path output = std::filesystem::temp_directory_path() /
                                 ("ui_no_display_" + std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id())) +
                                  std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY ZANTHO_UI_NO_DISPLAY_CHILD=1 '" + std::string(build) +
                        "/platform/platform_tests' --gtest_filter=UiNoDisplay.ChildSeesNoWindowMade > '" +
                        output.string() + "' 2>&1";
  int status = std::system(command.c_str());
  std::ifstream in(output);
  std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove(output);
  EXPECT_EQ(status, 0) << log;
  EXPECT_NE(log.find("[  PASSED  ] 1 test."), std::string::npos) << log;
}

}  // namespace
}  // namespace platform
