// The folders one call may touch, and the one containment test every tool uses to tell a path
// inside them from one outside.
#pragma once

#include <filesystem>
#include <vector>

namespace kavor::tools {

namespace fs = std::filesystem;

// The folders one call may touch: the canonical workspace root and at most one extra folder.
struct Scope {
  fs::path root;
  std::vector<fs::path> extras;
  // The extra folders the chat names inside the workspace that lead out of it through a link.
  // The call may touch them, as the user set them up; a command that runs without asking may
  // not write there, since anything that writes in the workspace could have planted the link.
  std::vector<fs::path> linked_out{};

  // Whether `path` (absolute, normalized) starts, component by component, with the root or an
  // extra folder. A sibling whose name merely begins with the root's name is outside.
  bool contains(const fs::path& path) const;
};

// True when `path` equals `base` or lies below it, compared by whole components
// (walk::inside_or_same).
bool path_within(const fs::path& path, const fs::path& base);

}  // namespace kavor::tools
