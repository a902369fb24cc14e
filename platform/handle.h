// Opaque handles of the platform's kernel objects (mutex, event, process, thread, search).
// A null handle is the failure value, as on Windows.
#pragma once

namespace platform {

using Handle = void*;

// Closes any handle the layer gave out; false for a null or unknown handle.
bool close_handle(Handle handle);

}  // namespace platform

namespace platform {

// A window of the user-interface layer; null means none.
using Hwnd = void*;

}  // namespace platform
