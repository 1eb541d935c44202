#include "app/tools.h"

#include "browser/tool.h"
#include "tools/command_tools.h"
#include "tools/file_tools.h"
#include "tools/memory.h"

namespace kavor {

void install_tools(tools::ToolTable& table, browser::BrowserRegistry& browsers) {
  tools::install_command_tools(table);
  table.add("browser", browser::browser_tool(browsers));
  tools::install_file_tools(table);
  table.add("save_memory", tools::save_memory_tool());
  table.add("forget_memory", tools::forget_memory_tool());
}

}  // namespace kavor
