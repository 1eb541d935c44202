// The chat-history import command of the chat web application.
#pragma once

#include "app/commands.h"

namespace kavor::app {

// Adds `chatgpt_import` (path, token): reads the export archive, uploads it resumably and
// answers with the service's answer to the start step.
void install_import_commands(CommandTable& table, const CommandContext& context);

}  // namespace kavor::app
