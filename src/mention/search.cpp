#include "mention/search.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "common/utf8.h"
#include "mention/fold.h"
#include "mention/walk_settings.h"
#include "walk/path_form.h"

namespace kavor::mention {

namespace {

struct Scored {
  std::int32_t score;
  std::size_t number;  // candidate number: entries in path order, then pending
};

bool better(const Scored& a, const Scored& b) {
  return a.score > b.score || (a.score == b.score && a.number < b.number);
}

// The best `capacity` results seen so far. The heap keeps the worst on top, so a candidate
// that cannot get in costs one comparison.
class Kept {
 public:
  explicit Kept(std::size_t capacity) : capacity_(capacity) { heap_.reserve(capacity); }

  void offer(Scored s) {
    if (heap_.size() < capacity_) {
      heap_.push_back(s);
      std::push_heap(heap_.begin(), heap_.end(), better);
    } else if (better(s, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), better);
      heap_.back() = s;
      std::push_heap(heap_.begin(), heap_.end(), better);
    }
  }
  std::vector<Scored>& results() { return heap_; }
  bool full() const { return heap_.size() >= capacity_; }
  // The score a candidate must beat once full (candidates come in rising numbers, so a tie
  // never gets in).
  std::int32_t worst() const { return heap_.front().score; }

 private:
  std::size_t capacity_;
  std::vector<Scored> heap_;
};

// The boosts of recent picks, by position in the candidate list.
class PickBoosts {
 public:
  PickBoosts(const std::vector<Entry>& list, const std::vector<std::string>& picks) {
    for (std::size_t r = 0; r < picks.size(); ++r) {
      const auto [found, at] = find_path(list, picks[r]);
      if (!found) continue;
      if (std::none_of(boosts_.begin(), boosts_.end(),
                       [&](const auto& b) { return b.first == at; }))
        boosts_.emplace_back(at, pick_boost(r));
    }
    std::sort(boosts_.begin(), boosts_.end());
  }
  int most() const { return boosts_.empty() ? 0 : pick_boost(0); }
  int of(std::size_t position) const {
    if (boosts_.empty()) return 0;
    const auto it = std::lower_bound(boosts_.begin(), boosts_.end(),
                                     std::pair<std::size_t, int>(position, INT32_MIN));
    return it != boosts_.end() && it->first == position ? it->second : 0;
  }

 private:
  std::vector<std::pair<std::size_t, int>> boosts_;
};

Subject subject_of(const Entry& e, std::size_t start) {
  Subject s;
  s.path = e.path;
  s.start = start;
  s.name_at = e.name_at;
  s.depth = e.depth;
  s.is_dir = e.is_dir;
  s.ascii = (e.chars & kNonAsciiText) == 0;
  s.mtime = e.mtime;
  return s;
}

// What a search looks at: a run of a sorted list, the bytes of each path it skips, and, at the
// root, the pending entries of a running walk.
struct Scope {
  const std::vector<Entry>* list = nullptr;
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t start = 0;
  const std::vector<Entry>* pending = nullptr;
  bool root = false;
  std::size_t candidates() const { return end - begin + (pending ? pending->size() : 0); }
};

// Scores list[begin, end) into `kept`; false when the search went stale meanwhile.
bool score_run(const Scope& scope, std::size_t begin, std::size_t end, const Token& token,
               const PickBoosts& boosts, std::uint32_t now, const StaleCheck& check, Kept& kept) {
  const std::vector<Entry>& list = *scope.list;
  const std::size_t need = token.chars.size();
  const int most_boost = boosts.most();
  for (std::size_t i = begin; i < end; ++i) {
    if ((i - begin) % kStaleCheckInterval == kStaleCheckInterval - 1 && check.stale()) return false;
    const Entry& e = list[i];
    if ((token.char_set & ~e.chars) != 0 || e.path.size() - scope.start < need) continue;
    const Subject subject = subject_of(e, scope.start);
    if (kept.full() && score_bound(token, subject, now) + most_boost <= kept.worst()) continue;
    const auto s = score(token, subject, now);
    if (s) kept.offer({*s + boosts.of(i), i});
  }
  return true;
}

unsigned search_threads() {
  const unsigned cores = std::thread::hardware_concurrency();
  return std::min(cores == 0 ? kThreadsWhenUnknown : cores, kMaxSearchThreads);
}

// UTF-16 offsets of ascending byte offsets into `text`, computed in one pass.
class Utf16Cursor {
 public:
  explicit Utf16Cursor(std::string_view text) : text_(text) {}
  std::uint32_t at(std::size_t byte) {
    while (byte_ < byte && byte_ < text_.size()) {
      const char32_t c = common::next_code_point(text_, byte_);
      units_ += c >= 0x10000 ? 2 : 1;
    }
    return units_;
  }

