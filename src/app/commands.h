// The commands of the chat web application that the application itself answers: agent
// information, linking, links, the payment window, folder checks and pickers, the page's
// heartbeat. Commands of features still to come answer with a clear refusal.
#pragma once

#include <functional>
#include <stop_token>

#include "app/command_table.h"
#include "common/endpoints.h"

namespace kavor::common {
class Host;
}
namespace kavor::desktop {
class Notifications;
}

namespace kavor::app {

struct AgentState;

struct CommandContext {
  common::Endpoints endpoints;
  AgentState& state;
  common::Host& host;
  desktop::Notifications& notifications;
  // Requested when the program ends: a command resumed after that touches no state.
  std::stop_token shutdown;
};

// The agent information object: version, os values, the linked device, the connection state.
common::Json agent_info(const AgentState& state);

// The status of a folder the user typed or picked: "ok", "not_folder", "missing", "invalid".
QString path_status(const QString& path);

// agent_path_status: `check` runs on the shared pool, off the window's thread. A check that
// fails itself (not a missing folder, which is a status) answers "Checking the folder failed: "
// and its error.
QCoro::Task<CommandResult> path_status_command(
    QString path, std::function<QString(const QString&)> check = path_status);

void install_commands(CommandTable& table, CommandContext context);

}  // namespace kavor::app
