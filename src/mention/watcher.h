// Change notifications for the folders of one workspace, through inotify: one non-recursive
// watch per folder, at most kMaxWatchedFolders, each named by its path relative to the root.
//
// What a notification becomes: a write or an attribute change of an item is "modified"; a
// creation, removal or rename of an item in a watched folder is "changed" (its parent needs a
// look); the removal or move of a watched folder itself is "changed" for that folder. A full
// kernel queue is "lost": events went missing and only a check of the whole tree can tell
// what happened. Reads are reported, nothing else is watched for: access is not a change.
//
// A watched folder that is moved keeps its watch in the kernel, but its relative path is now
// wrong, so the watch and every watch below it are dropped at once; the rescan its parent gets
// watches the folder again under its new path. Links are never followed when adding a watch.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace kavor::mention {

// Folders watched per workspace: a bound on the kernel's watches one index may hold.
inline constexpr std::size_t kMaxWatchedFolders = 4096;

struct FsEvent {
  enum class Kind { Modified, Changed, Lost, Error };
  Kind kind = Kind::Changed;
  std::string path;   // relative to the root, "" for the root itself
  bool self = false;  // about a watched folder itself (removed or moved)

  bool operator==(const FsEvent&) const = default;
};

class Watcher {
 public:
  // Nothing when inotify cannot be used (say, too many instances): the periodic folder check
  // then keeps the index fresh alone.
  static std::unique_ptr<Watcher> create(std::string root);
  ~Watcher();
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  // Readable when notifications wait.
  int descriptor() const { return fd_; }

  // Watches the folder at `rel` ("" for the root). False when it is already watched, the set
  // is full, or the item is gone or not a folder.
  bool watch(const std::string& rel);
  bool watching(const std::string& rel) const { return by_path_.count(rel) != 0; }
  std::size_t size() const { return by_path_.size(); }

  // Reads the notifications that wait (never blocks) into the queue of events not yet taken.
  void read();
  bool has_events() const { return !queue_.empty(); }
  // Moves up to `max` queued events into `out`.
  void take(std::vector<FsEvent>& out, std::size_t max);

 private:
  Watcher(int fd, std::string root) : fd_(fd), root_(std::move(root)) {}
  void forget(int wd);
  void drop_below(const std::string& rel);
  void push(FsEvent event);

  int fd_;
  std::string root_;
  std::unordered_map<int, std::string> by_wd_;
  std::unordered_map<std::string, int> by_path_;
  std::deque<FsEvent> queue_;
};

}  // namespace kavor::mention
