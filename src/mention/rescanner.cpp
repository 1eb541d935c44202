#include "mention/rescanner.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>
#include <shared_mutex>

#include "walk/path_form.h"

namespace kavor::mention {

namespace {

// The folder check looks at the cancel flag after this many folders.
constexpr std::size_t kCheckCancelEvery = 256;

std::atomic<void (*)(const std::string&)> read_hook{nullptr};

std::string parent_of(const std::string& rel) {
  const std::size_t slash = rel.rfind('/');
  return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}

std::string_view name_of(const std::string& rel) {
  const std::size_t slash = rel.rfind('/');
  return slash == std::string::npos ? std::string_view(rel)
                                    : std::string_view(rel).substr(slash + 1);
}

}  // namespace

void set_read_hook_for_tests(void (*hook)(const std::string& folder)) {
  read_hook.store(hook);
}

void read_for_tests(const std::string& folder) {
  if (const auto hook = read_hook.load()) hook(folder);
}

Rescanner::Rescanner(IndexHandle& handle, std::function<void(const std::string&)> watch,
                     std::function<bool()> cancelled)
    : handle_(handle),
      index_(handle.index),
      watch_(std::move(watch)),
      cancelled_(std::move(cancelled)) {}

void Rescanner::remember_root_time() {
  root_mtime_ = folder_mtime("");
}

std::string Rescanner::absolute(const std::string& rel) const {
  if (rel.empty()) return handle_.root_path;
  return handle_.root_path == "/" ? "/" + rel : handle_.root_path + "/" + rel;
}

WalkRequest Rescanner::request(const std::string& rel, std::size_t depth, std::size_t max) {
  WalkRequest r{handle_.root_path, rel, depth, max,
                [cancel = &handle_.cancel] { return cancel->load(std::memory_order_relaxed); }};
  r.excluded = own_folder_;
  r.entering = [this](const std::string& folder) { watch_(folder); };
  return r;
}

// The folder holding the index file, when it lies inside the workspace: never indexed and
// never looked at on notifications, or every save would cause the next.
void Rescanner::locate_own_folder() {
  const std::size_t slash = handle_.file_path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  const auto folder = walk::canonical(handle_.file_path.substr(0, slash));
  if (folder && *folder != handle_.root_path && walk::inside_or_same(handle_.root_path, *folder))
    own_folder_ = walk::relative_to(handle_.root_path, *folder);
}

// Whether the folder is still reached from the root without passing a link: a folder
// swapped for a link since it was recorded must not be walked, or names from outside the
// workspace would be recorded as if they were inside.
bool Rescanner::reached_directly(const std::string& rel) const {
  if (rel.empty()) return true;
  const std::string path = absolute(rel);
  const auto real = walk::canonical(path);
  return real && *real == path;
}

std::optional<std::uint32_t> Rescanner::folder_mtime(const std::string& rel) const {
  struct stat st {};
  if (lstat(absolute(rel).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  return encode_mtime(st.st_mtime);
}

bool Rescanner::present_folder(const std::string& rel) const {
  if (rel.empty()) return true;
  const auto [found, at] = find_path(index_.entries, rel);
  return found && index_.entries[at].is_dir;
}

// Removes what lies below `rel`, and `rel` itself when `with_self`.
void Rescanner::remove_subtree(const std::string& rel, bool with_self) {
  std::unique_lock lock(index_.lock);
  const std::size_t before = index_.entries.size();
  if (rel.empty()) {
    index_.entries.clear();
  } else if (with_self) {
    apply_changes(index_.entries, {rel}, {}, {});
  } else {
    replace_subtree(index_.entries, rel, {});
  }
  if (index_.entries.size() != before) {
    ++index_.revision;
    index_.dirty = true;
  }
}

// The time the folder's own entry records, refreshed from a value read before its listing.
std::optional<std::pair<std::size_t, Entry>> Rescanner::refreshed_own_entry(
    const std::string& rel, std::uint32_t mtime) const {
  if (rel.empty()) return std::nullopt;
  const auto [found, at] = find_path(index_.entries, rel);
  if (!found || index_.entries[at].mtime == mtime) return std::nullopt;
  Entry copy = index_.entries[at];
  copy.mtime = mtime;
  return std::pair(at, std::move(copy));
}

// The folder's own time when it can be read again: still a folder, reached from the root
// without passing a link. When it cannot, what the index holds below it goes, and the folder's
// own entry too unless something of that name is still there (its parent's listing records it).
std::optional<std::uint32_t> Rescanner::rescannable(const std::string& rel) {
  if (!reached_directly(rel)) {
    remove_subtree(rel, true);
    return std::nullopt;
  }
  const std::optional<std::uint32_t> own = folder_mtime(rel);
  if (!own) {
    struct stat st {};
    const bool exists = !rel.empty() && lstat(absolute(rel).c_str(), &st) == 0;
    remove_subtree(rel, !exists);
  }
  return own;
}

// The folder's children on the disk against the index's: gone ones leave with their
// subtrees, new ones come in (new folders walked whole), times are brought up to date. An
// item whose kind changed counts as gone and new.
void Rescanner::shallow_rescan(const std::string& rel) {
  const std::optional<std::uint32_t> own = rescannable(rel);
  if (!own) return;
  if (rel.empty()) root_mtime_ = own;
  watch_(rel);

  std::vector<Entry> listing;
  const WalkOutcome outcome = walk_entries(request(rel, 1, handle_.entry_cap),
                                           [&](Entry e) { listing.push_back(std::move(e)); });
  if (outcome.cancelled) return;
  if (outcome.start_failed) {
    remove_subtree(rel, !rel.empty());
    return;
  }
  std::sort(listing.begin(), listing.end(), path_less);

  const std::vector<Entry>& entries = index_.entries;
  const std::vector<std::size_t> children = children_of(entries, rel);
  std::vector<std::string> gone;
  std::vector<std::pair<std::size_t, Entry>> updated;
  std::vector<Entry> added;
  std::vector<std::string> walk_below;
  std::size_t room =
      handle_.entry_cap - std::min(handle_.entry_cap, entries.size() + index_.pending.size());
  const auto add = [&](Entry e) {
    if (room == 0) return;
    --room;
    if (e.is_dir) walk_below.push_back(e.path);
    added.push_back(std::move(e));
  };
  std::size_t a = 0;
  std::size_t b = 0;
  while (a < listing.size() || b < children.size()) {
    const Entry* disk = a < listing.size() ? &listing[a] : nullptr;
    const Entry* known = b < children.size() ? &entries[children[b]] : nullptr;
    if (known == nullptr || (disk != nullptr && disk->path < known->path)) {
      add(std::move(listing[a++]));
    } else if (disk == nullptr || known->path < disk->path) {
      gone.push_back(known->path);
      ++b;
    } else {
      if (disk->is_dir != known->is_dir) {
        gone.push_back(known->path);
        add(std::move(listing[a]));
      } else if (disk->mtime != known->mtime) {
        updated.emplace_back(children[b], std::move(listing[a]));
      }
      ++a;
      ++b;
    }
  }
  for (const std::string& folder : walk_below) {
    const WalkOutcome walked =
        walk_entries(request(folder, depth_limit_below(folder), room), [&](Entry e) {
          if (room == 0) return;
          --room;
          added.push_back(std::move(e));
        });
    if (walked.cancelled) return;
  }
  if (auto own_entry = refreshed_own_entry(rel, *own)) updated.push_back(std::move(*own_entry));
  if (gone.empty() && updated.empty() && added.empty()) return;
  read_for_tests(rel);
  sort_unique(added);
  std::unique_lock lock(index_.lock);
  apply_changes(index_.entries, gone, std::move(updated), std::move(added));
  ++index_.revision;
  index_.dirty = true;
}

// Walks the folder's subtree again and puts it in place of the recorded one.
void Rescanner::deep_rescan(const std::string& rel) {
  const std::optional<std::uint32_t> own = rescannable(rel);
  if (!own) return;
  const auto [begin, end] = subtree_range(index_.entries, rel);
  const std::size_t others = index_.entries.size() - (end - begin);
  watch_(rel);
  std::vector<Entry> fresh;
  const WalkOutcome outcome = walk_entries(
      request(rel, depth_limit_below(rel), handle_.entry_cap - std::min(handle_.entry_cap, others)),
      [&](Entry e) { fresh.push_back(std::move(e)); });
  if (outcome.cancelled) return;
  if (outcome.start_failed) {
    remove_subtree(rel, !rel.empty());
    return;
  }
  if (rel.empty()) root_mtime_ = own;
  read_for_tests(rel);
  sort_unique(fresh);
  auto own_entry = refreshed_own_entry(rel, *own);
  std::unique_lock lock(index_.lock);
  replace_subtree(index_.entries, rel, std::move(fresh));
  if (own_entry) apply_changes(index_.entries, {}, {std::move(*own_entry)}, {});
  if (rel.empty()) index_.truncated = outcome.truncated;
  ++index_.revision;
  index_.dirty = true;
}

// Compares every recorded folder time with the disk; for a folder that changed, walks its
// parent again (which records the folder's new time). A second pass catches what changed
// during the first. The root's own time, which no entry records, is remembered here.
bool Rescanner::folder_check() {
  bool changed = false;
  for (int pass = 0; pass < 2 && !cancelled_(); ++pass) {
    std::vector<std::string> queue;
    std::size_t looked = 0;
    for (const Entry& e : index_.entries) {
      if (!e.is_dir) continue;
      if (++looked % kCheckCancelEvery == 0 && cancelled_()) return changed;
      watch_(e.path);
      const std::optional<std::uint32_t> now = folder_mtime(e.path);
      if (!now || *now != e.mtime) queue.push_back(parent_of(e.path));
    }
    const std::optional<std::uint32_t> root_now = folder_mtime("");
    const bool root_changed = !root_now || !root_mtime_ || *root_now != *root_mtime_;
    std::sort(queue.begin(), queue.end());
    queue.erase(std::unique(queue.begin(), queue.end()), queue.end());
    if (queue.empty() && !root_changed) break;

    std::vector<std::string> done;
    for (const std::string& folder : queue) {
      if (cancelled_()) return changed;
      if (std::any_of(done.begin(), done.end(),
                      [&](const std::string& d) { return walk::inside_or_same(d, folder); }))
        continue;
      if (!present_folder(folder)) continue;
      deep_rescan(folder);
      done.push_back(folder);
      changed = true;
    }
    const bool root_walked = !done.empty() && done.front().empty();
    if (root_changed && !root_walked && !cancelled_()) {
      shallow_rescan("");
      changed = true;
    }
  }
  return changed;
}

void Rescanner::process(std::vector<FsEvent> events) {
  const bool lost = std::any_of(events.begin(), events.end(), [](const FsEvent& e) {
    return e.kind == FsEvent::Kind::Lost || e.kind == FsEvent::Kind::Error;
  });
  if (lost) {
    folder_check();
    if (!cancelled_()) shallow_rescan("");
    return;
  }
  std::set<std::string> rewalk;
  std::set<std::string> relist;
  std::vector<std::pair<std::size_t, Entry>> times;
  for (const FsEvent& event : events) {
    if (!own_folder_.empty() && walk::inside_or_same(own_folder_, event.path)) continue;
    const std::string parent = parent_of(event.path);
    if (event.path.empty()) {
      relist.insert("");  // the root itself was removed or moved
      continue;
    }
    if (event.self) {
      // A watched folder moved or removed loses its watches and those below it: if it is
      // still (or again) there, walk it again, which watches it anew.
      rewalk.insert(event.path);
      relist.insert(parent);
      continue;
    }
    const std::string_view name = name_of(event.path);
    if (name == ".gitignore" || name == ".ignore") {
      rewalk.insert(parent);
      continue;
    }
    if (event.kind == FsEvent::Kind::Modified) {
      const auto [found, at] = find_path(index_.entries, event.path);
      struct stat st {};
      if (found && lstat(absolute(event.path).c_str(), &st) == 0 &&
          S_ISDIR(st.st_mode) == index_.entries[at].is_dir) {
        const std::uint32_t mtime = encode_mtime(st.st_mtime);
        if (mtime != index_.entries[at].mtime) {
          Entry copy = index_.entries[at];
          copy.mtime = mtime;
          times.emplace_back(at, std::move(copy));
        }
        continue;
      }
    }
    // A folder moved in, or made again, under a name the index knows holds what the index
    // does not: the listing of its parent would take it for the one recorded.
    if (event.kind == FsEvent::Kind::Changed && present_folder(event.path) &&
        folder_mtime(event.path))
      rewalk.insert(event.path);
    relist.insert(parent);
  }
  if (!times.empty()) {
    std::unique_lock lock(index_.lock);
    apply_changes(index_.entries, {}, std::move(times), {});
    ++index_.revision;
    index_.dirty = true;
  }
  // Parents sort before their children, so a folder a parent's rescan removed is skipped.
  for (const std::string& folder : rewalk) {
    if (cancelled_()) return;
    if (present_folder(folder)) deep_rescan(folder);
  }
  for (const std::string& folder : relist) {
    if (cancelled_()) return;
    if (rewalk.count(folder) == 0 && present_folder(folder)) shallow_rescan(folder);
  }
}

}  // namespace kavor::mention
