#include "tools/project_context.h"

#include <filesystem>
#include <optional>
#include <utility>

#include "platform/text.h"
#include "tools/memory_store.h"
#include "tools/paths.h"

namespace kavor::tools {

Result<common::Json> project_context(const std::string& workspace) {
  if (blank(workspace)) return fail("No workspace folder is selected.");
  const auto resolved = resolve_workspace(workspace);
  if (!resolved.ok()) return resolved.error();
  const fs::path& root = resolved.value();
  const Scope scope{root, {}};
  // The page shows these texts and hands them to the assistant: a file that leads out of the
  // workspace (a link to a key file, to /proc/self/environ) counts as absent.
  const auto read_inside = [&scope](const char* relative,
                                    std::size_t limit) -> std::optional<std::string> {
    try {
      const fs::path file = resolve_path(relative, scope.root);
      if (!scope.contains(file)) return std::nullopt;
      return read_with_cut(file, limit);
    } catch (const PathError&) {
      return std::nullopt;
    }
  };

  std::string instructions_file;
  std::string instructions;
  for (const char* name : {"AGENTS.md", "AGENT.md"}) {
    if (auto text = read_inside(name, kInstructionsLimit)) {
      instructions_file = name;
      instructions = std::move(*text);
      break;
    }
  }
  const auto index = read_inside(kMemoryIndexFile, kIndexLimit);
  std::size_t memories = 0;
  try {
    const fs::path folder = resolve_path(kMemoryFolder, root);
    if (scope.contains(folder)) {
      const Result<std::vector<MemoryFile>> listed = list_memories(folder, scope);
      if (listed.ok()) memories = listed->size();
    }
  } catch (const PathError&) {
  }

  common::Json context = common::Json::object();
  context["instructions_file"] = instructions_file;
  context["instructions"] = instructions;
  context["memory_index"] = index ? common::Json(*index) : common::Json(nullptr);
  context["memories"] = memories;
  return context;
}

}  // namespace kavor::tools
