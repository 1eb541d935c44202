// The commands of the desktop integration: notifications and their preferences, and following
// a chat's reply. The notifier and the reply watchers are looked up in the state when a
// command runs.
#pragma once

#include "app/commands.h"

namespace kavor::app {

void install_desktop_commands(CommandTable& table, const CommandContext& context);

}  // namespace kavor::app
