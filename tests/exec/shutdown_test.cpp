#include <gtest/gtest.h>

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

}  // namespace
}  // namespace shutdown_test
}  // namespace kavor::exec
