// The table of slots through which an update run reaches its user interface.
#pragma once

#include <cstdint>

#include "platform/handle.h"

// Every slot is nullable and is called with the run's window first; its result is ignored.
struct UiCallbacks {
  int (*index_begin)(platform::Hwnd window) = nullptr;
  int (*index_end)(platform::Hwnd window) = nullptr;
  int (*meta_begin)(platform::Hwnd window) = nullptr;
  int (*meta_progress)(platform::Hwnd window, int32_t done, int32_t total) = nullptr;
  int (*sync_begin)(platform::Hwnd window) = nullptr;
  int (*sync_progress)(platform::Hwnd window, int32_t done, int32_t total) = nullptr;
  int (*unzip_begin)(platform::Hwnd window) = nullptr;
  int (*unzip_progress)(platform::Hwnd window, int32_t done, int32_t total) = nullptr;
  int (*copy_begin)(platform::Hwnd window) = nullptr;
  int (*copy_progress)(platform::Hwnd window, int32_t done, int32_t total) = nullptr;
  int (*unused_11)(platform::Hwnd window) = nullptr;
  int (*update_done)(platform::Hwnd window, int32_t code) = nullptr;
  int (*update_error)(platform::Hwnd window, int32_t string_id) = nullptr;
  int (*unused_14)(platform::Hwnd window) = nullptr;
  int (*unused_15)(platform::Hwnd window) = nullptr;
};
