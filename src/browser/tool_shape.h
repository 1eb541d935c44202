// What a client that discovers tools by itself is told about the `browser` tool: its arguments
// as decode_browser_args reads them (args.h), held to that decoder by the tool table's test.
#pragma once

#include "tools/tool_shape.h"

namespace kavor::browser {

const tools::ToolShape& browser_tool_shape();

}  // namespace kavor::browser
