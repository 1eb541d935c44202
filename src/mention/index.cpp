#include "mention/index.h"

#include <algorithm>
#include <chrono>
#include <iterator>

#include "mention/fold.h"

namespace kavor::mention {

namespace {

std::size_t lower_bound_path(const std::vector<Entry>& entries, std::string_view path) {
  const auto it = std::lower_bound(entries.begin(), entries.end(), path,
                                   [](const Entry& e, std::string_view p) { return e.path < p; });
  return static_cast<std::size_t>(it - entries.begin());
}

}  // namespace

std::uint32_t encode_mtime(std::int64_t seconds) {
  if (seconds < 0) return 0;
  if (seconds >= std::int64_t{kMtimeTooLate}) return kMtimeTooLate;
  return static_cast<std::uint32_t>(seconds);
}

std::uint32_t now_encoded() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return encode_mtime(std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count());
}

Entry Entry::make(std::string path, std::uint32_t mtime, bool is_dir) {
  Entry e;
  // One pass for the common ASCII path: separators and the character set together.
  std::size_t slashes = 0;
  std::size_t name_at = 0;
  std::uint64_t chars = 0;
  bool ascii = true;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto byte = static_cast<unsigned char>(path[i]);
    if (byte == '/') {
      ++slashes;
      name_at = i + 1;
    }
    if (byte >= 0x80)
      ascii = false;
    else
      chars |= kAsciiBits.of[byte];
  }
  e.name_at = static_cast<std::uint16_t>(name_at);
  e.depth = static_cast<std::uint8_t>(std::min<std::size_t>(slashes + 1, 255));
  e.chars = ascii ? chars : folded_char_set(path);
  e.path = std::move(path);
  e.mtime = mtime;
  e.is_dir = is_dir;
  return e;
}

std::pair<bool, std::size_t> find_path(const std::vector<Entry>& entries, std::string_view path) {
  const std::size_t at = lower_bound_path(entries, path);
  return {at < entries.size() && entries[at].path == path, at};
}

std::pair<std::size_t, std::size_t> subtree_range(const std::vector<Entry>& entries,
                                                  std::string_view folder) {
  if (folder.empty()) return {0, entries.size()};
  // Every path below the folder starts with "folder/"; "folder0" is the first text after all
  // of them, "0" being the byte after "/".
  std::string bound(folder);
  bound.push_back('/');
  const std::size_t begin = lower_bound_path(entries, bound);
  bound.back() = '0';
  return {begin, lower_bound_path(entries, bound)};
}

std::vector<std::size_t> children_of(const std::vector<Entry>& entries, std::string_view folder) {
  const auto [begin, end] = subtree_range(entries, folder);
  const std::size_t skip = folder.empty() ? 0 : folder.size() + 1;
  std::vector<std::size_t> out;
  for (std::size_t i = begin; i < end; ++i) {
    if (entries[i].path.find('/', skip) == std::string::npos) out.push_back(i);
  }
  return out;
}

void replace_subtree(std::vector<Entry>& entries, std::string_view folder,
                     std::vector<Entry> fresh) {
  const auto [begin, end] = subtree_range(entries, folder);
  const auto first = entries.begin() + static_cast<std::ptrdiff_t>(begin);
  const std::size_t old_size = end - begin;
  if (fresh.size() == old_size) {
    std::move(fresh.begin(), fresh.end(), first);
    return;
  }
  entries.erase(first, entries.begin() + static_cast<std::ptrdiff_t>(end));
  entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(begin),
                 std::make_move_iterator(fresh.begin()), std::make_move_iterator(fresh.end()));
}

void sort_unique(std::vector<Entry>& list) {
  std::stable_sort(list.begin(), list.end(), path_less);
  const auto last = std::unique(list.begin(), list.end(),
                                [](const Entry& a, const Entry& b) { return a.path == b.path; });
  list.erase(last, list.end());
}

MergePlan MergePlan::plan(const std::vector<Entry>& entries, const std::vector<Entry>& pending) {
  MergePlan out;
  out.pending_count_ = pending.size();
  std::vector<std::uint32_t> fresh(pending.size());
  for (std::size_t i = 0; i < fresh.size(); ++i) fresh[i] = static_cast<std::uint32_t>(i);
  std::stable_sort(fresh.begin(), fresh.end(), [&pending](std::uint32_t a, std::uint32_t b) {
    return pending[a].path < pending[b].path;
  });
  const auto path_of = [&](std::uint32_t i) -> const std::string& {
    return i < out.pending_count_ ? pending[i].path : entries[i - out.pending_count_].path;
  };
  out.order_.reserve(pending.size() + entries.size());
  std::size_t a = 0;
  std::size_t b = 0;
  const auto push = [&](std::uint32_t i) {
    // The first of equal paths stays: fresh records come first on ties.
    if (!out.order_.empty() && path_of(out.order_.back()) == path_of(i)) return;
    out.order_.push_back(i);
  };
  while (a < fresh.size() || b < entries.size()) {
    if (b == entries.size() || (a < fresh.size() && !(entries[b].path < pending[fresh[a]].path))) {
      push(fresh[a++]);
    } else {
      push(static_cast<std::uint32_t>(out.pending_count_ + b++));
    }
  }
  return out;
}

void MergePlan::apply(std::vector<Entry>& entries, std::vector<Entry>& pending) const {
  std::vector<Entry> merged;
  merged.reserve(order_.size());
  for (const std::uint32_t i : order_) {
    merged.push_back(i < pending_count_ ? std::move(pending[i])
                                        : std::move(entries[i - pending_count_]));
  }
  entries = std::move(merged);
  // Give the walk's buffer back: a large index must not keep a second copy's worth of memory.
  std::vector<Entry>().swap(pending);
}

void apply_changes(std::vector<Entry>& entries, const std::vector<std::string>& gone,
                   std::vector<std::pair<std::size_t, Entry>> updated, std::vector<Entry> added) {
  for (auto& [position, entry] : updated) {
    if (position < entries.size() && entries[position].path == entry.path)
      entries[position] = std::move(entry);
  }
  if (gone.empty() && added.empty()) return;

  std::vector<bool> removed(entries.size(), false);
  for (const std::string& path : gone) {
    const auto [found, at] = find_path(entries, path);
    if (found) removed[at] = true;
    const auto [begin, end] = subtree_range(entries, path);
    for (std::size_t i = begin; i < end; ++i) removed[i] = true;
  }
  std::vector<Entry> out;
  out.reserve(entries.size() + added.size());
  std::size_t b = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (removed[i]) continue;
    while (b < added.size() && added[b].path < entries[i].path)
      out.push_back(std::move(added[b++]));
    // A fresh record of a path still present replaces it.
    if (b < added.size() && added[b].path == entries[i].path) {
      out.push_back(std::move(added[b++]));
      continue;
    }
    out.push_back(std::move(entries[i]));
  }
  while (b < added.size()) out.push_back(std::move(added[b++]));
  entries = std::move(out);
}

}  // namespace kavor::mention
