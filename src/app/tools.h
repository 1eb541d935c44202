// Every tool this version knows, installed into a table. The composition lives here, above the
// layers of the tools themselves, so that the file tools never depend on the browser.
#pragma once

#include "tools/tool_table.h"

namespace kavor {

namespace browser {
class BrowserRegistry;
}

// The `browser` tool runs its calls through `browsers`, which must outlive every call.
void install_tools(tools::ToolTable& table, browser::BrowserRegistry& browsers);

}  // namespace kavor
