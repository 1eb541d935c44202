// Keeps the entries of one open index in step with the disk, folder by folder, for the worker
// of that index (worker.h), on the worker's thread.
//
//   shallow   a folder's children on the disk against the index's: what is gone leaves with its
//             subtree, what is new comes in (new folders walked whole), times are brought up
//             to date; an item whose kind changed counts as gone and new
//   deep      walks a folder's subtree again and puts the result in place of the recorded one
//   check     compares every recorded folder time with the disk and walks again what changed;
//             catches what change notifications missed
//   events    turns a burst of change notifications into the rescans above: a notification
//             names the parent folder to look at; a changed ".gitignore" or ".ignore" walks its
//             folder again under the new rules; lost notifications lead to a check
//
// A folder is read only when it is still reached from the root without passing a link, and
// is watched just before it is read, so a change lands either before the reading, which sees
// it, or after the watch, which reports it. Entries change only on the worker's thread;
// readers see them under the index's lock, which every change here takes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "mention/handle.h"
#include "mention/walk_settings.h"
#include "mention/watcher.h"

namespace kavor::mention {

class Rescanner {
 public:
  // `watch` watches a folder (relative to the root) before it is read; it may be called from
  // the walk's threads. `cancelled` tells whether the worker is asked to end.
  Rescanner(IndexHandle& handle, std::function<void(const std::string&)> watch,
            std::function<bool()> cancelled);

  // The request of a walk below `rel`, at most `depth` deep and `max` entries long, that skips
  // the index file's own folder and watches every folder it enters.
  WalkRequest request(const std::string& rel, std::size_t depth, std::size_t max);

  // Finds the folder holding the index file when it lies inside the workspace: it is never
  // indexed and never looked at on notifications, or every save would cause the next. Looked
  // for again after a save when not found before (the file's folder may not have existed).
  void locate_own_folder();
  bool own_folder_known() const { return !own_folder_.empty(); }

  // The root's own time, which no entry records, read now (before the first walk).
  void remember_root_time();

  void shallow_rescan(const std::string& rel);
  void deep_rescan(const std::string& rel);
  // True when anything changed.
  bool folder_check();
  void process(std::vector<FsEvent> events);

 private:
  std::string absolute(const std::string& rel) const;
  bool reached_directly(const std::string& rel) const;
  std::optional<std::uint32_t> rescannable(const std::string& rel);
  std::optional<std::uint32_t> folder_mtime(const std::string& rel) const;
  bool present_folder(const std::string& rel) const;
  void remove_subtree(const std::string& rel, bool with_self);
  std::optional<std::pair<std::size_t, Entry>> refreshed_own_entry(const std::string& rel,
                                                                   std::uint32_t mtime) const;

  IndexHandle& handle_;
  Index& index_;
  std::function<void(const std::string&)> watch_;
  std::function<bool()> cancelled_;
  std::optional<std::uint32_t> root_mtime_;
  std::string own_folder_;
};

// For tests: called on the worker's thread when a walk or a rescan of `folder` has read the
// disk and before what it read reaches the index, the moment a change is easiest to miss.
void set_read_hook_for_tests(void (*hook)(const std::string& folder));
// Calls the hook above, when one is set.
void read_for_tests(const std::string& folder);

}  // namespace kavor::mention
