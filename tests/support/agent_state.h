// The agent's state for tests that drive commands without a whole agent. Its mention indexes,
// should a test open one, keep their files in `folder` and tell nobody of their updates.
#pragma once

#include <QString>

#include <memory>

#include "app/agent_state.h"

namespace kavor::test {

inline std::unique_ptr<app::AgentState> agent_state_in(const QString& folder) {
  return std::make_unique<app::AgentState>(
      mention::IndexLocation{(folder + QStringLiteral("/mention-index")).toStdString(), true},
      mention::EventSink());
}

}  // namespace kavor::test
