// What the web application shows and hands to the assistant about a project: its instruction
// file (AGENTS.md, else AGENT.md), the memory overview and the number of memories. Every file
// is read only where it lies inside the workspace; one that leads out of it (a link to a key
// file, to /proc/self/environ) counts as absent.
#pragma once

#include <cstddef>
#include <string>

#include "common/json.h"
#include "platform/result.h"

namespace kavor::tools {

inline constexpr std::size_t kInstructionsLimit = 32768;
inline constexpr std::size_t kIndexLimit = 16384;

// The answer of agent_project_context: the object with instructions_file, instructions,
// memory_index and memories, or the sentence why it cannot be given.
Result<common::Json> project_context(const std::string& workspace);

}  // namespace kavor::tools
