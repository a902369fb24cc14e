#include "update/pipeline_state.h"

UiCallbacks* g_ui_callbacks = nullptr;
platform::Hwnd g_ui_window = nullptr;
int32_t g_retry_count = 0;

const int32_t update_error_string_ids[31] = {
    211, 212, 241, 213, 214, 215, 216, 217, 218, 219, 220, 221, 222, 223, 224, 225,
    226, 227, 228, 229, 230, 231, 232, 233, 234, 235, 236, 237, 238, 239, 240,
};
