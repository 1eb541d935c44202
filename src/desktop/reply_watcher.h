// The reply watcher: when the user sends a message and leaves the window, the page asks the
// agent to follow the assistant's reply on the service and announce it when it is finished.
//
// One watcher per chat, at most eight (a ninth chat evicts the one started first). A watcher
// asks for its message every 2 seconds for the first 5 minutes and every 10 seconds after that,
// but not while the user looks at the window or has notifications off. A finished message
// raises "done" (or "failed" for the status "error"); then the chat is asked for a newer
// assistant message, which is followed the same way. The watch ends when there is none, when
// the service rejects the token (401, silently), when it is stopped or replaced, or after
// 2 hours. Network trouble and odd answers are simply tried again at the next tick.
#pragma once

#include <qcorotask.h>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/endpoints.h"
#include "platform/result.h"

namespace kavor::common {
class Host;
}

namespace kavor::desktop {

class Notifier;

inline constexpr std::size_t kMaxWatchers = 8;
inline constexpr int kMaxChatIdChars = 64;
inline constexpr int kMaxTokenBytes = 4096;
// Each request of a watch may take this long.
inline constexpr std::chrono::milliseconds kWatchRequestTimeout{12'000};
// Replies usually finish within minutes: ask often at first, then calmly.
inline constexpr std::chrono::milliseconds kWatchFastTick{2'000};
inline constexpr std::chrono::milliseconds kWatchSlowTick{10'000};
inline constexpr std::chrono::seconds kWatchFastFor{300};
// A reply not finished after this long is not watched any more.
inline constexpr std::chrono::seconds kWatchLifetime{7'200};
// A follow-up message may not exist yet when the first one finishes: look twice, this far apart.
inline constexpr std::chrono::milliseconds kFollowUpRetry{2'000};

struct WatchRequest {
  QString chat;        // 1 to 64 of A-Z a-z 0-9 - _
  std::int64_t mid{};  // the message to follow, from 1
  QString token;       // the bearer token, 1 to 4096 bytes once trimmed
  QString title;       // the chat label the notification shows; may be empty
};

// Whether a request can be watched; its refusal ("invalid chat id", "invalid message id",
// "invalid token") when not. A token holding control characters is refused too: it would end
// up inside an HTTP header.
Result<void> check_watch_request(const WatchRequest& request);

struct WatchContext {
  common::Endpoints endpoints;
  common::Host& host;  // is the user looking at the window?
  Notifier& notifier;  // are notifications on? and where the announcement goes
};

class Watchers {
 public:
  Watchers() = default;
  Watchers(const Watchers&) = delete;
  Watchers& operator=(const Watchers&) = delete;
  // Stops every watch; their tasks end at their next step without touching anything.
  ~Watchers();

  // Starts following `request.mid` in its chat; fails with the refusal of an invalid request. The
  // same chat and message again changes nothing; another message replaces the chat's watcher.
  // The context's host and notifier are used between events only while the table exists.
  Result<void> watch(WatchRequest request, const WatchContext& context);
  // Stops and removes the chat's watcher, if any.
  void unwatch(const QString& chat);

  // The watched chats with the message each follows now, oldest first.
  std::vector<std::pair<QString, std::int64_t>> watched() const;

 private:
  struct Watcher {
    QString chat;
    std::int64_t mid{};
    std::uint64_t order{};  // start order, for eviction
    std::chrono::steady_clock::time_point started;
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> current{};
  };

  // The watch task. After each wait it first looks at the stop flag and touches nothing (not
  // the table, the host or the notifier) once it is set.
  static QCoro::Task<> follow(std::shared_ptr<Watcher> watcher, WatchRequest request,
                              WatchContext context, Watchers* table);
  void remove_if_current(const std::shared_ptr<Watcher>& watcher);

  mutable std::mutex mutex_;
  std::map<QString, std::shared_ptr<Watcher>> table_;
  std::uint64_t started_ = 0;
};

}  // namespace kavor::desktop
