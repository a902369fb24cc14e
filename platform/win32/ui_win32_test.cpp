// The dialog, texts and message box of the Win32 layer on the launcher's own resources (zantho.rc linked into the
// test program): real controls under a real window manager. The language is the run's (LANG under Wine).
#include "platform/ui.h"

#include "platform/win32/windows_api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/scratch_dir.h"

namespace platform {
namespace {

constexpr int kDialog = 104;
constexpr int kProgress = 1001;
constexpr int kPhase = 1005;

struct LanguageTexts {
  uint16_t language;
  const char* name;
  const wchar_t* caption;
  const wchar_t* label;
  const wchar_t* cancel;
  const wchar_t* sync;
};

const LanguageTexts kLanguages[] = {
    {LANG_ENGLISH_US, "en_US", L"Zantho", L"Zantho is Updating", L"Cancel", L"Sync file package..."},
    {LANG_CHINESE_SIMPLIFIED, "zh_CN", L"\u699B\u79BE\u6E38\u620F", L"\u6B63\u5728\u66F4\u65B0\u699B\u79BE\u6E38\u620F ...",
     L"\u53D6\u6D88", L"\u540C\u6B65\u6587\u4EF6\u5305..."},
    {LANG_CHINESE_TRADITIONAL, "zh_TW", L"\u699B\u79BE\u904A\u6232", L"\u6B63\u5728\u66F4\u65B0\u699B\u79BE\u904A\u6232...",
     L"\u53D6\u6D88", L"\u540C\u6B65\u6A94\u5305..."},
};

const LanguageTexts& texts() {
  for (const LanguageTexts& t : kLanguages) {
    if (t.language == ui_language()) return t;
  }
  return kLanguages[0];
}

// The test's part of the dialog: what the procedure received, and the work its worker thread does.
std::function<void(Hwnd)> g_worker;
std::atomic<int> g_cancels{0};

intptr_t test_dialog_proc(Hwnd dialog, uint32_t message, Wparam wparam, Lparam lparam) {
  if (message == WM_INITDIALOG) {
    send_dlg_item_message(dialog, kProgress, PBM_SETRANGE, 0, make_lparam(0, 100));
    std::thread(g_worker, dialog).detach();
    return 1;
  }
  if (message == WM_COMMAND) {
    uint16_t id = low_word(wparam);
    if (id == IDOK || id == 3) end_dialog(dialog, low_word(static_cast<uintptr_t>(lparam)));
    // The launcher ends the process here; the test ends the dialog and counts.
    if (id == IDCANCEL) {
      ++g_cancels;
      end_dialog(dialog, IDCANCEL);
    }
    return 1;
  }
  return 0;
}

class Win32Dialog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(FindResourceW(nullptr, MAKEINTRESOURCEW(kDialog), MAKEINTRESOURCEW(5)), nullptr)
        << "the test program needs zantho.rc's resources linked in";
    g_cancels = 0;
  }
  static intptr_t run(std::function<void(Hwnd)> worker) {
    g_worker = std::move(worker);
    return dialog_box_param(nullptr, kDialog, nullptr, test_dialog_proc, 0);
  }
};

TEST_F(Win32Dialog, TextsAndProgressReachTheRealControlsAndTheResultComesBack) {
  struct Case {
    Wparam command;
    Lparam value;
    intptr_t result;
  };
  for (Case c : {Case{IDOK, 0, 0}, Case{3, -1, 65535}}) {
    std::filesystem::path shot = build_dir() / "artifacts" / ("update_dialog_win32_" + std::string(texts().name) + ".png");
    std::filesystem::create_directories(shot.parent_path());
    std::filesystem::remove(shot);
    intptr_t result = run([&](Hwnd dialog) {
      wchar_t text[1024];
      ASSERT_GT(load_string(nullptr, 205, text, 1024), 0);
      std::wstring phase = std::wstring(text) + L"(25%)";
      send_dlg_item_message(dialog, kPhase, WM_SETTEXT, 0, reinterpret_cast<Lparam>(phase.c_str()));
      send_dlg_item_message(dialog, kProgress, PBM_SETPOS, 25, 0);
      EXPECT_EQ(window_text(dialog), texts().caption);
      EXPECT_EQ(window_text(get_dlg_item(dialog, IDC_STATIC)), texts().label);
      EXPECT_EQ(window_text(get_dlg_item(dialog, IDCANCEL)), texts().cancel);
      EXPECT_EQ(window_text(get_dlg_item(dialog, kPhase)), std::wstring(texts().sync) + L"(25%)");
      EXPECT_EQ(progress_position(get_dlg_item(dialog, kProgress)), 25);
      EXPECT_EQ(find_window(texts().caption), dialog);
      bool saved = false;
      for (int i = 0; i < 50 && !saved; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        saved = save_window_image(dialog, shot.string());
      }
      EXPECT_TRUE(saved);
      // The bar holds a position below its range at the minimum.
      send_dlg_item_message(dialog, kProgress, PBM_SETPOS, static_cast<Wparam>(-100), 0);
      EXPECT_EQ(progress_position(get_dlg_item(dialog, kProgress)), 0);
      send_message(dialog, WM_COMMAND, c.command, c.value);
    });
    EXPECT_EQ(result, c.result);
    std::ifstream png(shot, std::ios::binary);
    std::string signature(8, '\0');
    png.read(signature.data(), 8);
    EXPECT_EQ(signature, "\x89PNG\r\n\x1a\n") << shot;
  }
}

