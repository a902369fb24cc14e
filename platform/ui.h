// The user interface: modal dialogs made from a module's dialog templates, window messages sent from any
// thread, string-table texts in the user's language and the message box, with Windows' meaning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/handle.h"

namespace platform {

using Wparam = uintptr_t;
using Lparam = intptr_t;
using Lresult = intptr_t;

// One control of a dialog template; coordinates in dialog units, texts in UTF-8 (null for none).
struct DialogItemTemplate {
  int id;
  const char* class_name;
  const char* text;
  uint32_t style;
  uint32_t ex_style;
  int x, y, width, height;
};

struct DialogTemplate {
  int id;
  uint16_t language;
  uint32_t style;
  uint32_t ex_style;
  int x, y, width, height;
  const char* caption;
  const char* font_name;
  int font_points;
  int font_weight;
  bool font_italic;
  int font_charset;
  const DialogItemTemplate* items;
  size_t item_count;
};

struct StringResource {
  uint32_t id;
  uint16_t language;
  const wchar_t* text;
};

// What a module carries for the user interface: its dialog templates and string tables, in every language.
struct ModuleResources {
  const DialogTemplate* dialogs;
  size_t dialog_count;
  const StringResource* strings;
  size_t string_count;
};

// A module's instance handle is its resource directory here.
using Hinstance = const ModuleResources*;

using DialogProc = intptr_t (*)(Hwnd window, uint32_t message, Wparam wparam, Lparam lparam);

inline constexpr uint32_t WM_SETTEXT = 0x000C;
inline constexpr uint32_t WM_GETTEXT = 0x000D;
inline constexpr uint32_t WM_GETTEXTLENGTH = 0x000E;
inline constexpr uint32_t WM_CLOSE = 0x0010;
inline constexpr uint32_t WM_INITDIALOG = 0x0110;
inline constexpr uint32_t WM_COMMAND = 0x0111;
inline constexpr uint32_t WM_USER = 0x0400;
inline constexpr uint32_t PBM_SETRANGE = WM_USER + 1;
inline constexpr uint32_t PBM_SETPOS = WM_USER + 2;
inline constexpr uint32_t PBM_GETPOS = WM_USER + 8;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_STATIC = -1;

inline constexpr uint32_t MB_OK = 0x00000000;
inline constexpr uint32_t MB_ICONERROR = 0x00000010;

inline constexpr uint16_t LANG_ENGLISH_US = 1033;
inline constexpr uint16_t LANG_CHINESE_SIMPLIFIED = 2052;
inline constexpr uint16_t LANG_CHINESE_TRADITIONAL = 1028;

inline constexpr uint16_t low_word(uintptr_t value) { return static_cast<uint16_t>(value & 0xFFFF); }
inline constexpr uint16_t high_word(uintptr_t value) { return static_cast<uint16_t>((value >> 16) & 0xFFFF); }
inline constexpr Wparam make_wparam(uint16_t low, uint16_t high) { return (Wparam{high} << 16) | low; }
inline constexpr Lparam make_lparam(uint16_t low, uint16_t high) {
  return static_cast<Lparam>((uint32_t{high} << 16) | low);
}

// DialogBoxParamW: shows the template modally and returns the result given to end_dialog; -1 when the dialog
// cannot be made (no display, no such template). The procedure gets WM_INITDIALOG with init_param first.
// The close box and the Esc key send WM_COMMAND with IDCANCEL, as a dialog's default handling does.
intptr_t dialog_box_param(Hinstance instance, int template_id, Hwnd owner, DialogProc procedure, Lparam init_param);
// Ends the dialog once its procedure has returned; false for a window that is no live dialog.
bool end_dialog(Hwnd dialog, intptr_t result);
Hwnd get_dlg_item(Hwnd dialog, int id);

// SendMessageW: carried out on the window's thread while the caller waits, inline when called there; 0 with
// ERROR_INVALID_WINDOW_HANDLE for a window that is gone. Texts are wide (WM_SETTEXT, WM_GETTEXT), progress bars
// hold their position inside their range (PBM_SETRANGE: low word minimum, high word maximum; 0..100 at first).
Lresult send_message(Hwnd window, uint32_t message, Wparam wparam, Lparam lparam);
Lresult send_dlg_item_message(Hwnd dialog, int id, uint32_t message, Wparam wparam, Lparam lparam);

// LoadStringW into a buffer of `capacity` characters: at most capacity - 1 and a terminator; the number copied,
// 0 when the module has no such string. The language is the user's (ui_language), else English, else any.
int load_string(Hinstance instance, uint32_t id, wchar_t* buffer, int capacity);

// MessageBoxW with one OK button (control IDOK; its text is control 0xFFFF); IDOK when it was closed, 0 when it
// cannot be shown.
int message_box(Hwnd owner, const wchar_t* text, const wchar_t* caption, uint32_t type);

// The user's interface language from the locale (LC_ALL, LC_MESSAGES, LANG): 2052 for zh_CN and zh_SG, 1028 for
// zh_TW, zh_HK and zh_MO, 1033 for anything else.
uint16_t ui_language();
uint16_t ui_language_for_locale(const char* locale);

// FindWindowW by caption alone: a live dialog or message box with exactly this caption, else null.
Hwnd find_window(const wchar_t* caption);

// For tests, callable from any thread: what the user sees and what the user does.
std::wstring window_text(Hwnd window);
int progress_position(Hwnd progress_bar);
bool click_button(Hwnd button);
bool press_escape(Hwnd dialog);
bool click_close_box(Hwnd dialog);
// Writes the dialog's client area as a PNG image.
bool save_window_image(Hwnd dialog, const std::string& png_path);
// Called on the window's thread with every message as it reaches a window, before it is handled; null stops it.
// Set it before the dialog is shown: a dialog shown without an observer is not watched.
using MessageObserver = void (*)(Hwnd window, uint32_t message, Wparam wparam, Lparam lparam);
void observe_messages(MessageObserver observer);

}  // namespace platform
