// A minimal thread start and join pair, an atomic counter add and process-id queries.
#pragma once

#include <cstdint>

#include "platform/handle.h"

struct ThreadBlock {
  platform::Handle thread;
  void (*function)(void*);
  void* argument;
};

int32_t* interlocked_add(int32_t* counter, int32_t amount);
ThreadBlock* start_thread(void* argument, void (*function)(void*));
uint32_t thread_trampoline(ThreadBlock* block);
void join_thread(ThreadBlock* block);
bool get_process_id(platform::Handle process, uint64_t* id);
bool get_pipe_client_pid(platform::Handle pipe, uint64_t* id);
