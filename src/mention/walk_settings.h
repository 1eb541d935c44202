// What the mention index records: every walk of a workspace (the full walk, and the rescans
// of one folder) goes through walk_entries, so they all see the same tree.
//
// Walk settings: hidden files count like any other; ".gitignore" and ".ignore" files of the
// tree and of every folder above it are honoured (".ignore" winning), and the repository's
// info/exclude file, also where the folder is not inside a repository; the user's global git
// exclude file is not read; links are not followed (a link to a folder is recorded as a file);
// at most kMaxDepth levels below the workspace root.
//
// Recording: the walk's start itself is not recorded; paths longer than kMaxPathBytes, names
// that are not UTF-8, and items whose metadata cannot be read are left out; then the two
// tables below.
//
// Skipped files (names compared ignoring ASCII case): ".DS_Store", "Thumbs.db", and the
// archive, binary and object extensions of kSkippedExtensions (the text after the last "."
// that is not the name's first character).
//
// Skipped folders (not entered; name compared ignoring ASCII case): the build output, package
// and tool folders of kAlwaysSkippedFolders; "bin" and "obj" next to a .NET project or
// solution file; "env" holding "pyvenv.cfg"; "deps" next to "mix.exs"; names ending in
// ".egg-info"; and the cache folders of a few frameworks, matched by the end of their relative
// path ("storage/framework", "bootstrap/cache", "var/cache", "var/log", "wp-content/cache").
// The same test tells search whether a folder the user typed is one the index leaves out.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "mention/index.h"

namespace kavor::mention {

// Levels below the workspace root a walk descends to.
inline constexpr std::size_t kMaxDepth = 24;

bool is_skipped_file(std::string_view name);

// `rel` is the folder's path relative to the workspace root, `abs` its absolute path (the
// conditional rows look at the folder's parent or into the folder).
bool is_skipped_folder(std::string_view name, std::string_view rel, const std::string& abs);

// Whether a folder named `name`, directly below the root, could be skipped at all: decided from
// the name alone, so that a caller can spare itself the disk for every other name.
bool folder_name_may_be_skipped(std::string_view name);

struct WalkRequest {
  std::string root;                   // the workspace root, absolute
  std::string folder;                 // where to start, relative to the root ("" for the root)
  std::size_t max_depth = kMaxDepth;  // levels below `folder`
  std::size_t max_entries = kMaxEntries;
  std::function<bool()> cancelled{};  // asked between items
  // A folder (relative to the root) never recorded nor entered: the index's own storage, when
  // the workspace holds it, would otherwise change with every save and be saved again.
  std::string excluded{};
  // Told, on the walking thread, of every folder about to be read: the worker watches it
  // there, so that a change made after the reading is notified and none falls in between.
  std::function<void(const std::string& rel)> entering{};
};

struct WalkOutcome {
  std::size_t recorded = 0;
  bool truncated = false;  // stopped on recording the max_entries-th entry
  bool cancelled = false;
  bool start_failed = false;  // the start could not be opened as a folder
};

// Depth limit for a walk that starts at `folder` (relative to the root): kMaxDepth minus the
// folder's depth, at least 1.
std::size_t depth_limit_below(std::string_view folder);

// Walks and hands every recorded entry (path relative to the root) to `record`.
WalkOutcome walk_entries(const WalkRequest& request, const std::function<void(Entry)>& record);

// The same walk with the folders directly below the start shared among `threads` threads (the
// caller's among them): the start is listed first, then each of its folders is walked whole
// by whichever thread is free. Entries reach `record` on the caller's thread, in the order of
// the plain walk, and the entry cap cuts the same place; a folder walked ahead of its turn
// waits in memory. Most of a walk's time is the file system's, per item, so on two cores this
// about halves a walk of a wide tree.
WalkOutcome walk_entries_shared(const WalkRequest& request, unsigned threads,
                                const std::function<void(Entry)>& record);

}  // namespace kavor::mention
