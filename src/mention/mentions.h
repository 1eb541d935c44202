// The open mention indexes of the application, at most kMaxOpenIndexes, and what the four
// workspace commands do with them.
//
// A command names a workspace by the text the page sends; resolve_root turns it into the
// canonical folder, whose UTF-8 rendering is the key of the table, the root stored in the
// index file and the root reported to the page. Opening a root that is not in the table
// evicts the least recently used index when three are open, then starts a new index with its
// worker; the worker reads the file or walks the folder while the command answers at once.
//
// Locks: the table's mutex, then an index's reader-writer lock, never the other way round.
// Searches and the status read take the read lock; picks take the write lock briefly.
// Stopped workers are joined later (by the next opening, or at the end), so no command waits
// for a worker to finish saving.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/workspace_folder.h"
#include "mention/handle.h"
#include "mention/index_file.h"
#include "mention/search.h"
#include "platform/result.h"

namespace kavor::mention {

inline constexpr std::size_t kMaxOpenIndexes = 3;

// The workspace as the table knows it.
struct Root {
  std::string path;  // canonical, absolute
  std::string text;  // path as UTF-8, ill-formed bytes replaced
};

struct IndexInfo {
  std::string root;
  bool indexing = false;
  std::uint64_t count = 0;  // entries plus pending
  std::uint64_t revision = 0;
  bool truncated = false;
};

struct SearchReply {
  std::vector<Hit> hits;
  bool indexing = false;
  std::uint64_t count = 0;
  std::uint64_t revision = 0;
  bool stale = false;
};

// The messages of the commands.
inline constexpr std::string_view kIndexUnavailable = "index unavailable";
inline constexpr std::string_view kNotInside = "that path is not inside the workspace";

// Trims the text (white space in the Unicode sense), resolves it to its canonical form through
// every link, and requires a folder. A relative text is refused: it would name a folder below
// wherever the program happened to start. The message for the user on failure
// (common/workspace_folder.h, worded for the page).
Result<Root> resolve_root(std::string_view text);

class Mentions {
 public:
  // `entry_cap` bounds every index (see IndexHandle::entry_cap).
  Mentions(IndexLocation location, EventSink sink, std::size_t entry_cap = kMaxEntries);
  // Stops every worker; each saves its index before it ends.
  ~Mentions();
  Mentions(const Mentions&) = delete;
  Mentions& operator=(const Mentions&) = delete;

  // The handle of `root`, opened (and its worker started) when it is not open yet.
  std::shared_ptr<IndexHandle> open(const Root& root);
  // Opens and reports; "index unavailable" when the index vanished meanwhile.
  Result<IndexInfo> open_info(const Root& root);
  void close(const Root& root);
  // Records a pick: the path must lie inside the workspace and exist.
  Result<void> pick(const Root& root, std::string_view path);
  SearchReply search(const Root& root, std::string_view query, std::size_t limit);

  // Stops every worker and waits for them; they save first. Used at exit.
  void stop_all();

  // The roots in the table, for tests.
  std::vector<std::string> open_roots() const;

 private:
  // Moves handles whose worker ended out of the table; joins stopped workers that ended.
  void reap_locked();
  void retire_locked(std::shared_ptr<IndexHandle> handle);

  IndexLocation location_;
  EventSink sink_;
  std::size_t entry_cap_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<IndexHandle>> table_;
  // Stopped handles whose worker may still be saving.
  std::vector<std::shared_ptr<IndexHandle>> retired_;
};

}  // namespace kavor::mention
