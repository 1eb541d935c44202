#include <gtest/gtest.h>

#include <cstdlib>

#include "run_support.h"

namespace kavor::exec {
namespace {

using namespace test;

class ShutdownTest : public RealProcessTest {};

TEST_F(ShutdownTest, QuittingWithACommandRunningLeavesNothingOfItRunning) {
  std::ofstream(folder_ / "pids");
  const std::string helper = KAVOR_SHUTDOWN_HELPER;
  ASSERT_EQ(std::system((helper + " " + folder_.string()).c_str()), 0);
  const auto pids = pids_in(folder_ / "pids");
  ASSERT_EQ(pids.size(), 3u);
  EXPECT_TRUE(all_gone(pids));
}

}  // namespace
}  // namespace kavor::exec
