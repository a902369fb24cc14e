#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/support/probe_runner.h"
#include "tests/support/scratch_dir.h"

namespace {

// Windows passes a command line, not a vector: blanks, quotes and backslashes before a quote must survive it.
TEST(ChildProcessTest, ArgumentsReachTheProgramAsGiven) {
  ScratchDir scratch;
  std::string report = (scratch / "report").string();
  const std::vector<std::string> arguments = {"two words", "a \"quoted\" word", "back\\slash\\", "", "end\\\\", "x\ty"};
  std::vector<std::string> line = {"echo-args", report};
  line.insert(line.end(), arguments.begin(), arguments.end());
  ASSERT_EQ(run_probe(line), 0);
  EXPECT_EQ(wait_for_report(report, 5000).result, "two words|a \"quoted\" word|back\\slash\\||end\\\\|x\ty");
}

TEST(ChildProcessTest, ExitCodeComesBackAndAMissingProgramDoesNotStart) {
  EXPECT_EQ(run_probe({"no-such-command"}), 64);
  ScratchDir scratch;
  ChildProcess missing({(scratch / "no-program").string()});
  EXPECT_FALSE(missing.started());
  EXPECT_FALSE(missing.error().empty());
  EXPECT_EQ(missing.process_id(), 0u);
  EXPECT_FALSE(missing.wait(0));
  EXPECT_EQ(run_program({(scratch / "no-program").string()}), -1);
}

TEST(ChildProcessTest, WaitTimesOutAndKillEndsTheProgram) {
  ScratchDir scratch;
  std::string report = (scratch / "report").string();
  ProbeReport probe = start_probe({"mutex", "child-process-test", report, "30000"}, report);
  ASSERT_NE(probe.process, nullptr);
  EXPECT_EQ(probe.process->process_id(), probe.process_id);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(probe.process->wait(100));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
  EXPECT_FALSE(probe.process->ended());
  EXPECT_TRUE(probe.process->kill());
  EXPECT_TRUE(probe.process->ended());
  EXPECT_EQ(probe.process->exit_code(), 128 + 9);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(ChildProcessTest, RunKillsAProgramThatOutlastsItsTimeOut) {
  ScratchDir scratch;
  std::string report = (scratch / "report").string();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run_program({probe_program().string(), "mutex", "child-process-test", report, "30000"}, {}, 500), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  ProbeReport held = wait_for_report(report, 0);
  ASSERT_NE(held.process_id, 0u);
  // Killed, the holder let go of the mutex: a new holder creates it afresh.
  std::string again = (scratch / "again").string();
  EXPECT_EQ(start_probe({"mutex", "child-process-test", again, "0"}, again).result, "created");
}

}  // namespace
