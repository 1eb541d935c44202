#include "platform/engine_flags.h"

#include <cstdlib>
#include <system_error>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kavor::platform {

namespace {

constexpr std::string_view kDisableSwitch = "--disable-features=";
constexpr std::string_view kEnableSwitch = "--enable-features=";

// The engine splits its switches at spaces; so do we.
std::vector<std::string_view> split_flags(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (!text.empty()) {
    const std::size_t end = text.find(separator);
    const std::string_view part = text.substr(0, end);
    if (!part.empty()) parts.push_back(part);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return parts;
}

bool listed(const std::vector<std::string_view>& list, std::string_view feature) {
  for (const std::string_view item : list) {
    if (item == feature) return true;
  }
  return false;
}

}  // namespace

std::string with_agent_engine_flags(std::string_view user) {
  const std::vector<std::string_view> flags = split_flags(user, ' ');
  // The last of each switch is the one the engine keeps.
  std::vector<std::string_view> enabled;
  std::vector<std::string_view> disabled;
  std::size_t disable_at = flags.size();
  for (std::size_t i = 0; i < flags.size(); ++i) {
    if (flags[i].starts_with(kEnableSwitch)) {
      enabled = split_flags(flags[i].substr(kEnableSwitch.size()), ',');
    } else if (flags[i].starts_with(kDisableSwitch)) {
      disabled = split_flags(flags[i].substr(kDisableSwitch.size()), ',');
      disable_at = i;
    }
  }
  std::string features;
  for (const std::string_view feature : disabled) {
    if (!features.empty()) features += ',';
    features += feature;
  }
  for (const std::string_view feature : split_flags(kEngineDisabledFeatures, ',')) {
    if (listed(enabled, feature) || listed(disabled, feature)) continue;
    if (!features.empty()) features += ',';
    features += feature;
  }

  std::string result;
  const auto add = [&result](std::string_view flag) {
    if (!result.empty()) result += ' ';
    result += flag;
  };
  for (std::size_t i = 0; i < flags.size(); ++i) {
    if (i == disable_at) {
      add(std::string(kDisableSwitch) + features);
    } else if (!flags[i].starts_with(kDisableSwitch)) {
      add(flags[i]);
    }
  }
  if (disable_at == flags.size() && !features.empty()) {
    add(std::string(kDisableSwitch) + features);
  }
  return result;
}

void add_agent_engine_flags() {
  const char* user = std::getenv("QTWEBENGINE_CHROMIUM_FLAGS");
  const std::string flags = with_agent_engine_flags(user == nullptr ? "" : user);
  ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.c_str(), 1);
}

bool draw_in_software(const std::filesystem::path& dri) {
  for (const char* chosen : {"QT_QUICK_BACKEND", "QSG_RHI_BACKEND"}) {
    if (const char* value = std::getenv(chosen); value != nullptr && value[0] != '\0') return false;
  }
  // A render node ("renderD128") is what a GPU's driver offers to programs that draw.
  std::error_code error;
  for (std::filesystem::directory_iterator entry(dri, error), end; !error && entry != end;
       entry.increment(error)) {
    if (entry->path().filename().string().starts_with("renderD")) return false;
  }
  return true;
}

namespace {
constexpr const char* kWindowSystemOpenGL = "QT_XCB_GL_INTEGRATION";
}  // namespace

WithoutWindowSystemOpenGL::WithoutWindowSystemOpenGL(bool off) {
  if (!off || std::getenv(kWindowSystemOpenGL) != nullptr) return;
  set_ = ::setenv(kWindowSystemOpenGL, "none", 0) == 0;
}

void WithoutWindowSystemOpenGL::restore() {
  if (!set_) return;
  ::unsetenv(kWindowSystemOpenGL);
  set_ = false;
}

void limit_allocator_arenas() {
#if defined(__GLIBC__)
  // glibc gives every thread that allocates under contention an arena of its own, up to eight
  // per core, and an arena keeps its freed memory. The agent's threads (the engine's browser
  // side, the network, the core's tasks) allocate little after start-up: two arenas serve them
  // as well and hold several megabytes less. A user's MALLOC_ARENA_MAX still wins.
  if (std::getenv("MALLOC_ARENA_MAX") == nullptr) mallopt(M_ARENA_MAX, 2);
#endif
}

}  // namespace kavor::platform
