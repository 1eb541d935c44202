// The memory tools, save_memory and forget_memory: the assistant's way to keep notes about a
// project across chats (memory_store.h says where they live, memory_format.h what they hold).
// Decoding checks the arguments, locates the memory inside the call's scope and computes the
// change the user is shown; running makes it.
#pragma once

#include "tools/memory_format.h"
#include "tools/tool_table.h"

namespace kavor::tools {

Decoder save_memory_tool(Clock clock = system_seconds);
Decoder forget_memory_tool();

}  // namespace kavor::tools
