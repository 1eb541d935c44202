#include "app/start_probe.h"

#include <qcorotimer.h>

#include "common/host.h"
#include "common/http.h"
#include "common/timing.h"
#include "platform/start_trace.h"

namespace kavor::app {

namespace {

QString reason_name(ProbeReason reason) {
  return reason == ProbeReason::Server ? QStringLiteral("server") : QStringLiteral("offline");
}

QCoro::Task<> probe(std::shared_ptr<common::Host> host, common::Endpoints endpoints,
                    std::stop_token stop) {
  common::HttpClient client(kProbeRequestTimeout);
  const QUrl app = endpoints.app_url();
  int failures = 0;
  QString last_shown;  // "loader" after the first failure, then the reason on the error page

  while (!stop.stop_requested()) {
    const QNetworkRequest request = client.request(app.toString(QUrl::FullyEncoded));
    const QByteArray method("GET");
    const common::HttpResponse answer = co_await client.send(method, request);
    platform::start_milestone("application server probed");
    if (stop.stop_requested()) break;
    // Another user's listener on a loopback address is no server of the application's.
    const ProbeReason reason = answer.foreign_listener ? ProbeReason::Server
                               : !answer.answered()    ? ProbeReason::Offline
                               : answer.status >= 500  ? ProbeReason::Server
                                                       : ProbeReason::Ok;

    if (const std::optional<QUrl> current = host->main_window_url()) {
      if (reason == ProbeReason::Ok) {
        host->navigate_main_window(app);
        co_return;
      }
      ++failures;
      const QString name = reason_name(reason);
      if (failures == 1) {
        QUrl loader = *current;
        loader.setFragment(name);
        host->navigate_main_window(loader);
        last_shown = QStringLiteral("loader");
      } else if (name != last_shown) {
        host->navigate_main_window(endpoints.asset_url(QStringLiteral("error.html#") + name));
        last_shown = name;
      }
    }
    const auto pause = common::timing::scaled(kProbeInterval);
    co_await QCoro::sleepFor(pause);
  }
}

}  // namespace

QCoro::Task<> run_start_probe(std::shared_ptr<common::Host> host, common::Endpoints endpoints,
                              std::stop_token stop) {
  // Nobody awaits this task: nothing may escape it; the failure is logged.
  try {
    QCoro::Task<> probing = probe(std::move(host), std::move(endpoints), stop);
    co_await probing;
  } catch (const std::exception& e) {
    qWarning("kavor-agent: the start-page probe failed: %s", e.what());
  }
}

}  // namespace kavor::app
