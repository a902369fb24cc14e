// The module whose resources the launcher reads and the two text buffers its windows share.
#pragma once

#include "platform/ui.h"

extern platform::Hinstance g_hinstance;
// String 201, the caption of the start-failure box.
extern wchar_t g_error_caption[100];
// The one buffer every string-table text is loaded into, by the dialog's slots and, after the dialog, the entry.
extern wchar_t g_message_text[1024];
