// Every tool this version knows, installed into a table.
#pragma once

#include "tools/tool_table.h"

namespace kavor::tools {

void install_tools(ToolTable& table);

}  // namespace kavor::tools
