#include "desktop/watchdog.h"

#include <qcorotimer.h>

#include "common/host.h"
#include "common/http.h"
#include "common/timing.h"

namespace kavor::desktop {

void Watchdog::alive() {
  touch();
}

void Watchdog::page_loaded() {
  touch();
  loaded_.store(true);
  alive_flag_.store(true);
}

std::optional<std::uint64_t> Watchdog::load_started(bool application_origin) {
  loaded_.store(false);
  if (!application_origin) return std::nullopt;
  return load_counter_.fetch_add(1) + 1;
}

Watchdog::Clock::time_point Watchdog::last_alive() const {
  std::lock_guard lock(mutex_);
  return last_alive_;
}

void Watchdog::touch() {
  std::lock_guard lock(mutex_);
  last_alive_ = Clock::now();
}

std::optional<Watchdog::Clock::time_point> Watchdog::last_crash_reload() const {
  std::lock_guard lock(mutex_);
  return last_crash_reload_;
}

void Watchdog::set_last_crash_reload(Clock::time_point when) {
  std::lock_guard lock(mutex_);
  last_crash_reload_ = when;
}

WatchdogLimits Watchdog::limits() const {
  std::lock_guard lock(mutex_);
  return limits_;
}

void Watchdog::set_limits(const WatchdogLimits& limits) {
  std::lock_guard lock(mutex_);
  limits_ = limits;
}

}  // namespace kavor::desktop

namespace kavor::desktop {

namespace {

// A note for every coroutine here: g++ 12 mishandles non-trivial temporaries inside co_await
// expressions, so awaited values are built as named locals first.

// Asks the page to run a trivial script; true when it did within the limit.
QCoro::Task<bool> page_answers(common::Host& host, std::chrono::milliseconds limit,
                               std::stop_token stop) {
  const auto answered = std::make_shared<std::atomic<bool>>(false);
  if (!host.run_page_script(QStringLiteral("1"), [answered] { answered->store(true); })) {
    co_return false;
  }
  const auto started = std::chrono::steady_clock::now();
  while (!answered->load() &&
         std::chrono::steady_clock::now() - started < common::timing::io_limit(limit)) {
    const auto pause = common::timing::scaled(kLivenessCheckEvery);
    co_await QCoro::sleepFor(pause);
    if (stop.stop_requested()) co_return false;
  }
  co_return answered->load();
}

}  // namespace

QString recovery_name(Recovery reason) {
  switch (reason) {
    case Recovery::Offline:
      return QStringLiteral("offline");
    case Recovery::Server:
      return QStringLiteral("server");
    case Recovery::Crash:
      break;
  }
  return QStringLiteral("crash");
}

QUrl recovery_page(const common::Endpoints& endpoints, Recovery reason) {
  return endpoints.asset_url(QStringLiteral("error.html#") + recovery_name(reason));
}

QCoro::Task<Recovery> probe_reason(common::Endpoints endpoints, std::chrono::milliseconds timeout) {
  common::HttpClient client(timeout);
  const QNetworkRequest request = client.request(endpoints.app_url().toString(QUrl::FullyEncoded));
  const QByteArray method("GET");
  const common::HttpResponse answer = co_await client.send(method, request);
  if (!answer.answered()) co_return Recovery::Offline;
  co_return answer.status >= 500 ? Recovery::Server : Recovery::Crash;
}

QCoro::Task<> run_watchdog(Watchdog& watchdog, std::shared_ptr<common::Host> host,
                           common::Endpoints endpoints, std::stop_token stop) {
  while (!stop.stop_requested()) {
    const auto tick = common::timing::scaled(kWatchdogTick);
    co_await QCoro::sleepFor(tick);
    if (stop.stop_requested()) co_return;

    // 1. Loading is the load check's business.
    if (!watchdog.loaded()) continue;

    // 2. A page the user does not see cannot be judged.
    const std::optional<common::Host::WindowState> window = host->main_window_state();
    if (!window || !window->in_front()) {
      watchdog.touch();
      continue;
    }

    // 3. Recently alive.
    if (Watchdog::Clock::now() - watchdog.last_alive() <
        common::timing::scaled(kSilenceBeforeProbe)) {
      continue;
    }

    // 4. Liveness probe.
    const std::uint64_t load = watchdog.load_counter();
    watchdog.set_alive_flag(false);
    watchdog.count_liveness_probe();
    const WatchdogLimits limits = watchdog.limits();
    QCoro::Task<bool> asking = page_answers(*host, limits.liveness, stop);
    const bool answered = co_await asking;
    if (stop.stop_requested()) co_return;
    if (answered) {
      watchdog.touch();
      watchdog.set_alive_flag(true);
      continue;
    }
    // A load started meanwhile replaced the page that did not answer: judge the new one.
    if (watchdog.load_counter() != load) continue;

    // 5. Recovery.
    QCoro::Task<Recovery> probing = probe_reason(endpoints, limits.reason_probe);
    const Recovery reason = co_await probing;
    if (stop.stop_requested()) co_return;
    if (reason != Recovery::Crash) {
      host->navigate_main_window(recovery_page(endpoints, reason));
      continue;
    }
    const auto now = Watchdog::Clock::now();
    const std::optional<Watchdog::Clock::time_point> last = watchdog.last_crash_reload();
    if (!last || now - *last >= common::timing::scaled(kCrashReloadEvery)) {
      watchdog.set_last_crash_reload(now);
      host->replace_hung_page(endpoints.app_url());
      // The fresh load starts only once the hung page's process has ended; until then the
      // page still counts as loaded, and must not be asked again and taken for a second hang.
      watchdog.touch();
    } else {
      host->navigate_main_window(recovery_page(endpoints, Recovery::Crash));
    }
  }
}

QCoro::Task<> run_load_check(Watchdog& watchdog, std::shared_ptr<common::Host> host,
                             common::Endpoints endpoints, std::uint64_t load,
                             std::stop_token stop) {
  const WatchdogLimits limits = watchdog.limits();
  const auto wait = common::timing::io_limit(limits.load_check_after);
  co_await QCoro::sleepFor(wait);
  const auto still_loading = [&] {
    return !stop.stop_requested() && !watchdog.loaded() && watchdog.load_counter() == load;
  };
  if (!still_loading()) co_return;
  QCoro::Task<Recovery> probing = probe_reason(endpoints, limits.reason_probe);
  const Recovery reason = co_await probing;
  // The load may have finished, or another begun, while the service was asked.
  if (!still_loading()) co_return;
  host->navigate_main_window(recovery_page(endpoints, reason));
}

}  // namespace kavor::desktop
