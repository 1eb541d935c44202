#include "app/agent_state.h"

#include "desktop/notifier.h"
#include "device/device_store.h"
#include "platform/fatal.h"

namespace kavor::app {

AgentState::AgentState(mention::IndexLocation index_location, mention::EventSink index_events)
    : mentions(std::move(index_location), std::move(index_events)) {}

AgentState::~AgentState() = default;

device::DeviceStore& AgentState::device_store() const {
  if (device == nullptr) fatal("the device store used before the agent started");
  return *device;
}

desktop::Notifier& AgentState::loaded_notifier() const {
  if (notifier == nullptr) fatal("the notifier used before the agent started");
  return *notifier;
}

}  // namespace kavor::app
