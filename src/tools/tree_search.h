// Small pieces the file tools share: how a path is named in messages, how a user's glob is
// compiled, and how the files of a walked tree are shown.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "tools/file_text.h"
#include "tools/paths.h"
#include "walk/glob.h"
#include "walk/walker.h"

namespace kavor::tools {

// A full path as it appears in a message.
inline std::string shown_path(const fs::path& path) {
  return common::utf8_lossy(path.string());
}

// The pattern trimmed, a leading "./" removed, compiled; or "Bad glob pattern: {error}".
inline Result<walk::Glob> compile_user_glob(std::string_view pattern) {
  Result<walk::Glob> glob = walk::Glob::compile(walk::normalize_glob_pattern(pattern));
  if (!glob.ok()) return fail("Bad glob pattern: " + glob.message());
  return glob;
}

// Whether a tree walk can start at `target`: it fails only when the target does not exist.
inline Result<void> check_walk_target(const fs::path& target) {
  struct stat st {};
  if (!stat_no_follow(target, st)) return fail(shown_path(target) + " does not exist.");
  return {};
}

// The tree walk of glob and grep: it starts at the resolved target without following links
// (one swapped in since the check would lead elsewhere) and ends when the user stops the call.
inline walk::WalkOptions tree_walk_options(const common::StopFlag& stop) {
  walk::WalkOptions options;
  options.start_without_links = true;
  if (stop) options.cancelled = [stop] { return stop->load(std::memory_order_relaxed); };
  return options;
}

// The failure of a stopped search: what it found so far, then the note.
inline std::string stopped_text(std::string found) {
  if (!found.empty()) found.push_back('\n');
  found.append(kStoppedByUser);
  return found;
}

// Display paths of the files below a walked target: the target's display path joined with the
// file's path relative to it, so no path arithmetic is needed per file.
class TreeDisplay {
 public:
  TreeDisplay(const fs::path& target, const fs::path& root)
      : prefix_(common::utf8_lossy(display_path(target, root))) {
    if (prefix_ == ".") {
      prefix_.clear();
    } else if (prefix_.back() != '/') {
      prefix_.push_back('/');
    }
  }

  void append(std::string_view rel, std::string& out) const {
    out += prefix_;
    if (common::valid_utf8(rel)) {
      out.append(rel);
    } else {
      common::append_utf8_lossy(rel, out);
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
