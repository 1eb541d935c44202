// Recursive folder walk that honours ignore files, for the file tools and the workspace index.
//
// Order: depth-first pre-order, the entries of every folder in byte order of their names, so two
// walks of an unchanged tree report the same sequence. Hidden entries are walked like any other.
// Symbolic links are never followed: a link (to a file or to a folder) is reported as a file
// entry with is_link set. Every folder is opened relative to its open parent without following
// a link, so a folder swapped for a link during the walk is not entered; with
// `start_without_links` the start itself is opened that way too, and each entry comes with the
// open folder that holds it, so a caller can open the entry itself relative to that folder.
// Sockets, pipes and device nodes are not reported (reading one could block). Entries that vanish
// or cannot be examined, and folders that cannot be opened, are passed over silently.
//
// Ignore files: in every walked folder the files named in WalkOptions::ignore_file_names are
// read. With `repository_rules`, when the start folder lies inside a git work tree (the nearest
// folder at or above it holding ".git"), the repository's info/exclude file and the ignore
// files of the folders from the work tree's root down to the start's parent apply as well.
// Outside a work tree no parent folder is consulted unless `ignore_root` names the folder to
// start from: an unrelated ignore file higher up (say in a home folder) must not hide a
// project's files. The user's global git exclude file is never read. Whether the start folder
// itself is excluded by a parent's rules does not matter: asking to walk a folder walks it.
// As in git, an ignore file of the tree that is a symbolic link is passed over, while the
// repository's exclude file is read through one.
// At most 50,000 rules are in force at once: an ignore file that would pass that budget is
// passed over whole, like one above 16 MiB (a planted file of millions of rules would
// otherwise cost gigabytes and a second per entry).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace kavor::walk {

inline constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

struct WalkOptions {
  // Read in every folder; a later name in the list takes precedence over an earlier one.
  std::vector<std::string> ignore_file_names{".gitignore"};
  // Honour the enclosing git work tree's info/exclude and its ignore files above the start.
  bool repository_rules = true;
  // When not empty: an absolute folder at or above the start whose ignore files, and those of
  // the folders down to the start's parent, apply even outside a git work tree.
  std::string ignore_root;
  // Entries with these exact names are never reported and folders with them never entered.
  std::vector<std::string> skip_names{".git", "node_modules"};
  // Report folders too (before their contents), not only files.
  bool report_folders = false;
  // Read each entry's metadata (mtime, size); an entry whose metadata cannot be read is left
  // out. Without it only the type from the folder listing is used.
  bool stat_entries = false;
  // Depth of reported entries: the start's children are at depth 1. A folder at max_depth is
  // reported but not entered (0 acts as 1: the start's children are always listed).
  std::size_t max_depth = kUnlimited;
  // The walk stops, reporting `truncated`, once this many entries have been reported.
  std::size_t max_entries = kUnlimited;
  // Asked for every folder that survives the ignore rules; true skips it with its subtree
  // (it is then not reported either). Arguments: name, path relative to the start, absolute path.
  std::function<bool(std::string_view name, std::string_view rel, std::string_view abs)>
      skip_folder;
  // Checked before every entry; true ends the walk.
  std::function<bool()> cancelled;
  // Refuse a start path that passes through a symbolic link (the walk then fails to start).
  bool start_without_links = false;
};

struct WalkEntry {
  // Valid only during the callback.
  std::string_view rel;   // relative to the start, "/"-separated
  std::string_view abs;   // the start path joined with rel
  std::string_view name;  // last component
  // The open folder holding the entry (valid during the callback), or -1 when the walk keeps
  // no descriptor at this depth; then `abs` is the way to the entry.
  int dir_fd = -1;
  std::size_t depth = 0;  // 1 for the start's children
  bool is_dir = false;
  bool is_link = false;
  // Filled when WalkOptions::stat_entries is set (of the link itself for a link).
  std::int64_t mtime_sec = 0;
  std::uint64_t size = 0;
};

enum class WalkNext { Continue, Stop };

struct WalkResult {
  std::size_t reported = 0;
  bool truncated = false;     // max_entries reached
  bool stopped = false;       // the callback asked to stop
  bool cancelled = false;     // the cancellation check said so
  bool start_failed = false;  // the start could not be opened as a folder
};

// Walks the folder `start` (absolute or relative to the working directory).
WalkResult walk(std::string_view start, const WalkOptions& options,
                const std::function<WalkNext(const WalkEntry&)>& on_entry);

}  // namespace kavor::walk
