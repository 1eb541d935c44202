// Small pieces the file tools share: how a path is named in messages, how a user's glob is
// compiled, and how the files of a walked tree are shown.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "tools/file_text.h"
#include "tools/paths.h"
#include "walk/glob.h"

namespace kavor::tools {

// A full path as it appears in a message.
inline std::string shown_path(const fs::path& path) {
  return utf8_lossy(path.string());
}

// The pattern trimmed, a leading "./" removed, compiled; or "Bad glob pattern: {error}".
inline std::optional<walk::Glob> compile_user_glob(std::string_view pattern, std::string& message) {
  std::string error;
  auto glob = walk::Glob::compile(walk::normalize_glob_pattern(pattern), error);
  if (!glob) message = "Bad glob pattern: " + error;
  return glob;
}

// Why a tree walk cannot start at `target`, when it does not exist at all.
inline std::optional<std::string> check_walk_target(const fs::path& target) {
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0) return shown_path(target) + " does not exist.";
  return std::nullopt;
}

// Display paths of the files below a walked target: the target's display path joined with the
// file's path relative to it, so no path arithmetic is needed per file.
class TreeDisplay {
 public:
  TreeDisplay(const fs::path& target, const fs::path& root)
      : prefix_(utf8_lossy(display_path(target, root))) {
    if (prefix_ == ".") {
      prefix_.clear();
    } else if (prefix_.back() != '/') {
      prefix_.push_back('/');
    }
  }

  void append(std::string_view rel, std::string& out) const {
    out += prefix_;
    if (valid_utf8(rel)) {
      out.append(rel);
    } else {
      append_utf8_lossy(rel, out);
    }
  }

  std::string of(std::string_view rel) const {
    std::string out;
    append(rel, out);
    return out;
  }

 private:
  std::string prefix_;
};

}  // namespace kavor::tools
