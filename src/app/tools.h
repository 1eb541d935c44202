// Every tool this version knows, installed into a table. The composition lives here, above the
// layers of the tools themselves, so that the file tools never depend on the browser.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "exec/fence.h"
#include "tools/tool_table.h"

namespace kavor {
namespace browser {
class BrowserRegistry;
}
}  // namespace kavor

namespace kavor::app {

// The `browser` tool runs its calls through `browsers`, which must outlive every call.
void install_tools(tools::ToolTable& table, browser::BrowserRegistry& browsers);

// What the workspace fence refuses besides the home folders' credential places: the agent's
// configuration folder (the device secret), the local service's session secret file,
// the web view's data and cache (the chat's cookies), the private browsers' profiles, and the
// profile folders of the installed browsers in each of `homes`.
std::vector<exec::RefusedPlace> fence_places(const std::vector<std::filesystem::path>& homes);

// The fence of the program's commands.
std::shared_ptr<const exec::Fence> program_fence();

}  // namespace kavor::app
