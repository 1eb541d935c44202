#include "mention/worker.h"

#include <poll.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>

#include "common/timing.h"
#include "mention/index_file.h"
#include "mention/rescanner.h"
#include "mention/walk_settings.h"

namespace kavor::mention {

namespace {

using Clock = std::chrono::steady_clock;
using common::timing::scaled;

// Without a wake-up descriptor the loop looks at the stop flag this often.
constexpr milliseconds kStopPollWithoutMailbox{50};
// Threads sharing a full walk, the worker's own among them.
constexpr unsigned kMaxWalkThreads = 4;

unsigned walk_threads() {
  const unsigned cores = std::thread::hardware_concurrency();
  return std::min(cores == 0 ? 2u : cores, kMaxWalkThreads);
}

class Worker {
 public:
  Worker(std::shared_ptr<IndexHandle> handle, std::shared_ptr<IndexHandle> predecessor,
         EventSink sink)
      : keep_(std::move(handle)),
        handle_(*keep_),
        index_(handle_.index),
        rescanner_(
            handle_, [this](const std::string& rel) { watch_now(rel); },
            [this] { return cancelled(); }),
        predecessor_(std::move(predecessor)),
        sink_(std::move(sink)) {}

  void run() {
    wait_for_predecessor();
    rescanner_.locate_own_folder();
    // Watching starts before the first reading: every folder is watched just before it is
    // read (by the walks and the folder check), so a change lands either before the reading,
    // which sees it, or after the watch, which reports it.
    if (!cancelled()) {
      watcher_ = Watcher::create(handle_.root_path);
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
    return handle_.cancel.load(std::memory_order_relaxed) || handle_.mailbox.stop_sent();
  }

  void announce(std::uint64_t revision) {
    last_emit_ = Clock::now();
    if (sink_) sink_(handle_.root_text, revision);
  }

  std::uint64_t revision() const {
    std::shared_lock lock(index_.lock);
    return index_.revision;
  }

  bool dirty() const {
    std::shared_lock lock(index_.lock);
    return index_.dirty;
  }

  bool idle() const {
    const std::uint64_t last = handle_.last_used_ms.load();
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
      std::unique_lock lock(index_.lock);
      index_.indexing = true;
      ++index_.revision;
    }
    if (load()) {
      announce(revision());
      rescanner_.folder_check();
      std::uint64_t rev;
      {
        std::unique_lock lock(index_.lock);
        index_.indexing = false;
        index_.dirty = true;
        rev = ++index_.revision;
      }
      announce(rev);
    } else {
      full_walk();
    }
  }

  bool load() {
    auto content = load_index_file(handle_.file_path, handle_.root_text);
    if (!content) return false;
    std::unique_lock lock(index_.lock);
    // A pick made while the file was being read is newer than the file's picks.
    std::vector<std::string> picks = std::move(index_.picks);
    for (std::string& pick : content->picks) {
      if (picks.size() >= kMaxPicks) break;
      if (std::find(picks.begin(), picks.end(), pick) == picks.end())
        picks.push_back(std::move(pick));
    }
    index_.picks = std::move(picks);
    index_.entries = std::move(content->entries);
    ++index_.revision;
    index_.dirty = true;
    return true;
  }

  void full_walk() {
    rescanner_.remember_root_time();
    std::uint64_t rev;
    {
      std::unique_lock lock(index_.lock);
      index_.indexing = true;
      index_.dirty = true;
      rev = ++index_.revision;
    }
    announce(rev);

    std::vector<Entry> batch;
    batch.reserve(kWalkBatch);
    const auto hand_over = [&] {
      std::unique_lock lock(index_.lock);
      index_.pending.insert(index_.pending.end(), std::make_move_iterator(batch.begin()),
                            std::make_move_iterator(batch.end()));
      ++index_.revision;
      batch.clear();
    };
    const WalkOutcome outcome = walk_entries_shared(
        rescanner_.request("", kMaxDepth, handle_.entry_cap), walk_threads(), [&](Entry e) {
          batch.push_back(std::move(e));
          if (batch.size() < kWalkBatch) return;
          hand_over();
          if (Clock::now() - last_emit_ >= scaled(kProgressEvery)) announce(revision());
        });
    if (!batch.empty()) hand_over();
    read_for_tests("");

    // Planned without the lock (only this thread changes entries and pending), applied with it.
    const MergePlan plan = MergePlan::plan(index_.entries, index_.pending);
    {
      std::unique_lock lock(index_.lock);
      plan.apply(index_.entries, index_.pending);
      // A walk cut short is not the folder's index: it must not be stored as one. Decided
      // under the lock that shows the index as finished: a stop sent by someone who saw it
      // finished comes later and finds a whole index, which is saved.
      incomplete_ = outcome.cancelled || cancelled();
      index_.truncated = !outcome.cancelled && outcome.truncated;
      index_.indexing = false;
      index_.dirty = true;
      rev = ++index_.revision;
    }
    announce(rev);
  }