 private:
  std::string_view text_;
  std::size_t byte_ = 0;
  std::uint32_t units_ = 0;
};

Hit make_hit(const Entry& e, const Token* token, std::size_t start) {
  Hit hit;
  hit.path = e.path;
  hit.is_dir = e.is_dir;
  hit.name_at = utf16_length(e.path, e.name_at);
  if (token == nullptr) return hit;
  Utf16Cursor cursor(e.path);
  for (const auto& [at, length] : matched_bytes(*token, subject_of(e, start))) {
    const std::uint32_t from = cursor.at(at);
    const std::uint32_t to = cursor.at(at + length);
    if (!hit.ranges.empty() && hit.ranges.back()[1] == from) {
      hit.ranges.back()[1] = to;
    } else {
      hit.ranges.push_back({from, to});
    }
  }
  return hit;
}

// The last component, lower-cased, for ordering a folder's listing.
std::string lower_name(const Entry& e) {
  const std::string_view name = std::string_view(e.path).substr(e.name_at);
  std::string out;
  out.reserve(name.size());
  for (std::size_t pos = 0; pos < name.size();) {
    const auto byte = static_cast<unsigned char>(name[pos]);
    if (byte < 0x80) {
      out.push_back(static_cast<char>(lower_case(byte)));
      ++pos;
    } else {
      common::append_code_point(lower_case(common::next_code_point(name, pos)), out);
    }
  }
  return out;
}

// A folder's direct children: folders first, then by lower-cased name.
std::vector<Hit> list_children(const Scope& scope, std::size_t limit) {
  std::vector<const Entry*> children;
  for (std::size_t i = scope.begin; i < scope.end; ++i) {
    const Entry& e = (*scope.list)[i];
    if (e.path.find('/', scope.start) == std::string::npos) children.push_back(&e);
  }
  std::vector<std::pair<std::string, const Entry*>> keyed;
  keyed.reserve(children.size());
  for (const Entry* e : children) keyed.emplace_back(lower_name(*e), e);
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    if (a.second->is_dir != b.second->is_dir) return a.second->is_dir;
    return a.first < b.first;
  });
  std::vector<Hit> hits;
  for (const auto& [key, e] : keyed) {
    if (hits.size() >= limit) break;
    hits.push_back(make_hit(*e, nullptr, 0));
  }
  return hits;
}

// The root's listing for an empty query: recent picks, recently modified files, the root's
// children (folders first), without repeats.
std::vector<Hit> list_root(const Index& index, std::size_t limit) {
  std::vector<Hit> hits;
  std::unordered_set<std::string_view> seen;
  const auto add = [&](const Entry& e) {
    if (hits.size() < limit && seen.insert(e.path).second) hits.push_back(make_hit(e, nullptr, 0));
  };
  const auto each_candidate = [&](const auto& visit) {
    for (std::size_t i = 0; i < index.entries.size(); ++i) visit(index.entries[i], i);
    for (std::size_t i = 0; i < index.pending.size(); ++i)
      visit(index.pending[i], index.entries.size() + i);
  };

  for (const std::string& pick : index.picks) {
    const auto [found, at] = find_path(index.entries, pick);
    if (found) add(index.entries[at]);
  }

  // The most recently modified files, ties in candidate order.
  std::vector<std::pair<const Entry*, std::size_t>> recent;
  const auto newer = [](const auto& a, const auto& b) {
    return a.first->mtime > b.first->mtime ||
           (a.first->mtime == b.first->mtime && a.second < b.second);
  };
  each_candidate([&](const Entry& e, std::size_t number) {
    if (e.is_dir || e.mtime == 0) return;
    if (recent.size() < kRecentFilesListed) {
      recent.emplace_back(&e, number);
      std::push_heap(recent.begin(), recent.end(), newer);
    } else if (newer(std::pair(&e, number), recent.front())) {
      std::pop_heap(recent.begin(), recent.end(), newer);
      recent.back() = {&e, number};
      std::push_heap(recent.begin(), recent.end(), newer);
    }
  });
  std::sort(recent.begin(), recent.end(), newer);
  for (const auto& [e, number] : recent) add(*e);

  std::vector<const Entry*> children;
  each_candidate([&](const Entry& e, std::size_t) {
    if (e.path.find('/') == std::string::npos) children.push_back(&e);
  });
  std::stable_sort(children.begin(), children.end(), [](const Entry* a, const Entry* b) {
    if (a->is_dir != b->is_dir) return a->is_dir;
    return a->path < b->path;
  });
  for (const Entry* e : children) add(*e);
  return hits;
}

