// The running program without its windows: the shared state objects, the command table, the
// tools with their worker pool and the private browsers, and the bridge loop. The shell puts
// windows around it; tests and a run without a desktop use it as it is, with a Host of their own.
//
// Ending is ordered, because work in flight holds references to the state: the destructor
// 1. asks every task to stop (a task resumed later touches nothing),
// 2. sets the stop flag of every running call, so long tool runs end early,
// 3. ends the bridge loop and closes the private browsers,
// 4. waits for both worker pools, whose tasks may be inside the device store or a tool,
// 5. and only then destroys the state, in reverse order of creation.
#pragma once

#include <QThreadPool>

#include <memory>
#include <stop_token>

#include "app/agent_state.h"
#include "app/command_table.h"
#include "common/endpoints.h"
#include "tools/tool_table.h"

namespace kavor {
namespace bridge {
class Bridge;
}
namespace common {
class Host;
}
namespace desktop {
class Notifications;
class Toaster;
}  // namespace desktop
namespace browser {
class BrowserRegistry;
}
namespace device {
class CredentialStore;
}
}  // namespace kavor

namespace kavor::app {

// Blocking tool runs mostly wait on the disk; this many may run at once before a call waits
// for a free thread.
inline constexpr int kToolThreads = 16;

struct AgentOptions {
  common::Endpoints endpoints = common::Endpoints::built_in();
  // Where the credential store is reached; the system's when empty.
  device::CredentialStore* credentials = nullptr;
  // Where the core's notification requests go; the notifier (loaded by start()) when empty.
  desktop::Notifications* notifications = nullptr;
  // Where the notifier's toasts go; the desktop's notification service when empty.
  desktop::Toaster* toaster = nullptr;
};

class Agent {
 public:
  // `host` must outlive the agent.
  Agent(AgentOptions options, common::Host& host);
  ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // Loads the device registration and the notification settings from the configuration
  // folder and starts the bridge loop.
  void start();

  AgentState& state() { return state_; }
  CommandTable& commands() { return commands_; }
  tools::ToolTable& tools() { return tools_; }
  // The private browsers the `browser` tool runs its calls in.
  browser::BrowserRegistry& browsers() { return *browsers_; }
  const common::Endpoints& endpoints() const { return options_.endpoints; }
  desktop::Notifications& notifications() { return *options_.notifications; }
  // Where blocking tool runs go (tools::DispatchContext::pool).
  QThreadPool& tool_pool() { return tool_pool_; }
  // Requested when the agent ends.
  std::stop_token stop_token() const { return stop_.get_token(); }

 private:
  AgentOptions options_;
  common::Host& host_;
  // Declared before the state, whose mention events watch it.
  std::stop_source stop_;
  std::unique_ptr<device::CredentialStore> own_credentials_;
  std::unique_ptr<desktop::Notifications> own_notifications_;
  std::unique_ptr<desktop::Toaster> own_toaster_;
  AgentState state_;
  CommandTable commands_;
  std::unique_ptr<browser::BrowserRegistry> browsers_;
  tools::ToolTable tools_;
  QThreadPool tool_pool_;
  std::unique_ptr<bridge::Bridge> bridge_;
};

}  // namespace kavor::app
