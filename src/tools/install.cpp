#include "tools/install.h"

#include "browser/tool.h"
#include "tools/file_tools.h"
#include "tools/memory.h"

namespace kavor::tools {

namespace {

// Tools whose runners are not part of this version: known by name, refused with a sentence
// the assistant can pass on.
Decoder not_available(std::string what) {
  return [what](const Json&, const Scope&) -> DecodeResult {
    return what + " is not available in this version of Kavor Agent.";
  };
}

}  // namespace

void install_tools(ToolTable& table) {
  for (const char* name : {"shell", "run_tests", "wsl", "docker"}) {
    table.add(name, not_available("Running commands"));
  }
  table.add("browser", browser::browser_tool());
  install_file_tools(table);
  table.add("save_memory", save_memory_tool());
  table.add("forget_memory", forget_memory_tool());
}

}  // namespace kavor::tools
