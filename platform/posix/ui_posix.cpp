// The user interface on GTK 3. Every window belongs to the thread that made it; a message sent from another
// thread is queued to the GTK main context and the sender waits until that thread has carried it out, as
// SendMessageW does. Dialog templates are laid out at their dialog units, converted with the dialog font.
#include "platform/ui.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/errors.h"

namespace platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(gunichar), "wide text is UTF-32 here");

constexpr uint32_t WS_VISIBLE = 0x10000000;
constexpr uint32_t WS_BORDER = 0x00800000;
constexpr uint32_t WS_SYSMENU = 0x00080000;
constexpr uint32_t WS_TABSTOP = 0x00010000;
constexpr uint32_t DS_CENTER = 0x0800;
constexpr uint32_t MB_ICONMASK = 0x000000F0;
constexpr uint16_t BN_CLICKED = 0;
constexpr int kMessageBoxTextId = 0xFFFF;

enum class Kind { kDialog, kStatic, kButton, kProgress };

struct Window {
  Kind kind = Kind::kStatic;
  int id = 0;
  GtkWidget* widget = nullptr;
  Window* dialog = nullptr;  // the dialog a control sits on; itself for a dialog
  std::thread::id thread;
  std::wstring text;  // guarded by g_mutex: find_window reads it from any thread
  // Dialogs.
  DialogProc procedure = nullptr;
  std::vector<std::unique_ptr<Window>> controls;
  GMainLoop* loop = nullptr;
  GtkCssProvider* css = nullptr;
  bool ended = false;
  intptr_t result = 0;
  // Progress bars.
  int low = 0;
  int high = 100;
  int position = 0;
};

struct PendingCall {
  std::function<Lresult()> call;
  Window* window = nullptr;
  Lresult result = 0;
  bool done = false;
  bool window_gone = false;
};

std::mutex g_mutex;
std::condition_variable g_done;
std::unordered_set<Window*> g_live;
std::vector<std::shared_ptr<PendingCall>> g_pending;
int g_dialog_serial = 0;

bool is_live(Window* window) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_live.count(window) != 0;
}

Window* live_window(Hwnd handle) {
  Window* window = static_cast<Window*>(handle);
  if (!is_live(window)) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return window;
}

std::string to_utf8(const std::wstring& text) {
  gchar* utf8 = g_ucs4_to_utf8(reinterpret_cast<const gunichar*>(text.data()), static_cast<glong>(text.size()),
                               nullptr, nullptr, nullptr);
  std::string out = utf8 ? utf8 : "";
  g_free(utf8);
  return out;
}

std::wstring to_wide(const char* utf8) {
  if (!utf8) return {};
  glong count = 0;
  gunichar* codes = g_utf8_to_ucs4(utf8, -1, nullptr, &count, nullptr);
  std::wstring out = codes ? std::wstring(reinterpret_cast<const wchar_t*>(codes), count) : std::wstring();
  g_free(codes);
  return out;
}

gboolean run_pending(gpointer data) {
  std::shared_ptr<PendingCall>& pending = *static_cast<std::shared_ptr<PendingCall>*>(data);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (pending->done) return G_SOURCE_REMOVE;
  }
  Lresult result = pending->call();
  std::lock_guard<std::mutex> lock(g_mutex);
  pending->result = result;
  pending->done = true;
  g_done.notify_all();
  return G_SOURCE_REMOVE;
}

// Runs `call` on the window's thread and gives its result; inline when the caller is that thread. A window
// destroyed before its thread came to the call makes the result 0 with ERROR_INVALID_WINDOW_HANDLE.
Lresult on_window_thread(Window* window, std::function<Lresult()> call) {
  if (window->thread == std::this_thread::get_id()) return call();
  auto pending = std::make_shared<PendingCall>();
  pending->window = window;
  pending->call = std::move(call);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_live.count(window)) {
      set_last_error(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    g_pending.push_back(pending);
  }
  // An idle source rather than g_main_context_invoke: invoke would run the call on this thread whenever the
  // context happens to be free, and GTK must only be touched by the window's thread.
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, run_pending, new std::shared_ptr<PendingCall>(pending),
                        [](gpointer data) { delete static_cast<std::shared_ptr<PendingCall>*>(data); });
  g_source_attach(source, nullptr);
  g_source_unref(source);
  std::unique_lock<std::mutex> lock(g_mutex);
  g_done.wait(lock, [&] { return pending->done; });
  g_pending.erase(std::remove(g_pending.begin(), g_pending.end(), pending), g_pending.end());
  if (pending->window_gone) set_last_error(ERROR_INVALID_WINDOW_HANDLE);
  return pending->result;
}