TEST_F(Win32Dialog, CancelButtonCloseBoxAndEscapeEachSendCancel) {
  const std::function<bool(Hwnd)> actions[] = {
      [](Hwnd dialog) { return click_button(get_dlg_item(dialog, IDCANCEL)); },
      [](Hwnd dialog) { return click_close_box(dialog); },
      [](Hwnd dialog) { return press_escape(dialog); },
  };
  for (size_t i = 0; i < std::size(actions); ++i) {
    g_cancels = 0;
    intptr_t result = run([&](Hwnd dialog) { EXPECT_TRUE(actions[i](dialog)) << i; });
    EXPECT_EQ(result, IDCANCEL) << i;
    EXPECT_EQ(g_cancels.load(), 1) << i;
  }
}

TEST_F(Win32Dialog, AMissingTemplateGivesMinusOne) {
  EXPECT_EQ(dialog_box_param(nullptr, 999, nullptr, test_dialog_proc, 0), -1);
}

TEST_F(Win32Dialog, MessageBoxShowsItsTextAndEndsWithOk) {
  const wchar_t caption[] = L"Zantho message box test";
  std::thread user([&] {
    Hwnd box = nullptr;
    for (int i = 0; i < 500 && !box; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      box = find_window(caption);
    }
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(window_text(get_dlg_item(box, 0xFFFF)), L"the text");
    EXPECT_TRUE(click_button(get_dlg_item(box, IDOK)));
  });
  EXPECT_EQ(message_box(nullptr, L"the text", caption, MB_ICONERROR), IDOK);
  user.join();
}

TEST_F(Win32Dialog, StringsAreCutToTheCapacityAndMissingOnesGiveNothing) {
  wchar_t text[100];
  ASSERT_GT(load_string(nullptr, 205, text, 100), 4);
  EXPECT_EQ(std::wstring(text), texts().sync);
  EXPECT_EQ(load_string(nullptr, 205, text, 5), 4);
  EXPECT_EQ(std::wstring(text), std::wstring(texts().sync).substr(0, 4));
  EXPECT_EQ(load_string(nullptr, 9999, text, 100), 0);
}

TEST(Win32Language, LocaleNamesMapToTheThreeLanguages) {
  struct Case {
    const char* locale;
    uint16_t language;
  };
  for (Case c : {Case{"zh_CN.UTF-8", LANG_CHINESE_SIMPLIFIED}, Case{"zh-SG", LANG_CHINESE_SIMPLIFIED},
                 Case{"zh_TW.UTF-8", LANG_CHINESE_TRADITIONAL}, Case{"zh_HK", LANG_CHINESE_TRADITIONAL},
                 Case{"en_US.UTF-8", LANG_ENGLISH_US}, Case{"de_DE", LANG_ENGLISH_US}, Case{nullptr, LANG_ENGLISH_US}}) {
    EXPECT_EQ(ui_language_for_locale(c.locale), c.language) << (c.locale ? c.locale : "(null)");
  }
}

// Wine takes the UI language from the Unix locale it was started in: a run per language must get that language,
// not English by default.
TEST(Win32Language, UnderWineTheLocaleOfTheRunChoosesTheLanguage) {
  if (!under_wine()) GTEST_SKIP() << "runs under Wine only";
  const char* locale = std::getenv("LC_ALL");
  if (!locale || !*locale) locale = std::getenv("LANG");
  EXPECT_EQ(ui_language(), ui_language_for_locale(locale)) << (locale ? locale : "(no locale)");
}

}  // namespace
}  // namespace platform
