#include "app/tools.h"

#include "browser/profile.h"
#include "browser/tool.h"
#include "common/config_dir.h"
#include "tools/command_tools.h"
#include "tools/file_tools.h"
#include "tools/memory.h"

namespace kavor {

void install_tools(tools::ToolTable& table, browser::BrowserRegistry& browsers) {
  tools::install_command_tools(table, program_fence());
  table.add("browser", browser::browser_tool(browsers));
  tools::install_file_tools(table);
  table.add("save_memory", tools::save_memory_tool());
  table.add("forget_memory", tools::forget_memory_tool());
}

std::vector<exec::RefusedPlace> fence_places(const std::vector<std::filesystem::path>& homes) {
  std::vector<exec::RefusedPlace> places;
  // Resolved at each run, as everywhere else: the folder follows the environment.
  places.push_back({config_dir().path.toStdString()});
  places.push_back({browser::private_profile_pattern()});
  for (const std::filesystem::path& home : homes) {
    for (const std::filesystem::path& profile : browser::installed_browser_profiles()) {
      places.push_back({home / profile});
    }
  }
  return places;
}

std::shared_ptr<const exec::Fence> program_fence() {
  return std::make_shared<exec::Fence>(fence_places);
}

}  // namespace kavor
