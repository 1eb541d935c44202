// The command tools: shell, run_tests, wsl and docker. Decoding turns the arguments into the
// process to start (exec/command_line.h), shows the user the command as it will run, and marks
// the call outside when its working folder or a path in the command leaves the scope, or when
// the command keeps from the check where it leads (tools/command_scope.h). Running streams the
// output to the page as `agent://output` events ({call_id, chunk}) and answers with the bounded
// text (exec/runner.h). `wsl` without a command lists the distributions instead: a read, run on
// the tools' worker pool.
#pragma once

#include "tools/tool_table.h"

namespace kavor::tools {

Decoder shell_tool();
Decoder run_tests_tool();
Decoder wsl_tool();
Decoder docker_tool();

// Adds the four tools above under their names.
void install_command_tools(ToolTable& table);

}  // namespace kavor::tools
