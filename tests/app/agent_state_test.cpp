#include "app/agent_state.h"

#include <gtest/gtest.h>

namespace kavor::app {
namespace agent_state_test {
namespace {

// The device store and the notifier are loaded when the agent starts; the page's commands come
// only after that, and a use before it is a fault of the program, not of any input.
TEST(AgentState, TheLoadedObjectsUsedBeforeTheStartStopTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  AgentState state(mention::IndexLocation{"/nonexistent/mention-index", true}, {});
  EXPECT_DEATH(state.device_store(), "device store used before the agent started");
  EXPECT_DEATH(state.loaded_notifier(), "notifier used before the agent started");
}

}  // namespace
}  // namespace agent_state_test
}  // namespace kavor::app
