// The `browser` tool as the dispatcher sees it: decoding (what the user is shown and approves)
// on a worker thread, then the call on the event-loop thread through the agent's registry.
#pragma once

#include "tools/tool_table.h"

namespace kavor::browser {

class BrowserRegistry;

// The decoder of the `browser` tool, running its calls through `registry`, which must outlive
// every call.
tools::Decoder browser_tool(BrowserRegistry& registry);

}  // namespace kavor::browser