void set_window_text(Window* window, std::wstring text) {
  std::string utf8 = to_utf8(text);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    window->text = std::move(text);
  }
  switch (window->kind) {
    case Kind::kDialog: gtk_window_set_title(GTK_WINDOW(window->widget), utf8.c_str()); break;
    case Kind::kStatic: gtk_label_set_text(GTK_LABEL(window->widget), utf8.c_str()); break;
    case Kind::kButton: gtk_button_set_label(GTK_BUTTON(window->widget), utf8.c_str()); break;
    case Kind::kProgress: break;
  }
}

Lresult copy_text(Window* window, Wparam capacity, wchar_t* buffer) {
  if (!buffer || capacity == 0) return 0;
  std::lock_guard<std::mutex> lock(g_mutex);
  size_t count = std::min<size_t>(window->text.size(), capacity - 1);
  std::copy_n(window->text.data(), count, buffer);
  buffer[count] = L'\0';
  return static_cast<Lresult>(count);
}

void show_progress(Window* bar) {
  double span = bar->high - bar->low;
  double fraction = span > 0 ? (bar->position - bar->low) / span : 0.0;
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar->widget), fraction);
}

Lresult progress_message(Window* bar, uint32_t message, Wparam wparam, Lparam lparam) {
  if (message == PBM_SETRANGE) {
    Lresult previous = make_lparam(static_cast<uint16_t>(bar->low), static_cast<uint16_t>(bar->high));
    bar->low = static_cast<int16_t>(low_word(static_cast<uintptr_t>(lparam)));
    bar->high = static_cast<int16_t>(high_word(static_cast<uintptr_t>(lparam)));
    bar->position = std::clamp(bar->position, bar->low, std::max(bar->low, bar->high));
    show_progress(bar);
    return previous;
  }
  if (message == PBM_SETPOS) {
    Lresult previous = bar->position;
    bar->position = std::clamp(static_cast<int>(wparam), bar->low, std::max(bar->low, bar->high));
    show_progress(bar);
    return previous;
  }
  if (message == PBM_GETPOS) return bar->position;
  return 0;
}

Lresult dispatch(Window* window, uint32_t message, Wparam wparam, Lparam lparam);

Window* find_control(Window* dialog, int id) {
  for (auto& control : dialog->controls) {
    if (control->id == id) return control.get();
  }
  return nullptr;
}

void send_cancel(Window* dialog) {
  dispatch(dialog, WM_COMMAND, make_wparam(static_cast<uint16_t>(IDCANCEL), BN_CLICKED),
           reinterpret_cast<Lparam>(find_control(dialog, IDCANCEL)));
}

// What a dialog does with a message its procedure left alone.
Lresult default_dialog_message(Window* dialog, uint32_t message, Wparam wparam, Lparam lparam) {
  switch (message) {
    case WM_CLOSE: send_cancel(dialog); return 0;
    case WM_COMMAND:
      // A dialog without a procedure of its own (the message box) ends with the command's id.
      if (!dialog->procedure) {
        dialog->ended = true;
        dialog->result = low_word(wparam);
        if (dialog->loop) g_main_loop_quit(dialog->loop);
      }
      return 0;
    default: (void)lparam; return 0;
  }
}

std::atomic<MessageObserver> g_observer{nullptr};

