// Watches the launcher's windows from another process, as the user sees them, until it is ended: records the update
// dialog ("dialog", then each change of its phase line and bar as "<text>\t<position>") and answers each message box
// with its OK button, recording it as "<caption>\t<text>" (the line the POSIX layer records for the boxes it shows).
// Usage: window_watcher <dialog record> <message box record>   (the dialog record is made at once: "I am watching")
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/encoding.h"
#include "platform/ui.h"

namespace {

// The English captions: the runs that use the watcher are English.
constexpr wchar_t kDialogCaption[] = L"Zantho";
constexpr wchar_t kBoxCaption[] = L"zantho games";
constexpr int kProgress = 1001;
constexpr int kPhase = 1005;
constexpr int kBoxText = 0xFFFF;

std::string utf8(const std::wstring& text) {
  std::u16string wide(text.begin(), text.end());
  int size = platform::wide_char_to_multi_byte(platform::CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()),
                                               nullptr, 0);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    platform::wide_char_to_multi_byte(platform::CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), out.data(),
                                      size);
  }
  return out;
}

// Each line is written out at once: the watcher is ended, never asked to stop.
void append(const char* path, const std::string& line) {
  if (FILE* out = std::fopen(path, "ab")) {
    std::fprintf(out, "%s\n", line.c_str());
    std::fclose(out);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: window_watcher <dialog record> <message box record>\n");
    return 2;
  }
  const char* dialog_record = argv[1];
  const char* box_record = argv[2];
  if (FILE* made = std::fopen(dialog_record, "wb")) std::fclose(made);
  platform::Hwnd seen_dialog = nullptr;
  std::string last_state;
  for (;;) {
    if (platform::Hwnd dialog = platform::find_window(kDialogCaption)) {
      if (dialog != seen_dialog) {
        seen_dialog = dialog;
        last_state.clear();
        append(dialog_record, "dialog");
      }
      std::string state = utf8(platform::window_text(platform::get_dlg_item(dialog, kPhase))) + "\t" +
                          std::to_string(platform::progress_position(platform::get_dlg_item(dialog, kProgress)));
      // A dialog that ended between the looks gives no texts: nothing it showed.
      if (state != last_state && platform::find_window(kDialogCaption) == dialog) {
        last_state = state;
        append(dialog_record, state);
      }
    }
    if (platform::Hwnd box = platform::find_window(kBoxCaption)) {
      std::string text = utf8(platform::window_text(platform::get_dlg_item(box, kBoxText)));
      if (platform::click_button(platform::get_dlg_item(box, platform::IDOK))) {
        append(box_record, utf8(kBoxCaption) + "\t" + text);
        // The box takes a moment to go: it is not answered twice.
        for (int i = 0; i < 500 && platform::find_window(kBoxCaption) == box; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
