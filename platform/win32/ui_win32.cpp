#include "platform/ui.h"

#include <atomic>
#include <string>
#include <vector>

#include "platform/win32/png_writer_win32.h"
#include "platform/win32/windows_api.h"

// The layer's dialog procedure has the shape of DLGPROC; on x64 there is one calling convention.
static_assert(sizeof(void*) == 8, "the dialog procedure is handed to user32 as it stands on x64 only");

namespace platform {
namespace {

HWND native(Hwnd window) { return static_cast<HWND>(window); }

// The module that holds the resources: the one containing the instance's address (a real instance handle is the
// module's base address; a resource directory object of the program lies inside it), else the executable.
HMODULE resource_module(Hinstance instance) {
  HMODULE module = nullptr;
  if (instance && GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                     reinterpret_cast<LPCWSTR>(instance), &module)) {
    return module;
  }
  return GetModuleHandleW(nullptr);
}

uint16_t supported_language(LANGID language) {
  if (PRIMARYLANGID(language) != LANG_CHINESE) {
    return LANG_ENGLISH_US;
  }
  switch (SUBLANGID(language)) {
    case SUBLANG_CHINESE_TRADITIONAL:
    case SUBLANG_CHINESE_HONGKONG:
    case SUBLANG_CHINESE_MACAU:
      return LANG_CHINESE_TRADITIONAL;
    default:
      return LANG_CHINESE_SIMPLIFIED;
  }
}

std::atomic<MessageObserver> g_observer{nullptr};

LRESULT CALLBACK observe_sent_message(int code, WPARAM wparam, LPARAM lparam) {
  MessageObserver observer = g_observer.load();
  if (code == HC_ACTION && observer) {
    const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lparam);
    observer(sent->hwnd, sent->message, sent->wParam, sent->lParam);
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

}  // namespace

intptr_t dialog_box_param(Hinstance instance, int template_id, Hwnd owner, DialogProc procedure, Lparam init_param) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  // The slots reach the dialog's windows by sent messages: a hook on the dialog's thread sees each one before the
  // window does, for whoever observes them. Only for an observer: every message of the thread, the controls' own
  // painting included, goes through the hook chain, which under Wine costs round trips to its server.
  HHOOK hook = nullptr;
  if (g_observer.load()) hook = SetWindowsHookExW(WH_CALLWNDPROC, observe_sent_message, nullptr, GetCurrentThreadId());
  intptr_t result = DialogBoxParamW(resource_module(instance), MAKEINTRESOURCEW(template_id), native(owner),
                                    reinterpret_cast<DLGPROC>(procedure), init_param);
  if (hook) UnhookWindowsHookEx(hook);
  return result;
}

bool end_dialog(Hwnd dialog, intptr_t result) { return EndDialog(native(dialog), result) != FALSE; }

Hwnd get_dlg_item(Hwnd dialog, int id) { return GetDlgItem(native(dialog), id); }

Lresult send_message(Hwnd window, uint32_t message, Wparam wparam, Lparam lparam) {
  return SendMessageW(native(window), message, wparam, lparam);
}

Lresult send_dlg_item_message(Hwnd dialog, int id, uint32_t message, Wparam wparam, Lparam lparam) {
  return SendDlgItemMessageW(native(dialog), id, message, wparam, lparam);
}

int load_string(Hinstance instance, uint32_t id, wchar_t* buffer, int capacity) {
  return LoadStringW(resource_module(instance), id, buffer, capacity);
}

int message_box(Hwnd owner, const wchar_t* text, const wchar_t* caption, uint32_t type) {
  return MessageBoxW(native(owner), text, caption, type);
}

// The resource loader follows the thread's UI language.
uint16_t ui_language() { return supported_language(GetThreadUILanguage()); }

uint16_t ui_language_for_locale(const char* locale) {
  if (!locale) {
    return LANG_ENGLISH_US;
  }
  // "zh_TW.UTF-8" and "zh-TW" both name the locale "zh-TW".
  std::wstring name;
  for (const char* c = locale; *c && *c != '.' && *c != '@'; ++c) {
    name += *c == '_' ? L'-' : static_cast<wchar_t>(static_cast<unsigned char>(*c));
  }
  LCID lcid = LocaleNameToLCID(name.c_str(), 0);
  return supported_language(LANGIDFROMLCID(lcid));
}

Hwnd find_window(const wchar_t* caption) { return FindWindowW(nullptr, caption); }

std::wstring window_text(Hwnd window) {
  int length = GetWindowTextLengthW(native(window));
  std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
  int copied = GetWindowTextW(native(window), text.data(), length + 1);
  return std::wstring(text.data(), static_cast<size_t>(copied > 0 ? copied : 0));
}

int progress_position(Hwnd progress_bar) {
  return static_cast<int>(SendMessageW(native(progress_bar), PBM_GETPOS, 0, 0));
}

bool click_button(Hwnd button) {
  if (!IsWindow(native(button))) {
    return false;
  }
  SendMessageW(native(button), BM_CLICK, 0, 0);
  return true;
}

// The modal loop's dialog handling turns Esc into Cancel, as it does for a key the user pressed.
bool press_escape(Hwnd dialog) { return PostMessageW(native(dialog), WM_KEYDOWN, VK_ESCAPE, 0x00010001) != FALSE; }

bool click_close_box(Hwnd dialog) { return PostMessageW(native(dialog), WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE; }

// What the screen shows of the client area, the controls included.
bool save_window_image(Hwnd dialog, const std::string& png_path) {
  HWND window = native(dialog);
  RECT client;
  if (!IsWindow(window) || !GetClientRect(window, &client) || client.right <= 1 || client.bottom <= 1) {
    return false;
  }
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  const int width = client.right;
  const int height = client.bottom;
  HDC window_dc = GetDC(window);
  HDC memory_dc = CreateCompatibleDC(window_dc);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(window_dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool saved = false;
  if (bitmap && bits) {
    HGDIOBJ previous = SelectObject(memory_dc, bitmap);
    if (BitBlt(memory_dc, 0, 0, width, height, window_dc, 0, 0, SRCCOPY)) {
      GdiFlush();
      saved = win32::write_png_bgrx(png_path, static_cast<const uint8_t*>(bits), width, height);
    }
    SelectObject(memory_dc, previous);
  }
  if (bitmap) {
    DeleteObject(bitmap);
  }
  DeleteDC(memory_dc);
  ReleaseDC(window, window_dc);
  return saved;
}

void observe_messages(MessageObserver observer) { g_observer.store(observer); }

}  // namespace platform
