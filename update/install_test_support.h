// Helpers shared by the tests of the installing steps: a record of the slots a step called, and a listing of a tree.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "launcher/ui_callbacks.h"
#include "update/pipeline_state.h"

using Progress = std::vector<std::pair<int32_t, int32_t>>;

// Installs itself as the run's callback table with the begin and progress slots of one step set.
class SlotRecorder {
 public:
  using BeginSlot = int (*UiCallbacks::*)(platform::Hwnd);
  using ProgressSlot = int (*UiCallbacks::*)(platform::Hwnd, int32_t, int32_t);

  SlotRecorder(BeginSlot begin, ProgressSlot progress) {
    callbacks_.*begin = [](platform::Hwnd) {
      ++begin_calls();
      return 0;
    };
    callbacks_.*progress = [](platform::Hwnd, int32_t done, int32_t total) {
      progress_calls().emplace_back(done, total);
      return 0;
    };
    clear();
    g_ui_callbacks = &callbacks_;
  }
  ~SlotRecorder() { g_ui_callbacks = nullptr; }
  SlotRecorder(const SlotRecorder&) = delete;
  SlotRecorder& operator=(const SlotRecorder&) = delete;

  void clear() {
    begin_calls() = 0;
    progress_calls().clear();
  }
  static int& begin_calls() {
    static int calls = 0;
    return calls;
  }
  static Progress& progress_calls() {
    static Progress calls;
    return calls;
  }

 private:
  UiCallbacks callbacks_;
};

// Every entry below root, relative to it with "/" separators, sorted: a stray write anywhere shows.
inline std::vector<std::string> list_tree(const std::filesystem::path& root) {
  std::vector<std::string> entries;
  for (const std::filesystem::directory_entry& entry : std::filesystem::recursive_directory_iterator(root)) {
    entries.push_back(std::filesystem::relative(entry.path(), root).generic_string());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}
