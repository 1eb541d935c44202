// The browsers of the chats: one per chat, or per chat and session name, started on a chat's
// first browser call, kept warm between calls, and closed by `close`, by the idle reaper, by a
// call that overruns its time limit, or when the registry ends. The agent owns the registry and
// ends it early in its own ending (app/agent.h), so no browser outlives the program; the
// browsers of a program that is killed end with it as launch.h says.
//
// A browser call runs in these steps:
// 1. Find or make the key's slot (the registry's lock is held only for that lookup).
// 2. Take the slot's lock: calls of one key take turns, so two actions never interleave on one
//    page; calls of other keys run alongside. Waiting for the turn already counts as part of
//    the call: the user's stop ends it.
// 3. A browser whose process ended, whose connection closed or whose page crashed is put away.
// 4. No browser: launch one, bounded by 45 seconds. The slot holds it from the moment it is
//    started, so that closing everything also ends a browser that is still starting.
// 5. The deadline: `timeout` seconds plus `wait_ms`, from now.
// 6. Tell the page which local files it may load (the call's folders, and an outside file it
//    opens with the user's leave; instance.h), set the viewport, run the action, compose the
//    result. When the deadline passes first the browser is closed, since the page is in an
//    unknown state; the next call starts afresh.
// 7. Note the time the slot was last used, and release the slot.
// The user's stop ends the call at whatever step it is in with "[stopped by the user]", and
// leaves the browser in place.
//
// The reaper looks at the slots every 60 seconds and closes a browser unused for more than 599
// seconds, but only when its lock can be taken without waiting: a running call is never
// disturbed, its slot is looked at again on the next pass.
#pragma once

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <qcorotask.h>

#include "browser/args.h"
#include "browser/instance.h"
#include "browser/launch.h"
#include "browser/waiting.h"
#include "tools/call_info.h"

class QTimer;

namespace kavor::browser {

inline constexpr std::chrono::milliseconds kLaunchLimit{45'000};
inline constexpr std::chrono::milliseconds kReaperInterval{60'000};
inline constexpr std::chrono::seconds kIdleLimit{599};
inline constexpr const char* kStoppedByUser = "[stopped by the user]";

class BrowserRegistry {
 public:
  explicit BrowserRegistry(Environment env = process_environment());
  ~BrowserRegistry();  // closes every browser
  BrowserRegistry(const BrowserRegistry&) = delete;
  BrowserRegistry& operator=(const BrowserRegistry&) = delete;

  // One call of `chat` (steps 1-7 above, or `close`).
  QCoro::Task<tools::ToolResult> run(BrowserArgs args, std::string chat, tools::StopFlag stop);

  // One pass of the reaper, as of `now`; returns how many browsers it closed.
  std::size_t reap_idle(Clock::time_point now);

  // Closes every browser and waits (bounded) until their profile folders are removed.
  void close_all();

  // For tests: the browser of a key, or null.
  BrowserInstance* browser_of(const std::string& chat, const std::string& session);

 private:
  struct Slot {
    AsyncMutex lock;
    std::unique_ptr<BrowserInstance> browser;
    Clock::time_point last_used = Clock::now();  // guarded by `used_mutex`
    std::mutex used_mutex;
  };

  std::shared_ptr<Slot> slot_for(const std::string& key, bool create);
  tools::ToolResult close(const std::string& key);
  void start_reaper();

  Environment env_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Slot>> slots_;
  std::unique_ptr<QTimer> reaper_;
  std::vector<std::shared_future<bool>> removals_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The key of a call: the chat, or "{chat}#{session}".
std::string browser_key(const std::string& chat, const std::string& session);

}  // namespace kavor::browser
