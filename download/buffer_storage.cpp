#include "download/buffer_storage.h"

#include <cstdint>
#include <mutex>
#include <vector>

#include "download/download_task.h"

namespace {

// Each storage starts with its own size, so one made before a change of the geometry is never handed out after.
constexpr size_t kHeader = 16;

// Gives back what is still kept when the process ends (a run's end has usually done so already).
struct KeptStorage {
  ~KeptStorage() {
    for (char* block : blocks) delete[] block;
  }
  std::vector<char*> blocks;
};

std::mutex pool_lock;
KeptStorage kept_storage;
std::vector<char*>& kept = kept_storage.blocks;

size_t capacity() { return static_cast<size_t>(g_ranges_per_buffer) * static_cast<size_t>(g_range_size); }

size_t size_of(const char* block) { return *reinterpret_cast<const size_t*>(block); }

}  // namespace

char* acquire_buffer_storage() {
  {
    std::lock_guard<std::mutex> hold(pool_lock);
    while (!kept.empty()) {
      char* block = kept.back();
      kept.pop_back();
      if (size_of(block) == capacity()) return block + kHeader;
      delete[] block;
    }
  }
  char* block = new char[kHeader + capacity()];
  *reinterpret_cast<size_t*>(block) = capacity();
  return block + kHeader;
}

void release_buffer_storage(char* storage) {
  if (!storage) return;
  char* block = storage - kHeader;
  std::lock_guard<std::mutex> hold(pool_lock);
  if (size_of(block) == capacity()) {
    kept.push_back(block);
  } else {
    delete[] block;
  }
}

void trim_buffer_storage() {
  std::lock_guard<std::mutex> hold(pool_lock);
  for (char* block : kept) delete[] block;
  kept.clear();
}
