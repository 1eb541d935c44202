// The shared state of a running agent: one object of each kind, named, owned for the agent's
// whole life. The command table, the bridge and the shell reach them through this struct, so a
// command says which objects it uses by the members it names, and none can be missing.
//
// The members are created in the order they are declared and destroyed in the reverse order:
// a later member may refer to an earlier one, never the other way round.
#pragma once

#include <memory>

#include "bridge/status.h"
#include "desktop/reply_watcher.h"
#include "desktop/watchdog.h"
#include "mention/mentions.h"
#include "tools/approvals.h"
#include "tools/dispatch.h"

namespace kavor {
namespace desktop {
class Notifier;
}
namespace device {
class DeviceStore;
}
}  // namespace kavor

namespace kavor::app {

struct AgentState {
  // Where the mention indexes keep their files, and how their updates reach the page.
  AgentState(mention::IndexLocation index_location, mention::EventSink index_events);
  ~AgentState();
  AgentState(const AgentState&) = delete;
  AgentState& operator=(const AgentState&) = delete;

  tools::Approvals approvals;
  bridge::Status status;
  desktop::Watchers watchers;
  desktop::Watchdog watchdog;
  tools::RunningChats running_chats;
  // Every open index is stopped and saves itself when the state ends.
  mention::Mentions mentions;

  // Loaded from the configuration folder when the agent starts (Agent::start); empty before.
  // The page's commands run only once the agent has started.
  std::unique_ptr<device::DeviceStore> device;
  std::unique_ptr<desktop::Notifier> notifier;

  // The loaded device store and notifier; using either before the agent started is a
  // programming error and stops the program.
  device::DeviceStore& device_store() const;
  desktop::Notifier& loaded_notifier() const;
};

}  // namespace kavor::app
