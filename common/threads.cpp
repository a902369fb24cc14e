#include "common/threads.h"

#include <atomic>
#include <cstdlib>
#include <cstddef>
#include <new>
#include <thread>

#include "platform/process.h"
#include "platform/sync.h"

namespace {

// The block as the caller sees it, and a count of its two users (the caller's join and the started thread):
// whoever is last frees it, so join_thread may give a still-running thread up without pulling the block away.
struct SharedBlock {
  ThreadBlock block;
  std::atomic<int> users;
  std::atomic<bool> handle_stored;
};
static_assert(offsetof(SharedBlock, block) == 0);

void let_go(ThreadBlock* block) {
  auto* shared = reinterpret_cast<SharedBlock*>(block);
  if (shared->users.fetch_sub(1) == 1) {
    shared->users.~atomic();
    shared->handle_stored.~atomic();
    std::free(shared);
  }
}

uint32_t start_routine(void* parameter) { return thread_trampoline(static_cast<ThreadBlock*>(parameter)); }

}  // namespace

int32_t* interlocked_add(int32_t* counter, int32_t amount) {
  std::atomic_ref<int32_t>(*counter).fetch_add(amount, std::memory_order_seq_cst);
  return counter;
}

ThreadBlock* start_thread(void* argument, void (*function)(void*)) {
  void* memory = std::calloc(1, sizeof(SharedBlock));
  if (memory == nullptr) {
    return nullptr;
  }
  auto* shared = static_cast<SharedBlock*>(memory);
  new (&shared->users) std::atomic<int>(2);
  new (&shared->handle_stored) std::atomic<bool>(false);
  shared->block.function = function;
  shared->block.argument = argument;
  platform::Handle thread = platform::create_thread(start_routine, &shared->block);
  if (thread == nullptr) {
    shared->users.~atomic();
    shared->handle_stored.~atomic();
    std::free(shared);
    return nullptr;
  }
  shared->block.thread = thread;
  shared->handle_stored.store(true, std::memory_order_release);
  return &shared->block;
}

uint32_t thread_trampoline(ThreadBlock* block) {
  block->function(block->argument);
  // The thread may finish before start_thread has stored its handle.
  auto* shared = reinterpret_cast<SharedBlock*>(block);
  while (!shared->handle_stored.load(std::memory_order_acquire)) {
    std::this_thread::yield();
  }
  platform::close_handle(block->thread);
  let_go(block);
  return 0;
}

void join_thread(ThreadBlock* block) {
  platform::wait_for_single_object(block->thread, 1000);
  let_go(block);
}

bool get_process_id(platform::Handle process, uint64_t* id) {
  *id = platform::get_process_id(process);
  return *id != 0;
}

// The POSIX layer has no named pipes: this always fails and leaves the id as it was.
bool get_pipe_client_pid(platform::Handle pipe, uint64_t* id) {
  uint32_t client = 0;
  if (!platform::get_named_pipe_client_process_id(pipe, &client)) {
    return false;
  }
  *id = client;
  return true;
}