Lresult dispatch(Window* window, uint32_t message, Wparam wparam, Lparam lparam) {
  if (MessageObserver observer = g_observer.load()) observer(window, message, wparam, lparam);
  if (window->kind == Kind::kDialog && window->procedure &&
      window->procedure(window, message, wparam, lparam) != 0) {
    return 0;
  }
  switch (message) {
    case WM_SETTEXT: {
      if (window->kind == Kind::kProgress) return 0;
      const wchar_t* text = reinterpret_cast<const wchar_t*>(lparam);
      set_window_text(window, text ? text : L"");
      return 1;
    }
    case WM_GETTEXT: return copy_text(window, wparam, reinterpret_cast<wchar_t*>(lparam));
    case WM_GETTEXTLENGTH: {
      std::lock_guard<std::mutex> lock(g_mutex);
      return static_cast<Lresult>(window->text.size());
    }
    default: break;
  }
  if (window->kind == Kind::kProgress) return progress_message(window, message, wparam, lparam);
  if (window->kind == Kind::kDialog) return default_dialog_message(window, message, wparam, lparam);
  return 0;
}

// GTK is set up once, on the first window's thread; without a display no window can be made.
bool gtk_ready() {
  static int state = 0;
  if (state == 0) {
    // The process keeps its C locale, as a Windows program's does when it opens a window.
    gtk_disable_setlocale();
    state = gtk_init_check(nullptr, nullptr) ? 1 : -1;
  }
  return state == 1;
}

void register_window(Window* window) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_live.insert(window);
}

// Unregisters the dialog and its controls and releases every sender still waiting on one of them.
void destroy_dialog(Window* dialog) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_live.erase(dialog);
    for (auto& control : dialog->controls) g_live.erase(control.get());
    for (auto& pending : g_pending) {
      if (!pending->done && !g_live.count(pending->window)) {
        pending->done = true;
        pending->window_gone = true;
        pending->result = 0;
      }
    }
    g_done.notify_all();
  }
  if (dialog->css) {
    gtk_style_context_remove_provider_for_screen(gtk_widget_get_screen(dialog->widget),
                                                 GTK_STYLE_PROVIDER(dialog->css));
    g_object_unref(dialog->css);
  }
  gtk_widget_destroy(dialog->widget);
  if (dialog->loop) g_main_loop_unref(dialog->loop);
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data) {
  dispatch(static_cast<Window*>(data), WM_CLOSE, 0, 0);
  return TRUE;
}

gboolean on_key_press(GtkWidget*, GdkEventKey* event, gpointer data) {
  if (event->keyval != GDK_KEY_Escape) return FALSE;
  send_cancel(static_cast<Window*>(data));
  return TRUE;
}

void on_clicked(GtkButton*, gpointer data) {
  Window* button = static_cast<Window*>(data);
  dispatch(button->dialog, WM_COMMAND, make_wparam(static_cast<uint16_t>(button->id), BN_CLICKED),
           reinterpret_cast<Lparam>(button));
}

