// The command tools: shell, run_tests, wsl and docker. Decoding turns the arguments into the
// process to start (exec/command_line.h), shows the user the command as it will run, and marks
// the call outside when its working folder or a path in the command leaves the scope, or when
// the command keeps from the check where it leads (tools/command_scope.h). Running streams the
// output to the page as `agent://output` events ({call_id, chunk}) and answers with the bounded
// text (exec/runner.h). `wsl` without a command lists the distributions instead: a read, run on
// the tools' worker pool.
//
// A `shell` or `run_tests` call that runs without the user having seen it (RunContext::fence)
// runs inside `fence` (exec/fence.h), writing only below the call's folders. `wsl` and `docker`
// never do: their work happens in a virtual machine or a daemon that a process fence does not
// reach, so a fence there would only promise what it cannot keep.
#pragma once

#include <memory>

#include "exec/fence.h"
#include "tools/tool_table.h"

namespace kavor::tools {

using FencePtr = std::shared_ptr<const exec::Fence>;

Decoder shell_tool(FencePtr fence = nullptr);
Decoder run_tests_tool(FencePtr fence = nullptr);
Decoder wsl_tool();
Decoder docker_tool();

// Adds the four tools above under their names.
void install_command_tools(ToolTable& table, FencePtr fence = nullptr);

}  // namespace kavor::tools
