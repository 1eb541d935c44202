// The webview watchdog: the main window must never stay blank or frozen.
//
// Two things go wrong with a remote page. It may never finish loading: every started load of
// the application gets a check 20 seconds later, and if that same load is still unfinished the
// window shows the error page of the reason a probe of the service gives. Or it may stop
// answering: every 3 seconds, a loaded page that is in front and has shown no sign of life
// (heartbeat, finished load) for 45 seconds is asked to run a trivial script. A page that does
// not within 15 seconds is recovered: the error page when the service is down or failing, else
// (the page itself hung) a fresh load of the application, at most once in 2 minutes, and the
// error page "crash" for a second hang within that time. The fresh load first ends the hung
// page's process: the engine will not replace a page whose process is stuck in a script.
//
// A page that is not in front (hidden, minimised, another window focused) is not judged: the
// webview throttles background pages, so their silence means nothing. It counts as alive.
//
// The ticks, the silence and the two minutes are the watchdog's own and run faster under a
// test clock; the limits on the page and the service (WatchdogLimits) wait on something real
// and never do (common/timing.h).
#pragma once

#include <qcorotask.h>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

#include "common/endpoints.h"

namespace kavor::common {
class Host;
}

namespace kavor::desktop {

inline constexpr std::chrono::milliseconds kWatchdogTick{3'000};
// A page in front and silent for this long is asked whether it still runs.
inline constexpr std::chrono::seconds kSilenceBeforeProbe{45};
// A running page completes a trivial script at once; one that has not after this is hung.
inline constexpr std::chrono::milliseconds kLivenessLimit{15'000};
inline constexpr std::chrono::milliseconds kLivenessCheckEvery{200};
// A load of the application still unfinished after this long will not finish.
inline constexpr std::chrono::milliseconds kLoadCheckAfter{20'000};
inline constexpr std::chrono::milliseconds kReasonProbeTimeout{6'000};
// A hung page is reloaded at most once in this long; the next hang shows the error page, so a
// page that keeps hanging does not reload for ever.
inline constexpr std::chrono::seconds kCrashReloadEvery{120};

// How long the watchdog waits for the real page and service. A test that must see one of them
// run out sets shorter ones before the watchdog starts.
struct WatchdogLimits {
  std::chrono::milliseconds liveness = kLivenessLimit;
  std::chrono::milliseconds load_check_after = kLoadCheckAfter;
  std::chrono::milliseconds reason_probe = kReasonProbeTimeout;
};

// Why the window cannot show the application: the reason fragment of the error page.
enum class Recovery { Crash, Server, Offline };
QString recovery_name(Recovery reason);
// The local error page that explains `reason`.
QUrl recovery_page(const common::Endpoints& endpoints, Recovery reason);

// GET of the application URL with its own short time-out: no answer is "offline", a status
// of 500 or more "server", anything else "crash" (the service is fine, so the page failed).
QCoro::Task<Recovery> probe_reason(common::Endpoints endpoints,
                                   std::chrono::milliseconds timeout = kReasonProbeTimeout);

class Watchdog {
 public:
  using Clock = std::chrono::steady_clock;

  // The page's heartbeat.
  void alive();
  // An application page finished loading.
  void page_loaded();
  // A page started loading; returns the new load counter for an application page (the value a
  // load check compares against), nothing for other pages.
  std::optional<std::uint64_t> load_started(bool application_origin);

  Clock::time_point last_alive() const;
  void touch();  // last sign of life := now
  bool loaded() const { return loaded_.load(); }
  std::uint64_t load_counter() const { return load_counter_.load(); }
  bool alive_flag() const { return alive_flag_.load(); }
  void set_alive_flag(bool value) { alive_flag_.store(value); }

  std::optional<Clock::time_point> last_crash_reload() const;
  void set_last_crash_reload(Clock::time_point when);

  WatchdogLimits limits() const;
  void set_limits(const WatchdogLimits& limits);

  // How many liveness probes were started.
  std::uint64_t liveness_probes() const { return liveness_probes_.load(); }
  void count_liveness_probe() { liveness_probes_.fetch_add(1); }

 private:
  mutable std::mutex mutex_;
  Clock::time_point last_alive_ = Clock::now();
  std::optional<Clock::time_point> last_crash_reload_;
  WatchdogLimits limits_;
  std::atomic<bool> loaded_{false};
  std::atomic<std::uint64_t> load_counter_{0};
  std::atomic<bool> alive_flag_{false};
  std::atomic<std::uint64_t> liveness_probes_{0};
};

// The 3-second task; runs until `stop` is requested. Touches `watchdog` only while not stopped.
QCoro::Task<> run_watchdog(Watchdog& watchdog, std::shared_ptr<common::Host> host,
                           common::Endpoints endpoints, std::stop_token stop);

// The check of one started load (`load` is the counter value load_started returned).
QCoro::Task<> run_load_check(Watchdog& watchdog, std::shared_ptr<common::Host> host,
                             common::Endpoints endpoints, std::uint64_t load, std::stop_token stop);

}  // namespace kavor::desktop