Window* new_dialog_window(const char* caption, bool centred, bool close_box) {
  auto* dialog = new Window;
  dialog->kind = Kind::kDialog;
  dialog->dialog = dialog;
  dialog->thread = std::this_thread::get_id();
  dialog->widget = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  dialog->text = to_wide(caption);
  GtkWindow* gtk_window = GTK_WINDOW(dialog->widget);
  gtk_window_set_title(gtk_window, caption ? caption : "");
  gtk_window_set_resizable(gtk_window, FALSE);
  gtk_window_set_modal(gtk_window, TRUE);
  gtk_window_set_type_hint(gtk_window, GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_deletable(gtk_window, close_box);
  if (centred) gtk_window_set_position(gtk_window, GTK_WIN_POS_CENTER);
  g_signal_connect(dialog->widget, "delete-event", G_CALLBACK(on_delete), dialog);
  g_signal_connect(dialog->widget, "key-press-event", G_CALLBACK(on_key_press), dialog);
  return dialog;
}

Window* add_control(Window* dialog, Kind kind, int id, GtkWidget* widget, const char* text) {
  auto control = std::make_unique<Window>();
  control->kind = kind;
  control->id = id;
  control->widget = widget;
  control->dialog = dialog;
  control->thread = dialog->thread;
  control->text = to_wide(text);
  if (kind == Kind::kButton) g_signal_connect(widget, "clicked", G_CALLBACK(on_clicked), control.get());
  dialog->controls.push_back(std::move(control));
  return dialog->controls.back().get();
}

// Dialog base units as Windows derives them from the dialog font: the average width of the Latin letters and
// the font's height, in pixels. 4 horizontal and 8 vertical dialog units make one base unit.
void base_units(GtkWidget* widget, const PangoFontDescription* font, int* unit_x, int* unit_y) {
  PangoLayout* layout = gtk_widget_create_pango_layout(widget, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  pango_layout_set_font_description(layout, font);
  int width = 0;
  int height = 0;
  pango_layout_get_pixel_size(layout, &width, &height);
  g_object_unref(layout);
  *unit_x = std::max(1, (width / 26 + 1) / 2);
  *unit_y = std::max(1, height);
}

int scale(int units, int base, int per_base) { return (units * base + per_base / 2) / per_base; }

bool is_class(const char* name, const char* wanted) { return name && g_ascii_strcasecmp(name, wanted) == 0; }

// Makes the template's window and controls; null for a control class this layer does not draw.
Window* build_dialog(const DialogTemplate& tmpl) {
  std::unique_ptr<Window> dialog(
      new_dialog_window(tmpl.caption, (tmpl.style & DS_CENTER) != 0, (tmpl.style & WS_SYSMENU) != 0));
  std::string css_class = "platform-dialog-" + std::to_string(++g_dialog_serial);
  gtk_style_context_add_class(gtk_widget_get_style_context(dialog->widget), css_class.c_str());

  std::string family = std::string(tmpl.font_name ? tmpl.font_name : "") + ",sans-serif";
  PangoFontDescription* font = pango_font_description_new();
  pango_font_description_set_family(font, family.c_str());
  pango_font_description_set_size(font, std::max(1, tmpl.font_points) * PANGO_SCALE);
  if (tmpl.font_weight > 0) pango_font_description_set_weight(font, static_cast<PangoWeight>(tmpl.font_weight));
  if (tmpl.font_italic) pango_font_description_set_style(font, PANGO_STYLE_ITALIC);
  int unit_x = 1;
  int unit_y = 1;
  base_units(dialog->widget, font, &unit_x, &unit_y);
  pango_font_description_free(font);

  int bar_height = scale(12, unit_y, 8);
  std::string css = "." + css_class + " { font-family: \"" + (tmpl.font_name ? tmpl.font_name : "") +
                    "\", sans-serif; font-size: " + std::to_string(tmpl.font_points) + "pt; }\n." + css_class +
                    " button { padding: 0 4px; min-height: 0; min-width: 0; }\n." + css_class +
                    " progressbar trough, ." + css_class + " progressbar progress { min-height: " +
                    std::to_string(std::max(1, bar_height - 4)) + "px; border-radius: 0; }\n." + css_class +
                    " progressbar.bordered trough { border: 1px solid #7a7a7a; }\n";
  dialog->css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(dialog->css, css.c_str(), -1, nullptr);
  gtk_style_context_add_provider_for_screen(gtk_widget_get_screen(dialog->widget), GTK_STYLE_PROVIDER(dialog->css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);

  GtkWidget* fixed = gtk_fixed_new();
  gtk_widget_set_size_request(fixed, scale(tmpl.width, unit_x, 4), scale(tmpl.height, unit_y, 8));
  gtk_container_add(GTK_CONTAINER(dialog->widget), fixed);
  gtk_widget_show(fixed);
  for (size_t i = 0; i < tmpl.item_count; ++i) {
    const DialogItemTemplate& item = tmpl.items[i];
    GtkWidget* widget = nullptr;
    Window* control = nullptr;
    if (is_class(item.class_name, "msctls_progress32")) {
      widget = gtk_progress_bar_new();
      if (item.style & WS_BORDER) gtk_style_context_add_class(gtk_widget_get_style_context(widget), "bordered");
      control = add_control(dialog.get(), Kind::kProgress, item.id, widget, nullptr);
    } else if (is_class(item.class_name, "Static")) {
      widget = gtk_label_new(item.text ? item.text : "");
      gtk_label_set_xalign(GTK_LABEL(widget), 0.0f);
      gtk_label_set_yalign(GTK_LABEL(widget), 0.0f);
      gtk_label_set_ellipsize(GTK_LABEL(widget), PANGO_ELLIPSIZE_END);
      control = add_control(dialog.get(), Kind::kStatic, item.id, widget, item.text);
    } else if (is_class(item.class_name, "Button")) {
      widget = gtk_button_new_with_label(item.text ? item.text : "");
      gtk_widget_set_can_focus(widget, (item.style & WS_TABSTOP) != 0);
      control = add_control(dialog.get(), Kind::kButton, item.id, widget, item.text);
    } else {
      return nullptr;
    }
    gtk_widget_set_size_request(widget, scale(item.width, unit_x, 4), scale(item.height, unit_y, 8));
    gtk_fixed_put(GTK_FIXED(fixed), widget, scale(item.x, unit_x, 4), scale(item.y, unit_y, 8));
    if (item.style & WS_VISIBLE) gtk_widget_show(widget);
    (void)control;
  }
  return dialog.release();
}

// The modal loop shared by dialogs and message boxes: shows the window unless it has ended already, runs
// until end_dialog, then takes the window down.
intptr_t run_modal(Window* dialog) {
  if (!dialog->ended) {
    gtk_widget_show(dialog->widget);
    for (auto& control : dialog->controls) {
      if (control->kind == Kind::kButton && gtk_widget_get_can_focus(control->widget)) {
        gtk_widget_grab_focus(control->widget);
        break;
      }
    }
    dialog->loop = g_main_loop_new(nullptr, FALSE);
    if (!dialog->ended) g_main_loop_run(dialog->loop);
  }
  intptr_t result = dialog->result;
  destroy_dialog(dialog);
  delete dialog;
  return result;
}

// The resource loader's choice among the variants of one id: the user's language, else English, else any.
template <typename Entry, typename Id>
const Entry* pick_variant(const Entry* entries, size_t count, Id id) {
  const Entry* english = nullptr;
  const Entry* any = nullptr;
  uint16_t language = ui_language();
  for (size_t i = 0; i < count; ++i) {
    const Entry& entry = entries[i];
    if (entry.id != id) continue;
    if (entry.language == language) return &entry;
    if (entry.language == LANG_ENGLISH_US && !english) english = &entry;
    if (!any) any = &entry;
  }
  return english ? english : any;
}

const DialogTemplate* find_template(Hinstance instance, int id) {
  return instance ? pick_variant(instance->dialogs, instance->dialog_count, id) : nullptr;
}

const StringResource* find_string(Hinstance instance, uint32_t id) {
  return instance ? pick_variant(instance->strings, instance->string_count, id) : nullptr;
}

const char* icon_name(uint32_t type) {
  switch (type & MB_ICONMASK) {
    case MB_ICONERROR: return "dialog-error";
    case 0x20: return "dialog-question";
    case 0x30: return "dialog-warning";
    case 0x40: return "dialog-information";
    default: return nullptr;
  }
}

}  // namespace

intptr_t dialog_box_param(Hinstance instance, int template_id, Hwnd owner, DialogProc procedure,
                          Lparam init_param) {
  const DialogTemplate* tmpl = find_template(instance, template_id);
  if (!tmpl) {
    set_last_error(ERROR_RESOURCE_NAME_NOT_FOUND);
    return -1;
  }
  if (!gtk_ready()) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  Window* dialog = build_dialog(*tmpl);
  if (!dialog) {
    set_last_error(ERROR_RESOURCE_NAME_NOT_FOUND);
    return -1;
  }
  dialog->procedure = procedure;
  if (Window* parent = static_cast<Window*>(owner); parent && is_live(parent)) {
    gtk_window_set_transient_for(GTK_WINDOW(dialog->widget), GTK_WINDOW(parent->dialog->widget));
  }
  register_window(dialog);
  Window* first_tab_stop = nullptr;
  for (auto& control : dialog->controls) {
    register_window(control.get());
    if (!first_tab_stop && control->kind == Kind::kButton && gtk_widget_get_can_focus(control->widget)) {
      first_tab_stop = control.get();
    }
  }
  if (procedure) procedure(dialog, WM_INITDIALOG, reinterpret_cast<Wparam>(first_tab_stop), init_param);
  return run_modal(dialog);
}

bool end_dialog(Hwnd handle, intptr_t result) {
  Window* dialog = live_window(handle);
  if (!dialog || dialog->kind != Kind::kDialog) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  return on_window_thread(dialog, [dialog, result]() -> Lresult {
           dialog->ended = true;
           dialog->result = result;
           if (dialog->loop) g_main_loop_quit(dialog->loop);
           return 1;
         }) != 0;
}

Hwnd get_dlg_item(Hwnd handle, int id) {
  Window* dialog = live_window(handle);
  if (!dialog || dialog->kind != Kind::kDialog) return nullptr;
  Window* control = find_control(dialog, id);
  if (!control) set_last_error(ERROR_INVALID_WINDOW_HANDLE);
  return control;
}

Lresult send_message(Hwnd handle, uint32_t message, Wparam wparam, Lparam lparam) {
  Window* window = live_window(handle);
  if (!window) return 0;
  return on_window_thread(window, [window, message, wparam, lparam] {
    return is_live(window) ? dispatch(window, message, wparam, lparam) : 0;
  });
}

Lresult send_dlg_item_message(Hwnd dialog, int id, uint32_t message, Wparam wparam, Lparam lparam) {
  Hwnd control = get_dlg_item(dialog, id);
  return control ? send_message(control, message, wparam, lparam) : 0;
}

int load_string(Hinstance instance, uint32_t id, wchar_t* buffer, int capacity) {
  if (!buffer || capacity <= 0) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  buffer[0] = L'\0';
  const StringResource* entry = find_string(instance, id);
  if (!entry) {
    set_last_error(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  }
  size_t count = std::min<size_t>(std::wcslen(entry->text), static_cast<size_t>(capacity - 1));
  std::copy_n(entry->text, count, buffer);
  buffer[count] = L'\0';
  return static_cast<int>(count);
}

int message_box(Hwnd owner, const wchar_t* text, const wchar_t* caption, uint32_t type) {
  if (!gtk_ready()) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  std::string caption_utf8 = to_utf8(caption ? caption : L"Error");
  Window* box = new_dialog_window(caption_utf8.c_str(), true, true);
  if (Window* parent = static_cast<Window*>(owner); parent && is_live(parent)) {
    gtk_window_set_transient_for(GTK_WINDOW(box->widget), GTK_WINDOW(parent->dialog->widget));
  }
  GtkWidget* outer = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  gtk_container_set_border_width(GTK_CONTAINER(outer), 12);
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  if (const char* icon = icon_name(type)) {
    GtkWidget* image = gtk_image_new_from_icon_name(icon, GTK_ICON_SIZE_DIALOG);
    gtk_widget_set_valign(image, GTK_ALIGN_START);
    gtk_box_pack_start(GTK_BOX(row), image, FALSE, FALSE, 0);
  }
  std::string text_utf8 = to_utf8(text ? text : L"");
  GtkWidget* label = gtk_label_new(text_utf8.c_str());
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(label), 60);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_box_pack_start(GTK_BOX(row), label, TRUE, TRUE, 0);
  add_control(box, Kind::kStatic, kMessageBoxTextId, label, text_utf8.c_str());
  GtkWidget* ok = gtk_button_new_with_label("OK");
  gtk_widget_set_halign(ok, GTK_ALIGN_END);
  gtk_widget_set_size_request(ok, 80, -1);
  add_control(box, Kind::kButton, IDOK, ok, "OK");
  gtk_box_pack_start(GTK_BOX(outer), row, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(outer), ok, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(box->widget), outer);
  gtk_widget_show_all(outer);
  register_window(box);
  for (auto& control : box->controls) register_window(control.get());
  // Seam for end-to-end tests of whole processes: the box records what it says and is answered at once.
  if (const char* record = std::getenv("ZANTHO_MESSAGE_BOX_LOG")) {
    if (FILE* out = std::fopen(record, "a")) {
      std::fprintf(out, "%s\t%s\n", caption_utf8.c_str(), text_utf8.c_str());
      std::fclose(out);
    }
    box->result = IDOK;
    box->ended = true;
  }
  run_modal(box);
  // With only an OK button, Esc and the close box answer OK too.
  return IDOK;
}

uint16_t ui_language_for_locale(const char* locale) {
  if (!locale || std::strncmp(locale, "zh_", 3) != 0) return LANG_ENGLISH_US;
  std::string country(locale + 3, std::strcspn(locale + 3, ".@"));
  for (char& c : country) c = static_cast<char>(g_ascii_toupper(c));
  if (country == "CN" || country == "SG") return LANG_CHINESE_SIMPLIFIED;
  if (country == "TW" || country == "HK" || country == "MO") return LANG_CHINESE_TRADITIONAL;
  return LANG_ENGLISH_US;
}

uint16_t ui_language() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return ui_language_for_locale(value);
  }
  return LANG_ENGLISH_US;
}

