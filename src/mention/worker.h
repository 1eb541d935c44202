// The worker of one open index: a thread named "mention-index" that fills the index, keeps it
// in step with the disk, tells the page and saves the file.
//
//   loading   read the index file; if it is taken, check the recorded folder times against
//             the disk and rescan what changed; otherwise walk the whole folder (its top
//             folders shared with up to three helper threads), handing entries to the index in
//             batches of kWalkBatch so searches see them early
//   watching  wait for change notifications, buffer them until kQuietPeriod passes without
//             one (at most kBufferCap after the first, at once when kMaxBufferedEvents wait),
//             then rescan the folders they name; check every folder's time every
//             kFolderCheckEvery; save kSaveDelay after the last change (doubling after each
//             failed save, up to kMaxSaveDelay)
//   ended     by the stop message, by the cancel flag, or after kIdleEnd without a command
//             touching the index; saves what is not yet in the file, then clears alive
//
// The rescans (a folder's children, a whole subtree, every folder's time, a burst of change
// notifications) are the rescanner's (rescanner.h); the worker decides when they run.
//
// All waits go through timing::scaled, so tests run the same loop faster.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#include "mention/handle.h"
#include "mention/rescanner.h"
#include "mention/watcher.h"

namespace kavor::mention {

using std::chrono::milliseconds;

inline constexpr std::size_t kWalkBatch = 2000;
// Progress events during a walk: often enough to look alive, rarely enough not to flood.
inline constexpr milliseconds kProgressEvery{300};
// Change notifications come in bursts (a checkout, a build): wait for the burst to end...
inline constexpr milliseconds kQuietPeriod{250};
// ...but not for ever, and not for more than this many events.
inline constexpr milliseconds kBufferCap{2'000};
inline constexpr std::size_t kMaxBufferedEvents = 4096;
// Catches what notifications miss: folders beyond the watch cap, changes while not watching.
inline constexpr milliseconds kFolderCheckEvery{90'000};
// Saving waits this long after the last change, so a burst of changes is written once.
inline constexpr milliseconds kSaveDelay{10'000};
inline constexpr unsigned kMaxSaveDoublings = 6;  // 10 s, 20 s ... 640 s
// The loop wakes at least this often.
inline constexpr milliseconds kLongestWait{60'000};
// An index nobody used for this long gives its memory and its watches back.
inline constexpr milliseconds kIdleEnd{1'200'000};

// The buffered change notifications and when they are due.
class EventBuffer {
 public:
  using Clock = std::chrono::steady_clock;

  void add(FsEvent event, Clock::time_point now);
  bool empty() const { return events_.empty(); }
  std::size_t size() const { return events_.size(); }
  std::size_t room() const { return kMaxBufferedEvents - events_.size(); }
  bool full() const { return events_.size() >= kMaxBufferedEvents; }
  // The earlier of the quiet period after the last event and the cap after the first.
  Clock::time_point due() const;
  std::vector<FsEvent> take();

 private:
  std::vector<FsEvent> events_;
  Clock::time_point first_{};
  Clock::time_point last_{};
};

// Starts the worker thread of `handle`. When `predecessor` (an earlier handle of the same root,
// stopped) is still saving, the new worker waits for it before reading the file.
void start_worker(const std::shared_ptr<IndexHandle>& handle,
                  std::shared_ptr<IndexHandle> predecessor, EventSink sink);

// The save delay after `failures` consecutive failed saves (unscaled).
milliseconds save_delay(unsigned failures);

}  // namespace kavor::mention
