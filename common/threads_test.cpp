#include "common/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/process.h"

namespace {

TEST(ThreadsTest, StartedThreadRunsTheFunctionWithItsArgumentAndJoinWaitsForIt) {
  struct Run {
    std::atomic<int> value{0};
  } run;
  ThreadBlock* block = start_thread(&run, [](void* argument) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    static_cast<Run*>(argument)->value = 42;
  });
  ASSERT_NE(block, nullptr);
  join_thread(block);
  EXPECT_EQ(run.value, 42);
}

TEST(ThreadsTest, JoinGivesUpAfterASecondAndTheThreadStillEndsSafely) {
  static std::atomic<bool> release{false};
  static std::atomic<bool> finished{false};
  ThreadBlock* block = start_thread(nullptr, [](void*) {
    while (!release) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    finished = true;
  });
  ASSERT_NE(block, nullptr);
  auto start = std::chrono::steady_clock::now();
  join_thread(block);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(950));
  EXPECT_LT(waited, std::chrono::milliseconds(5000));
  EXPECT_FALSE(finished);
  // The thread still holds its share of the block; under the sanitizers a use after free would show here.
  release = true;
  for (int i = 0; i < 500 && !finished; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(finished);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

TEST(ThreadsTest, InterlockedAddIsAtomicAndTakesNegativeAmounts) {
  int32_t counter = 10;
  EXPECT_EQ(interlocked_add(&counter, -25), &counter);
  EXPECT_EQ(counter, -15);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        interlocked_add(&counter, 3);
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(counter, -15 + 8 * 20000 * 3);
}

TEST(ThreadsTest, ProcessIdOfAProcessHandleAndNoPipeClients) {
  platform::Handle self = platform::open_process(platform::get_current_process_id());
  ASSERT_NE(self, nullptr);
  uint64_t id = 99;
  EXPECT_TRUE(get_process_id(self, &id));
  EXPECT_EQ(id, platform::get_current_process_id());
  platform::close_handle(self);
  EXPECT_FALSE(get_process_id(self, &id));
  EXPECT_EQ(id, 0u);  // the zero result is stored too

  id = 77;
  EXPECT_FALSE(get_pipe_client_pid(nullptr, &id));
  EXPECT_EQ(id, 77u);
  // POSIX has no named pipes; Windows refuses the null handle.
  uint32_t error = platform::last_error();
  EXPECT_TRUE(error == platform::ERROR_NOT_SUPPORTED || error == platform::ERROR_INVALID_HANDLE) << error;
}

}  // namespace
