// Mention search: from what the user typed after the mention sign to a ranked, highlighted list
// of paths.
//
// 1. The query loses its leading white space (trailing white space must match) and splits at
//    its last "/" or "\" into a folder part and a name part; the name part, folded, is the
//    token (scorer.h).
// 2. Scope: without a folder part every entry is a candidate, and so is every pending entry
//    of a running walk. With one, the candidates are that folder's subtree, found by its exact
//    path or else by the first folder whose path is equal under folding ("SRC/" finds "src").
//    A folder the index does not hold is listed from the disk instead (at most
//    kMaxListedItems items, no ignore rules), so excluded folders can still be mentioned.
// 3. An empty token lists instead of matching: at the root, the recent picks, the 20 most
//    recently modified files, then the root's children; in a folder, its children; folders
//    first.
// 4. Otherwise every candidate is scored; above kParallelThreshold candidates the scope is
//    cut into equal chunks scored on up to kMaxSearchThreads threads, each keeping its best
//    2 x limit. The best `limit` are returned, ties in path order.
// 5. A newer search on the same index makes this one stale: every kStaleCheckInterval
//    candidates a chunk compares the index's search counter with its own token and gives up.
// 6. A query naming a folder directly below the root that the index leaves out (say
//    "node_modules") puts that folder first.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mention/index.h"
#include "mention/scorer.h"

namespace kavor::mention {

inline constexpr std::size_t kDefaultLimit = 50;
inline constexpr std::size_t kMaxLimit = 100;
// Below this many candidates a second thread costs more than it saves.
inline constexpr std::size_t kParallelThreshold = 20'000;
inline constexpr unsigned kMaxSearchThreads = 4;
inline constexpr unsigned kThreadsWhenUnknown = 2;
// Often enough that a keystroke abandons the previous search within a fraction of a
// millisecond, rarely enough that the shared counter stays out of the way.
inline constexpr std::size_t kStaleCheckInterval = 2048;
// Recently modified files in the listing of an empty query.
inline constexpr std::size_t kRecentFilesListed = 20;
// Items read from a folder the index does not hold.
inline constexpr std::size_t kMaxListedItems = 5000;

struct Hit {
  std::string path;
  bool is_dir = false;
  std::uint32_t name_at = 0;                         // UTF-16 code units
  std::vector<std::array<std::uint32_t, 2>> ranges;  // [start, end) in UTF-16 code units
};

struct PreparedQuery {
  std::string folder;  // "/"-separated, no leading or trailing "/"
  std::string name;
  Token token;
};

PreparedQuery prepare_query(std::string_view query);

// The command's limit: 50 when absent, at least 1, at most 100.
std::size_t clamp_limit(std::optional<double> limit);

enum class SearchStatus { Found, NotIndexed, Stale };

struct SearchResult {
  SearchStatus status = SearchStatus::Found;
  std::vector<Hit> hits;
};

// Who may make a search stale: the index's search counter and the value this search took.
struct StaleCheck {
  const std::atomic<std::uint64_t>* counter = nullptr;
  std::uint64_t token = 0;
  bool stale() const {
    return counter != nullptr && counter->load(std::memory_order_relaxed) != token;
  }
};

// Searches an index; the caller holds its read lock.
SearchResult search_index(const Index& index, const PreparedQuery& query, std::size_t limit,
                          const StaleCheck& check, std::uint32_t now);

// The items of a folder the index does not hold, read from the disk as entries whose paths
// start with `folder` and "/", sorted; nothing when the folder part is not an ordinary
// relative path or does not lead to a folder inside the root.
std::optional<std::vector<Entry>> list_unindexed_folder(const std::string& root,
                                                        std::string_view folder);

// The same search over such a listing (every entry lies directly in `folder`).
SearchResult search_listing(const std::vector<Entry>& listing,
                            const std::vector<std::string>& picks, const PreparedQuery& query,
                            std::size_t limit, const StaleCheck& check, std::uint32_t now);

// Step 6: puts the typed excluded folder first when the query names one, cut to `limit`.
void add_typed_excluded_folder(std::vector<Hit>& hits, const std::string& root,
                               std::string_view query, std::size_t limit);

// UTF-16 length of the first `bytes` bytes of well-formed UTF-8 `text`.
std::uint32_t utf16_length(std::string_view text, std::size_t bytes);

}  // namespace kavor::mention
