// The mention index of one workspace folder: every file and folder path below it, sorted by
// the bytes of the path, so that a folder's subtree is one contiguous run ("src", "src/a",
// "src/a/b", ... all start with "src/") and a path is found by binary search.
//
// Who changes what: entries and pending change only on the index's own worker thread (a walk,
// a rescan, a merge), always under the write lock; picks change under the write lock from the
// commands. So the worker may read entries and pending without the lock (nobody else writes
// them) and takes the write lock only for the short moment it swaps in what it prepared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kavor::mention {

// Longer relative paths are never recorded.
inline constexpr std::size_t kMaxPathBytes = 1024;
// A walk stops after recording this many entries, and an index file that claims more is
// refused: a bound on memory and on the time one keystroke may cost.
inline constexpr std::size_t kMaxEntries = 300'000;
// Recently picked paths kept, most recent first.
inline constexpr std::size_t kMaxPicks = 50;
// The mtime of an entry whose time does not fit in 32 bits.
inline constexpr std::uint32_t kMtimeTooLate = 0xFFFFFFFF;

// Seconds since 1970 as stored: 0 before 1970, kMtimeTooLate beyond the 32-bit range.
std::uint32_t encode_mtime(std::int64_t seconds);
// The current time, encoded like an mtime.
std::uint32_t now_encoded();

struct Entry {
  std::string path;  // relative, "/"-separated, at most kMaxPathBytes, well-formed UTF-8
  std::uint32_t mtime = 0;
  std::uint16_t name_at = 0;  // byte offset of the last component
  std::uint8_t depth = 1;     // "/" count plus 1, capped at 255
  bool is_dir = false;        // a folder reached through a link is a file
  // Which folded characters occur in the path (folded_char_set in fold.h): lets a search pass
  // over a path that cannot contain the query without reading it.
  std::uint64_t chars = 0;

  // Builds an entry, deriving name_at, depth and the character set from the path.
  static Entry make(std::string path, std::uint32_t mtime, bool is_dir);
};

// Orders entries by the bytes of their paths.
inline bool path_less(const Entry& a, const Entry& b) {
  return a.path < b.path;
}

struct Index {
  mutable std::shared_mutex lock;
  std::vector<Entry> entries;  // sorted by path bytes, no two equal
  std::vector<Entry> pending;  // collected by a running full walk; searches see them too
  std::vector<std::string> picks;
  std::uint64_t revision = 0;
  bool truncated = false;  // the last full walk stopped at kMaxEntries
  bool indexing = false;   // the start-up load with its check, or a full walk, is running
  bool dirty = false;      // memory differs from the index file
};

// The operations below read or change entries; the caller holds the lock as needed.

// Position of `path` in `entries`: (true, position) when found, else (false, insert position).
std::pair<bool, std::size_t> find_path(const std::vector<Entry>& entries, std::string_view path);

// The half-open range of entries strictly below `folder` ("" is the root: everything).
std::pair<std::size_t, std::size_t> subtree_range(const std::vector<Entry>& entries,
                                                  std::string_view folder);

// Positions of the direct children of `folder`.
std::vector<std::size_t> children_of(const std::vector<Entry>& entries, std::string_view folder);

// Replaces the subtree of `folder` by `fresh` (sorted, every path below `folder`).
void replace_subtree(std::vector<Entry>& entries, std::string_view folder,
                     std::vector<Entry> fresh);

// Sorts `list` stably by path and keeps the first of every run of equal paths.
void sort_unique(std::vector<Entry>& list);

// A merge of pending into entries, planned without the lock and applied under it: pending
// first, then the old entries, stably sorted by path, the first of equal paths kept (so a
// fresh record wins over an old one).
class MergePlan {
 public:
  static MergePlan plan(const std::vector<Entry>& entries, const std::vector<Entry>& pending);
  // Moves the entries into their merged order; pending is left empty.
  void apply(std::vector<Entry>& entries, std::vector<Entry>& pending) const;

 private:
  // Positions below pending_count name pending entries, the rest old entries (shifted).
  std::vector<std::uint32_t> order_;
  std::size_t pending_count_ = 0;
};

// Removes the subtrees of `gone` (each path and everything below it), updates entries in
// place through `updated` (position, new entry; same path), and inserts `added` (sorted, no
// path already present). Positions refer to `entries` before the call.
void apply_changes(std::vector<Entry>& entries, const std::vector<std::string>& gone,
                   std::vector<std::pair<std::size_t, Entry>> updated, std::vector<Entry> added);

}  // namespace kavor::mention
