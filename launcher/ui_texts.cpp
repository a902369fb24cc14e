#include "launcher/ui_texts.h"

platform::Hinstance g_hinstance = nullptr;
wchar_t g_error_caption[100] = {};
wchar_t g_message_text[1024] = {};
