#include "tools/install.h"

#include "browser/tool.h"
#include "tools/command_tools.h"
#include "tools/file_tools.h"
#include "tools/memory.h"

namespace kavor::tools {

void install_tools(ToolTable& table) {
  install_command_tools(table);
  table.add("browser", browser::browser_tool());
  install_file_tools(table);
  table.add("save_memory", save_memory_tool());
  table.add("forget_memory", forget_memory_tool());
}

}  // namespace kavor::tools
