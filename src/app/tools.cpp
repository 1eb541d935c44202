#include "app/tools.h"

#include <QStandardPaths>

#include <cstdlib>

#include "browser/profile.h"
#include "browser/tool.h"
#include "common/build_config.h"
#include "common/config_dir.h"
#include "platform/session_file.h"
#include "tools/command_tools.h"
#include "tools/file_tools.h"
#include "tools/memory.h"

namespace kavor::app {

void install_tools(tools::ToolTable& table, browser::BrowserRegistry& browsers) {
  tools::install_command_tools(table, program_fence());
  table.add("browser", browser::browser_tool(browsers));
  tools::install_file_tools(table);
  table.add("save_memory", tools::save_memory_tool());
  table.add("forget_memory", tools::forget_memory_tool());
}

std::vector<exec::RefusedPlace> fence_places(const std::vector<std::filesystem::path>& homes) {
  namespace fs = std::filesystem;
  std::vector<exec::RefusedPlace> places;
  // Resolved at each run, as everywhere else: the folders follow the environment.
  // The agent's configuration (the device secret).
  places.push_back({common::config_dir().path.toStdString()});
  // The local service's session secret, which opens the chats on loopback to whoever holds it
  // (the network is not fenced). The file, not its folder: the variable may name a file in a
  // shared folder.
  places.push_back({fs::path(platform::agent_session_file())});
  // Container registry logins: podman keeps them in the runtime folder unless told otherwise.
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      runtime != nullptr && runtime[0] == '/') {
    places.push_back({fs::path(runtime) / "containers" / "auth.json"});
  }
  // The web view's data and cache: the chat's cookies and stored session.
  for (const QStandardPaths::StandardLocation kind :
       {QStandardPaths::GenericDataLocation, QStandardPaths::GenericCacheLocation}) {
    const QString base = QStandardPaths::writableLocation(kind);
    if (!base.isEmpty())
      places.push_back({fs::path(base.toStdString()) / common::build::kProgramName});
  }
  places.push_back({browser::private_profile_pattern()});
  for (const fs::path& home : homes) {
    places.push_back({home / ".local/share" / common::build::kProgramName});
    places.push_back({home / ".cache" / common::build::kProgramName});
    for (const fs::path& profile : browser::installed_browser_profiles()) {
      places.push_back({home / profile});
    }
  }
  return places;
}

std::shared_ptr<const exec::Fence> program_fence() {
  return std::make_shared<exec::Fence>(fence_places);
}

}  // namespace kavor::app
