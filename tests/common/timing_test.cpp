#include "common/timing.h"

#include <gtest/gtest.h>

namespace kavor::common {
namespace timing_test {
namespace {

TEST(Timing, SpeedupDividesWaitsButNeverToZero) {
  timing::set_speedup(1000);
  EXPECT_EQ(timing::scaled(std::chrono::milliseconds(5000)).count(), 5);
  EXPECT_EQ(timing::scaled(std::chrono::milliseconds(10)).count(), 1);
  EXPECT_EQ(timing::scaled(std::chrono::milliseconds(0)).count(), 0);
  timing::set_speedup(0);
  EXPECT_EQ(timing::speedup(), 1);
  EXPECT_EQ(timing::scaled(std::chrono::milliseconds(40000)).count(), 40000);
}

}  // namespace
}  // namespace timing_test
}  // namespace kavor::common