// Ranks the scope against a non-empty token.
SearchResult rank(const Scope& scope, const Token& token, const PickBoosts& boosts,
                  std::size_t limit, const StaleCheck& check, std::uint32_t now) {
  const std::size_t keep = 2 * limit;
  const std::size_t count = scope.end - scope.begin;
  const unsigned threads = scope.candidates() > kParallelThreshold ? search_threads() : 1;
  std::vector<Kept> kept(threads, Kept(keep));
  std::vector<char> fresh(threads, 1);
  std::vector<std::exception_ptr> failures(threads);
  const auto run_chunk = [&](unsigned c) {
    try {
      const std::size_t begin = scope.begin + count * c / threads;
      const std::size_t end = scope.begin + count * (c + 1) / threads;
      fresh[c] = score_run(scope, begin, end, token, boosts, now, check, kept[c]);
    } catch (...) {
      failures[c] = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> helpers;
    std::vector<unsigned> here{0};
    for (unsigned c = 1; c < threads; ++c) {
      try {
        helpers.emplace_back(run_chunk, c);
      } catch (const std::system_error&) {
        here.push_back(c);  // no thread to spare: this one scores that chunk too
      }
    }
    for (const unsigned c : here) run_chunk(c);
  }
  for (const auto& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
  if (std::find(fresh.begin(), fresh.end(), 0) != fresh.end()) return {SearchStatus::Stale, {}};

  std::vector<Scored> all;
  for (Kept& k : kept) all.insert(all.end(), k.results().begin(), k.results().end());
  if (scope.pending != nullptr) {
    // Pending entries come after every entry; their scope is the whole path.
    const std::vector<Entry>& pending = *scope.pending;
    Kept late(keep);
    for (std::size_t i = 0; i < pending.size(); ++i) {
      if (i % kStaleCheckInterval == kStaleCheckInterval - 1 && check.stale())
        return {SearchStatus::Stale, {}};
      const Entry& e = pending[i];
      if ((token.char_set & ~e.chars) != 0 || e.path.size() < token.chars.size()) continue;
      const Subject subject = subject_of(e, 0);
      if (late.full() && score_bound(token, subject, now) <= late.worst()) continue;
      const auto s = score(token, subject, now);
      if (s) late.offer({*s, scope.list->size() + i});
    }
    all.insert(all.end(), late.results().begin(), late.results().end());
  }
  std::sort(all.begin(), all.end(), better);
  if (all.size() > limit) all.resize(limit);
  if (check.stale()) return {SearchStatus::Stale, {}};

  SearchResult result;
  for (const Scored& s : all) {
    const bool is_pending = s.number >= scope.list->size();
    const Entry& e =
        is_pending ? (*scope.pending)[s.number - scope.list->size()] : (*scope.list)[s.number];
    result.hits.push_back(make_hit(e, &token, is_pending ? 0 : scope.start));
  }
  return result;
}

// Whether two paths are equal character by character under folding.
bool equal_folded(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  for (;;) {
    char32_t fa = kFoldsToNothing;
    char32_t fb = kFoldsToNothing;
    while (i < a.size() && (fa = fold_char(common::next_code_point(a, i))) == kFoldsToNothing) {
    }
    while (j < b.size() && (fb = fold_char(common::next_code_point(b, j))) == kFoldsToNothing) {
    }
    if (fa != fb) return false;
    if (fa == kFoldsToNothing) return true;  // both ended
  }
}

}  // namespace

std::uint32_t utf16_length(std::string_view text, std::size_t bytes) {
  return Utf16Cursor(text).at(bytes);
}

PreparedQuery prepare_query(std::string_view query) {
  std::size_t pos = 0;
  while (pos < query.size()) {
    std::size_t next = pos;
    if (!common::is_unicode_space(common::next_code_point(query, next))) break;
    pos = next;
  }
  query.remove_prefix(pos);
  PreparedQuery out;
  const std::size_t separator = query.find_last_of("/\\");
  if (separator == std::string_view::npos) {
    out.name = std::string(query);
  } else {
    out.folder = std::string(query.substr(0, separator));
    out.name = std::string(query.substr(separator + 1));
    std::replace(out.folder.begin(), out.folder.end(), '\\', '/');
    const std::size_t first = out.folder.find_first_not_of('/');
    if (first == std::string::npos) {
      out.folder.clear();
    } else {
      out.folder.erase(0, first);
      out.folder.erase(out.folder.find_last_not_of('/') + 1);
    }
  }
  out.token = Token::make(out.name);
  return out;
}

std::size_t clamp_limit(std::optional<double> limit) {
  if (!limit) return kDefaultLimit;
  const double value = *limit;
  if (!(value >= 1)) return 1;  // also 0, negative numbers and anything odd
  if (value >= static_cast<double>(kMaxLimit)) return kMaxLimit;
  return static_cast<std::size_t>(std::floor(value));
}

SearchResult search_index(const Index& index, const PreparedQuery& query, std::size_t limit,
                          const StaleCheck& check, std::uint32_t now) {
  Scope scope;
  scope.list = &index.entries;
  if (query.folder.empty()) {
    scope.end = index.entries.size();
    scope.pending = &index.pending;
    scope.root = true;
  } else {
    const Entry* folder = nullptr;
    const auto [found, at] = find_path(index.entries, query.folder);
    if (found) {
      folder = &index.entries[at];
    } else {
      for (const Entry& e : index.entries) {
        if (e.is_dir && equal_folded(e.path, query.folder)) {
          folder = &e;
          break;
        }
      }
    }
    if (folder == nullptr) return {SearchStatus::NotIndexed, {}};
    const auto [begin, end] = subtree_range(index.entries, folder->path);
    scope.begin = begin;
    scope.end = end;
    scope.start = folder->path.size() + 1;
  }

  if (query.token.empty()) {
    SearchResult result;
    result.hits = scope.root ? list_root(index, limit) : list_children(scope, limit);
    return result;
  }
  return rank(scope, query.token, PickBoosts(index.entries, index.picks), limit, check, now);
}

std::optional<std::vector<Entry>> list_unindexed_folder(const std::string& root,
                                                        std::string_view folder) {
  // A ":" is refused too: elsewhere it names a drive or a stream, not a folder.
  if (folder.find(':') != std::string_view::npos || !walk::plain_relative(folder))
    return std::nullopt;
  const auto resolved = walk::canonical(root + "/" + std::string(folder));
  if (!resolved || !walk::inside_or_same(root, *resolved)) return std::nullopt;
  const std::string& canonical = *resolved;
  // Opened by its resolved path without following a link swapped in meanwhile.
  const int fd = open(canonical.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return std::nullopt;
  }
  std::vector<Entry> out;
  std::size_t read_items = 0;
  while (read_items < kMaxListedItems) {
    const dirent* de = readdir(dir);
    if (de == nullptr) break;
    const std::string_view name = de->d_name;
    if (name == "." || name == "..") continue;
    ++read_items;
    struct stat st {};
    if (!common::valid_utf8(name) || fstatat(fd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      continue;
    std::string path = std::string(folder) + "/" + std::string(name);
    if (path.size() > kMaxPathBytes) continue;
    out.push_back(Entry::make(std::move(path), encode_mtime(st.st_mtime), S_ISDIR(st.st_mode)));
  }
  closedir(dir);
  std::sort(out.begin(), out.end(), path_less);
  return out;
}

SearchResult search_listing(const std::vector<Entry>& listing,
                            const std::vector<std::string>& picks, const PreparedQuery& query,
                            std::size_t limit, const StaleCheck& check, std::uint32_t now) {
  Scope scope;
  scope.list = &listing;
  scope.end = listing.size();
  scope.start = query.folder.size() + 1;
  if (query.token.empty()) return {SearchStatus::Found, list_children(scope, limit)};
  return rank(scope, query.token, PickBoosts(listing, picks), limit, check, now);
}

void add_typed_excluded_folder(std::vector<Hit>& hits, const std::string& root,
                               std::string_view query, std::size_t limit) {
  const std::string_view name = common::trim_unicode(query);
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\\:\0", 4)) != std::string_view::npos)
    return;
  // Only a name the folder rules could skip is worth a look at the disk.
  if (!folder_name_may_be_skipped(name)) return;
  const std::string abs = root + "/" + std::string(name);
  struct stat st {};
  if (lstat(abs.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  if (!is_skipped_folder(name, name, abs)) return;
  if (std::any_of(hits.begin(), hits.end(), [&](const Hit& h) { return h.path == name; })) return;
  Hit hit;
  hit.path = std::string(name);
  hit.is_dir = true;
  hit.name_at = 0;
  hit.ranges.push_back({0, utf16_length(name, name.size())});
  hits.insert(hits.begin(), std::move(hit));
  if (hits.size() > limit) hits.resize(limit);
}

}  // namespace kavor::mention
