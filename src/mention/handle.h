// One open workspace index as the commands and its worker share it. The commands find it in
// the table of Mentions; the worker thread holds it until it ends, so an index stays usable by
// a search that is still running when the index is closed or evicted.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "mention/index.h"

namespace kavor::mention {

// Tells the page that an index changed: the root text and the new revision. Called on the
// worker's thread.
using EventSink = std::function<void(const std::string& root_text, std::uint64_t revision)>;

// Milliseconds since 1970 by the system clock: the unit of last-used times.
std::uint64_t now_ms();
// A number larger than any given before in this process.
std::uint64_t next_use_order();

// Wakes the worker: the stop message. An eventfd, so the worker can wait for it and for
// change notifications at once.
class Mailbox {
 public:
  Mailbox();
  ~Mailbox();
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  void send_stop();
  bool stop_sent() const { return stop_.load(); }
  // -1 when no descriptor could be made; the worker then looks at stop_sent() often.
  int descriptor() const { return fd_; }
  void drain();

 private:
  int fd_ = -1;
  std::atomic<bool> stop_{false};
};

struct IndexHandle {
  IndexHandle(std::string root_path, std::string root_text, std::string file_path,
              std::size_t entry_cap = kMaxEntries);
  ~IndexHandle();
  IndexHandle(const IndexHandle&) = delete;
  IndexHandle& operator=(const IndexHandle&) = delete;

  const std::string root_path;  // canonical absolute path, as the file system spells it
  const std::string root_text;  // its UTF-8 rendering: table key, file root, reported root
  const std::string file_path;  // the index file
  // Entries one index holds at most: kMaxEntries, smaller only in tests, which cannot afford
  // folders of that size for every case that reaches the cap.
  const std::size_t entry_cap;

  Index index;
  std::atomic<std::uint64_t> search_counter{0};
  std::atomic<bool> cancel{false};
  std::atomic<std::uint64_t> last_used_ms;  // for the idle end
  // The order of last use among all indexes, for choosing the least recently used: uses often
  // come within one millisecond of each other, and the wall clock may be set back.
  std::atomic<std::uint64_t> use_order;
  std::atomic<bool> alive{true};  // false once the worker has ended
  Mailbox mailbox;

  // The worker thread; joined by Mentions. `ended` is ready once the worker has saved and is
  // about to return, so a new worker for the same root can wait for the file it writes.
  std::thread thread;
  std::shared_future<void> ended;

  void touch() {
    last_used_ms.store(now_ms());
    use_order.store(next_use_order());
  }
  // Sets the cancel flag and sends the stop message.
  void stop();
};

}  // namespace kavor::mention