Hwnd find_window(const wchar_t* caption) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (Window* window : g_live) {
    if (window->kind == Kind::kDialog && caption && window->text == caption) return window;
  }
  return nullptr;
}

std::wstring window_text(Hwnd window) {
  Lresult length = send_message(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  Lresult copied = send_message(window, WM_GETTEXT, text.size(), reinterpret_cast<Lparam>(text.data()));
  text.resize(static_cast<size_t>(copied));
  return text;
}

int progress_position(Hwnd progress_bar) { return static_cast<int>(send_message(progress_bar, PBM_GETPOS, 0, 0)); }

bool click_button(Hwnd handle) {
  Window* button = live_window(handle);
  if (!button || button->kind != Kind::kButton) return false;
  return on_window_thread(button, [button]() -> Lresult {
           if (!is_live(button)) return 0;
           gtk_button_clicked(GTK_BUTTON(button->widget));
           return 1;
         }) != 0;
}

namespace {

// Hands the dialog a synthetic event of the given type, as the window system would.
bool send_event(Hwnd handle, GdkEventType type, guint keyval) {
  Window* dialog = live_window(handle);
  if (!dialog || dialog->kind != Kind::kDialog) return false;
  return on_window_thread(dialog, [dialog, type, keyval]() -> Lresult {
           GdkWindow* gdk_window = is_live(dialog) ? gtk_widget_get_window(dialog->widget) : nullptr;
           if (!gdk_window) return 0;
           GdkEvent* event = gdk_event_new(type);
           event->any.window = GDK_WINDOW(g_object_ref(gdk_window));
           event->any.send_event = TRUE;
           if (type == GDK_KEY_PRESS) {
             event->key.keyval = keyval;
             event->key.time = GDK_CURRENT_TIME;
             GdkSeat* seat = gdk_display_get_default_seat(gdk_window_get_display(gdk_window));
             if (seat) gdk_event_set_device(event, gdk_seat_get_keyboard(seat));
           }
           gtk_widget_event(dialog->widget, event);
           gdk_event_free(event);
           return 1;
         }) != 0;
}

}  // namespace

void observe_messages(MessageObserver observer) { g_observer.store(observer); }

bool press_escape(Hwnd dialog) { return send_event(dialog, GDK_KEY_PRESS, GDK_KEY_Escape); }

bool click_close_box(Hwnd dialog) { return send_event(dialog, GDK_DELETE, 0); }

bool save_window_image(Hwnd handle, const std::string& png_path) {
  Window* dialog = live_window(handle);
  if (!dialog || dialog->kind != Kind::kDialog) return false;
  return on_window_thread(dialog, [dialog, &png_path]() -> Lresult {
           if (!is_live(dialog)) return 0;
           int width = gtk_widget_get_allocated_width(dialog->widget);
           int height = gtk_widget_get_allocated_height(dialog->widget);
           if (width <= 1 || height <= 1) return 0;
           cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
           cairo_t* cr = cairo_create(surface);
           gtk_widget_draw(dialog->widget, cr);
           cairo_destroy(cr);
           cairo_status_t status = cairo_surface_write_to_png(surface, png_path.c_str());
           cairo_surface_destroy(surface);
           return status == CAIRO_STATUS_SUCCESS ? 1 : 0;
         }) != 0;
}

}  // namespace platform
