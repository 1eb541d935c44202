#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>

#include "run_support.h"

namespace kavor::exec {
namespace shutdown_test {
namespace {

using namespace test;

class ShutdownTest : public RealProcessTest {};

TEST_F(ShutdownTest, QuittingWithACommandRunningLeavesNothingOfItRunning) {
  std::ofstream(folder_ / "pids");
  const std::string helper = KAVOR_SHUTDOWN_HELPER;
  // The helper quits while its command's task is suspended: that task's memory goes with the
  // process, which the leak checker would count against it.
  const std::string no_leak_check = "ASAN_OPTIONS=\"${ASAN_OPTIONS}:detect_leaks=0\" ";
  ASSERT_EQ(std::system((no_leak_check + helper + " " + folder_.string()).c_str()), 0);
  const auto pids = pids_in(folder_ / "pids");
  ASSERT_EQ(pids.size(), 3u);
  EXPECT_TRUE(all_gone(pids));
}

// A fenced run ends and leaves a process behind in a session of its own, with no marker in its
// environment and, on this machine, no cgroup: it ends with the program, whether the program
// quits or is killed outright (then no code of the program runs at its end).
TEST_F(ShutdownTest, WhatAFencedRunLeftBehindEndsWithTheProgramHoweverItEnds) {
  if (landlock_abi() == 0 || run_view_support() != ViewSupport::Full) {
    GTEST_SKIP() << "fenced runs get no user namespace here";
  }
  const std::string helper = KAVOR_SHUTDOWN_HELPER;
  const std::string no_leak_check = "ASAN_OPTIONS=\"${ASAN_OPTIONS}:detect_leaks=0\" ";
  for (const std::string end : {"quits", "killed"}) {
    SCOPED_TRACE(end);
    if (end == "killed" && !runs_end_with_agent()) continue;
    fs::remove(folder_ / "pids");
    std::ofstream(folder_ / "pids");
    const int status =
        std::system((no_leak_check + helper + " " + folder_.string() + " fenced " + end).c_str());
    EXPECT_EQ(status == 0, end == "quits") << status;
    ASSERT_EQ(pids_in(folder_ / "pids").size(), 1u);
    const bool gone = kavor::test::wait_until([] { return pids_running("303.25").empty(); }, 3s);
    EXPECT_TRUE(gone);
    for (const pid_t pid : pids_running("303.25")) ::kill(pid, SIGKILL);
  }
}

}  // namespace
}  // namespace shutdown_test
}  // namespace kavor::exec
