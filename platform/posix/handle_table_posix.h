// The table behind every handle the POSIX layer gives out: a handle is a key to a live object of one kind.
// Used by the layer's own files only.
#pragma once

#include <memory>

#include "platform/handle.h"

namespace platform::posix {

enum class HandleKind { mutex, event, process, thread, search, snapshot };

// The object stays alive while the table or a caller (a wait in progress) holds it.
Handle insert_handle(HandleKind kind, std::shared_ptr<void> object);

std::shared_ptr<void> find_handle(Handle handle, HandleKind kind);

template <typename T>
std::shared_ptr<T> find_handle_as(Handle handle, HandleKind kind) {
  return std::static_pointer_cast<T>(find_handle(handle, kind));
}

// The kind of a live handle; false when the handle is unknown.
bool handle_kind(Handle handle, HandleKind* kind);

}  // namespace platform::posix
