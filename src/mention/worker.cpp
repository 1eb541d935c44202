#include "mention/worker.h"

#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>

#include "common/timing.h"
#include "mention/index_file.h"
#include "mention/rules.h"
#include "walk/path_form.h"

namespace kavor::mention {

namespace {

using Clock = std::chrono::steady_clock;
using timing::scaled;

// Without a wake-up descriptor the loop looks at the stop flag this often.
constexpr milliseconds kStopPollWithoutMailbox{50};
// The folder check looks at the cancel flag after this many folders.
constexpr std::size_t kCheckCancelEvery = 256;
// Threads sharing a full walk, the worker's own among them.
constexpr unsigned kMaxWalkThreads = 4;

std::atomic<void (*)(const std::string&)> read_hook{nullptr};

void read_for_tests(const std::string& folder) {
  if (const auto hook = read_hook.load()) hook(folder);
}

unsigned walk_threads() {
  const unsigned cores = std::thread::hardware_concurrency();
  return std::min(cores == 0 ? 2u : cores, kMaxWalkThreads);
}

std::string parent_of(const std::string& rel) {
  const std::size_t slash = rel.rfind('/');
  return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}

std::string_view name_of(const std::string& rel) {
  const std::size_t slash = rel.rfind('/');
  return slash == std::string::npos ? std::string_view(rel)
                                    : std::string_view(rel).substr(slash + 1);
}

// Whether `path` is `folder` or lies below it ("" is the root, above everything).
bool within(const std::string& path, const std::string& folder) {
  if (folder.empty() || path == folder) return true;
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

class Worker {
 public:
  Worker(std::shared_ptr<IndexHandle> handle, std::shared_ptr<IndexHandle> predecessor,
         EventSink sink)
      : keep_(std::move(handle)),
        h_(*keep_),
        ix_(h_.index),
        predecessor_(std::move(predecessor)),
        sink_(std::move(sink)) {}

  void run() {
    wait_for_predecessor();
    locate_own_folder();
    // Watching starts before the first reading: every folder is watched just before it is
    // read (by the walks and the folder check), so a change lands either before the reading,
    // which sees it, or after the watch, which reports it.
    if (!cancelled()) {
      watcher_ = Watcher::create(h_.root_path);
      watch_now("");
      start();
    }
    if (!cancelled()) event_loop();
    watcher_.reset();
    // Stopped, cancelled or idle alike: the save does nothing when the file is up to date.
    save();
  }

 private:
  bool cancelled() const {
    return h_.cancel.load(std::memory_order_relaxed) || h_.mailbox.stop_sent();
  }

  std::string absolute(const std::string& rel) const {
    if (rel.empty()) return h_.root_path;
    return h_.root_path == "/" ? "/" + rel : h_.root_path + "/" + rel;
  }

  void announce(std::uint64_t revision) {
    last_emit_ = Clock::now();
    if (sink_) sink_(h_.root_text, revision);
  }

  std::uint64_t revision() const {
    std::shared_lock lock(ix_.lock);
    return ix_.revision;
  }

  bool dirty() const {
    std::shared_lock lock(ix_.lock);
    return ix_.dirty;
  }

  bool idle() const {
    const std::uint64_t last = h_.last_used_ms.load();
    const std::uint64_t now = now_ms();
    return now >= last && now - last >= static_cast<std::uint64_t>(scaled(kIdleEnd).count());
  }

  // A freshly opened index of a root that was just closed waits until the old worker has
  // written its file, so the picks it saves are not read from an older file.
  void wait_for_predecessor() {
    if (!predecessor_) return;
    while (predecessor_->ended.valid() && predecessor_->ended.wait_for(std::chrono::milliseconds(
                                              20)) != std::future_status::ready) {
      if (cancelled()) break;
    }
    predecessor_.reset();
  }

  // ---- Start: the file, or a full walk ----

  void start() {
    {
      std::unique_lock lock(ix_.lock);
      ix_.indexing = true;
      ++ix_.revision;
    }
    if (load()) {
      announce(revision());
      folder_check();
      std::uint64_t rev;
      {
        std::unique_lock lock(ix_.lock);
        ix_.indexing = false;
        ix_.dirty = true;
        rev = ++ix_.revision;
      }
      announce(rev);
    } else {
      full_walk();
    }
  }

  bool load() {
    auto content = load_index_file(h_.file_path, h_.root_text);
    if (!content) return false;
    std::unique_lock lock(ix_.lock);
    // A pick made while the file was being read is newer than the file's picks.
    std::vector<std::string> picks = std::move(ix_.picks);
    for (std::string& pick : content->picks) {
      if (picks.size() >= kMaxPicks) break;
      if (std::find(picks.begin(), picks.end(), pick) == picks.end())
        picks.push_back(std::move(pick));
    }
    ix_.picks = std::move(picks);
    ix_.entries = std::move(content->entries);
    ++ix_.revision;
    ix_.dirty = true;
    return true;
  }

  void full_walk() {
    root_mtime_ = folder_mtime("");
    std::uint64_t rev;
    {
      std::unique_lock lock(ix_.lock);
      ix_.indexing = true;
      ix_.dirty = true;
      rev = ++ix_.revision;
    }
    announce(rev);

    std::vector<Entry> batch;
    batch.reserve(kWalkBatch);
    const auto hand_over = [&] {
      std::unique_lock lock(ix_.lock);
      ix_.pending.insert(ix_.pending.end(), std::make_move_iterator(batch.begin()),
                         std::make_move_iterator(batch.end()));
      ++ix_.revision;
      batch.clear();
    };
    const WalkOutcome outcome =
        walk_entries_shared(request("", kMaxDepth, h_.entry_cap), walk_threads(), [&](Entry e) {
          batch.push_back(std::move(e));
          if (batch.size() < kWalkBatch) return;
          hand_over();
          if (Clock::now() - last_emit_ >= scaled(kProgressEvery)) announce(revision());
        });
    if (!batch.empty()) hand_over();
    read_for_tests("");

    // Planned without the lock (only this thread changes entries and pending), applied with it.
    const MergePlan plan = MergePlan::plan(ix_.entries, ix_.pending);
    {
      std::unique_lock lock(ix_.lock);
      plan.apply(ix_.entries, ix_.pending);
      // A walk cut short is not the folder's index: it must not be stored as one. Decided
      // under the lock that shows the index as finished: a stop sent by someone who saw it
      // finished comes later and finds a whole index, which is saved.
      incomplete_ = outcome.cancelled || cancelled();
      ix_.truncated = !outcome.cancelled && outcome.truncated;
      ix_.indexing = false;
      ix_.dirty = true;
      rev = ++ix_.revision;
    }
    announce(rev);
  }

  // ---- Rescans ----

  WalkRequest request(const std::string& rel, std::size_t depth, std::size_t max) {
    WalkRequest r{h_.root_path, rel, depth, max,
                  [cancel = &h_.cancel] { return cancel->load(std::memory_order_relaxed); }};
    r.excluded = own_folder_;
    r.entering = [this](const std::string& folder) { watch_now(folder); };
    return r;
  }

  // The folder holding the index file, when it lies inside the workspace: never indexed and
  // never looked at on notifications, or every save would cause the next.
  void locate_own_folder() {
    const std::size_t slash = h_.file_path.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    const auto folder = walk::canonical(h_.file_path.substr(0, slash));
    if (folder && *folder != h_.root_path && walk::inside_or_same(h_.root_path, *folder))
      own_folder_ = walk::relative_to(h_.root_path, *folder);
  }

  // Whether the folder is still reached from the root without passing a link: a folder
  // swapped for a link since it was recorded must not be walked, or names from outside the
  // workspace would be recorded as if they were inside.
  bool reached_directly(const std::string& rel) const {
    if (rel.empty()) return true;
    const std::string path = absolute(rel);
    const auto real = walk::canonical(path);
    return real && *real == path;
  }

  std::optional<std::uint32_t> folder_mtime(const std::string& rel) const {
    struct stat st {};
    if (lstat(absolute(rel).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    return encode_mtime(st.st_mtime);
  }

  bool present_folder(const std::string& rel) const {
    if (rel.empty()) return true;
    const auto [found, at] = find_path(ix_.entries, rel);
    return found && ix_.entries[at].is_dir;
  }

  // Removes what lies below `rel`, and `rel` itself when `with_self`.
  void remove_subtree(const std::string& rel, bool with_self) {
    std::unique_lock lock(ix_.lock);
    const std::size_t before = ix_.entries.size();
    if (rel.empty()) {
      ix_.entries.clear();
    } else if (with_self) {
      apply_changes(ix_.entries, {rel}, {}, {});
    } else {
      replace_subtree(ix_.entries, rel, {});
    }
    if (ix_.entries.size() != before) {
      ++ix_.revision;
      ix_.dirty = true;
    }
  }

  // The time the folder's own entry records, refreshed from a value read before its listing.
  std::optional<std::pair<std::size_t, Entry>> refreshed_own_entry(const std::string& rel,
                                                                   std::uint32_t mtime) const {
    if (rel.empty()) return std::nullopt;
    const auto [found, at] = find_path(ix_.entries, rel);
    if (!found || ix_.entries[at].mtime == mtime) return std::nullopt;
    Entry copy = ix_.entries[at];
    copy.mtime = mtime;
    return std::pair(at, std::move(copy));
  }

  // The folder's children on the disk against the index's: gone ones leave with their
  // subtrees, new ones come in (new folders walked whole), times are brought up to date. An
  // item whose kind changed counts as gone and new.
  void shallow_rescan(const std::string& rel) {
    if (!reached_directly(rel)) {
      remove_subtree(rel, true);
      return;
    }
    const std::optional<std::uint32_t> own = folder_mtime(rel);
    if (!own) {
      struct stat st {};
      const bool exists = !rel.empty() && lstat(absolute(rel).c_str(), &st) == 0;
      remove_subtree(rel, !exists);
      return;
    }
    if (rel.empty()) root_mtime_ = own;
    watch_now(rel);

    std::vector<Entry> listing;
    const WalkOutcome outcome = walk_entries(request(rel, 1, h_.entry_cap),
                                             [&](Entry e) { listing.push_back(std::move(e)); });
    if (outcome.cancelled) return;
    if (outcome.start_failed) {
      remove_subtree(rel, !rel.empty());
      return;
    }
    std::sort(listing.begin(), listing.end(), path_less);

    const std::vector<Entry>& entries = ix_.entries;
    const std::vector<std::size_t> children = children_of(entries, rel);
    std::vector<std::string> gone;
    std::vector<std::pair<std::size_t, Entry>> updated;
    std::vector<Entry> added;
    std::vector<std::string> walk_below;
    std::size_t room = h_.entry_cap - std::min(h_.entry_cap, entries.size() + ix_.pending.size());
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
    std::unique_lock lock(ix_.lock);
    apply_changes(ix_.entries, gone, std::move(updated), std::move(added));
    ++ix_.revision;
    ix_.dirty = true;
  }

  // Walks the folder's subtree again and puts it in place of the recorded one.
  void deep_rescan(const std::string& rel) {
    if (!reached_directly(rel)) {
      remove_subtree(rel, true);
      return;
    }
    const std::optional<std::uint32_t> own = folder_mtime(rel);
    if (!own) {
      struct stat st {};
      const bool exists = !rel.empty() && lstat(absolute(rel).c_str(), &st) == 0;
      remove_subtree(rel, !exists);
      return;
    }
    const auto [begin, end] = subtree_range(ix_.entries, rel);
    const std::size_t others = ix_.entries.size() - (end - begin);
    watch_now(rel);
    std::vector<Entry> fresh;
    const WalkOutcome outcome = walk_entries(
        request(rel, depth_limit_below(rel), h_.entry_cap - std::min(h_.entry_cap, others)),
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
    std::unique_lock lock(ix_.lock);
    replace_subtree(ix_.entries, rel, std::move(fresh));
    if (own_entry) apply_changes(ix_.entries, {}, {std::move(*own_entry)}, {});
    if (rel.empty()) ix_.truncated = outcome.truncated;
    ++ix_.revision;
    ix_.dirty = true;
  }

  // Compares every recorded folder time with the disk; for a folder that changed, walks its
  // parent again (which records the folder's new time). A second pass catches what changed
  // during the first. The root's own time, which no entry records, is remembered here.
  bool folder_check() {
    bool changed = false;
    for (int pass = 0; pass < 2 && !cancelled(); ++pass) {
      std::vector<std::string> queue;
      std::size_t looked = 0;
      for (const Entry& e : ix_.entries) {
        if (!e.is_dir) continue;
        if (++looked % kCheckCancelEvery == 0 && cancelled()) return changed;
        watch_now(e.path);
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
        if (cancelled()) return changed;
        if (std::any_of(done.begin(), done.end(),
                        [&](const std::string& d) { return within(folder, d); }))
          continue;
        if (!present_folder(folder)) continue;
        deep_rescan(folder);
        done.push_back(folder);
        changed = true;
      }
      const bool root_walked = !done.empty() && done.front().empty();
      if (root_changed && !root_walked && !cancelled()) {
        shallow_rescan("");
        changed = true;
      }
    }
    return changed;
  }

  // ---- Watching ----

  // Watches a folder before it is read, so that a change made after the reading is notified;
  // a watch added only afterwards would leave a moment in which changes go unseen. Called by
  // the walk's threads as well as the worker's.
  void watch_now(const std::string& rel) {
    if (!watcher_) return;
    std::lock_guard lock(watch_mutex_);
    if (watcher_->size() < kMaxWatchedFolders && !watcher_->watching(rel)) watcher_->watch(rel);
  }

  void process(std::vector<FsEvent> events) {
    const bool lost = std::any_of(events.begin(), events.end(), [](const FsEvent& e) {
      return e.kind == FsEvent::Kind::Lost || e.kind == FsEvent::Kind::Error;
    });
    if (lost) {
      folder_check();
      if (!cancelled()) shallow_rescan("");
      return;
    }
    std::set<std::string> rewalk;
    std::set<std::string> relist;
    std::vector<std::pair<std::size_t, Entry>> times;
    for (const FsEvent& event : events) {
      if (!own_folder_.empty() && within(event.path, own_folder_)) continue;
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
        const auto [found, at] = find_path(ix_.entries, event.path);
        struct stat st {};
        if (found && lstat(absolute(event.path).c_str(), &st) == 0 &&
            S_ISDIR(st.st_mode) == ix_.entries[at].is_dir) {
          const std::uint32_t mtime = encode_mtime(st.st_mtime);
          if (mtime != ix_.entries[at].mtime) {
            Entry copy = ix_.entries[at];
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
      std::unique_lock lock(ix_.lock);
      apply_changes(ix_.entries, {}, std::move(times), {});
      ++ix_.revision;
      ix_.dirty = true;
    }
    // Parents sort before their children, so a folder a parent's rescan removed is skipped.
    for (const std::string& folder : rewalk) {
      if (cancelled()) return;
      if (present_folder(folder)) deep_rescan(folder);
    }
    for (const std::string& folder : relist) {
      if (cancelled()) return;
      if (rewalk.count(folder) == 0 && present_folder(folder)) shallow_rescan(folder);
    }
  }

  // Waits until `wake`, a stop message or a notification; reads the notifications.
  void wait_until(Clock::time_point wake) {
    const auto now = Clock::now();
    auto timeout = wake > now ? std::chrono::ceil<milliseconds>(wake - now) : milliseconds(0);
    if (watcher_ && watcher_->has_events()) timeout = milliseconds(0);
    pollfd fds[2];
    nfds_t count = 0;
    const int mailbox = h_.mailbox.descriptor();
    if (mailbox >= 0) {
      fds[count++] = {mailbox, POLLIN, 0};
    } else {
      timeout = std::min(timeout, kStopPollWithoutMailbox);
    }
    if (watcher_) fds[count++] = {watcher_->descriptor(), POLLIN, 0};
    poll(fds, count, static_cast<int>(timeout.count()));
    h_.mailbox.drain();
    if (watcher_) watcher_->read();
  }

  // Runs until the stop message, the cancel flag, or kIdleEnd without use.
  void event_loop() {
    auto next_check = Clock::now() + scaled(kFolderCheckEvery);
    for (;;) {
      const auto now = Clock::now();
      auto wake = std::min(next_check, now + scaled(kLongestWait));
      if (!buffer_.empty()) {
        wake = std::min(wake, buffer_.due());
      } else if (dirty()) {
        wake = std::min(wake, save_base_ + scaled(save_delay(save_failures_)));
      }
      wait_until(wake);
      if (cancelled()) return;

      if (watcher_) {
        std::vector<FsEvent> arrived;
        watcher_->take(arrived, buffer_.room());
        for (FsEvent& e : arrived) buffer_.add(std::move(e), Clock::now());
      }
      if (!buffer_.empty() && (buffer_.full() || Clock::now() >= buffer_.due())) {
        process(buffer_.take());
        save_base_ = Clock::now();
        announce(revision());
      }
      if (Clock::now() >= next_check) {
        next_check = Clock::now() + scaled(kFolderCheckEvery);
        if (folder_check()) {
          save_base_ = Clock::now();
          announce(revision());
        }
      }
      if (dirty() && Clock::now() >= save_base_ + scaled(save_delay(save_failures_))) save();
      if (idle()) return;
    }
  }

  // ---- Saving ----

  void save() {
    if (incomplete_) return;
    std::string bytes;
    std::uint64_t rev;
    {
      std::shared_lock lock(ix_.lock);
      if (!ix_.dirty || ix_.indexing) return;
      bytes = serialize_index(h_.root_text, ix_.picks, ix_.entries);
      rev = ix_.revision;
    }
    if (!write_index_file(h_.file_path, bytes)) {
      if (save_failures_ < UINT32_MAX) ++save_failures_;
      save_base_ = Clock::now();
      return;
    }
    save_failures_ = 0;
    saved_revision_ = rev;
    if (own_folder_.empty()) locate_own_folder();
    std::unique_lock lock(ix_.lock);
    // A change made while writing keeps the index dirty.
    if (ix_.revision == rev) ix_.dirty = false;
  }

  std::shared_ptr<IndexHandle> keep_;
  IndexHandle& h_;
  Index& ix_;
  std::shared_ptr<IndexHandle> predecessor_;
  EventSink sink_;
  std::unique_ptr<Watcher> watcher_;
  std::mutex watch_mutex_;
  EventBuffer buffer_;
  Clock::time_point last_emit_ = Clock::now();
  Clock::time_point save_base_ = Clock::now();
  std::uint32_t save_failures_ = 0;
  std::uint64_t saved_revision_ = 0;
  std::optional<std::uint32_t> root_mtime_;
  std::string own_folder_;
  bool incomplete_ = false;
};

}  // namespace

void EventBuffer::add(FsEvent event, Clock::time_point now) {
  if (events_.empty()) first_ = now;
  last_ = now;
  events_.push_back(std::move(event));
}

EventBuffer::Clock::time_point EventBuffer::due() const {
  return std::min(last_ + timing::scaled(kQuietPeriod), first_ + timing::scaled(kBufferCap));
}

std::vector<FsEvent> EventBuffer::take() {
  std::vector<FsEvent> out;
  out.swap(events_);
  return out;
}

void set_read_hook_for_tests(void (*hook)(const std::string& folder)) {
  read_hook.store(hook);
}

milliseconds save_delay(unsigned failures) {
  return kSaveDelay * (1 << std::min(failures, kMaxSaveDoublings));
}

void start_worker(const std::shared_ptr<IndexHandle>& handle,
                  std::shared_ptr<IndexHandle> predecessor, EventSink sink) {
  auto done = std::make_shared<std::promise<void>>();
  handle->ended = done->get_future().share();
  handle->thread = std::thread(
      [handle, predecessor = std::move(predecessor), sink = std::move(sink), done]() mutable {
        pthread_setname_np(pthread_self(), "mention-index");
        try {
          Worker(handle, std::move(predecessor), std::move(sink)).run();
        } catch (...) {
          // Out of memory or threads: the index ends; the next command opens it anew.
        }
        done->set_value();
        handle->alive.store(false);
      });
}

}  // namespace kavor::mention