  // ---- Rescans ----

  // ---- Watching ----

  // Watches a folder before it is read, so that a change made after the reading is notified;
  // a watch added only afterwards would leave a moment in which changes go unseen. Called by
  // the walk's threads as well as the worker's.
  void watch_now(const std::string& rel) {
    if (!watcher_) return;
    std::lock_guard lock(watch_mutex_);
    if (watcher_->size() < kMaxWatchedFolders && !watcher_->watching(rel)) watcher_->watch(rel);
  }

  // Waits until `wake`, a stop message or a notification; reads the notifications.
  void wait_until(Clock::time_point wake) {
    const auto now = Clock::now();
    auto timeout = wake > now ? std::chrono::ceil<milliseconds>(wake - now) : milliseconds(0);
    if (watcher_ && watcher_->has_events()) timeout = milliseconds(0);
    pollfd fds[2];
    nfds_t count = 0;
    const int mailbox = handle_.mailbox.descriptor();
    if (mailbox >= 0) {
      fds[count++] = {mailbox, POLLIN, 0};
    } else {
      timeout = std::min(timeout, kStopPollWithoutMailbox);
    }
    if (watcher_) fds[count++] = {watcher_->descriptor(), POLLIN, 0};
    poll(fds, count, static_cast<int>(timeout.count()));
    handle_.mailbox.drain();
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
        rescanner_.process(buffer_.take());
        save_base_ = Clock::now();
        announce(revision());
      }
      if (Clock::now() >= next_check) {
        next_check = Clock::now() + scaled(kFolderCheckEvery);
        if (rescanner_.folder_check()) {
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
      std::shared_lock lock(index_.lock);
      if (!index_.dirty || index_.indexing) return;
      bytes = serialize_index(handle_.root_text, index_.picks, index_.entries);
      rev = index_.revision;
    }
    if (!write_index_file(handle_.file_path, bytes)) {
      if (save_failures_ < UINT32_MAX) ++save_failures_;
      save_base_ = Clock::now();
      return;
    }
    save_failures_ = 0;
    saved_revision_ = rev;
    if (!rescanner_.own_folder_known()) rescanner_.locate_own_folder();
    std::unique_lock lock(index_.lock);
    // A change made while writing keeps the index dirty.
    if (index_.revision == rev) index_.dirty = false;
  }

  std::shared_ptr<IndexHandle> keep_;
  IndexHandle& handle_;
  Index& index_;
  Rescanner rescanner_;
  std::shared_ptr<IndexHandle> predecessor_;
  EventSink sink_;
  std::unique_ptr<Watcher> watcher_;
  std::mutex watch_mutex_;
  EventBuffer buffer_;
  Clock::time_point last_emit_ = Clock::now();
  Clock::time_point save_base_ = Clock::now();
  std::uint32_t save_failures_ = 0;
  std::uint64_t saved_revision_ = 0;
  bool incomplete_ = false;
};

}  // namespace

void EventBuffer::add(FsEvent event, Clock::time_point now) {
  if (events_.empty()) first_ = now;
  last_ = now;
  events_.push_back(std::move(event));
}

EventBuffer::Clock::time_point EventBuffer::due() const {
  return std::min(last_ + common::timing::scaled(kQuietPeriod),
                  first_ + common::timing::scaled(kBufferCap));
}

std::vector<FsEvent> EventBuffer::take() {
  std::vector<FsEvent> out;
  out.swap(events_);
  return out;
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
