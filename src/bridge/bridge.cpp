#include "bridge/bridge.h"

#include <qcorofuture.h>
#include <qcorotimer.h>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

#include "bridge/status.h"
#include "common/host.h"
#include "common/http.h"
#include "common/timing.h"
#include "desktop/notifications.h"
#include "device/device_store.h"
#include "tools/dispatch.h"

namespace kavor::bridge {

// A note for every coroutine here: g++ 12 mishandles non-trivial temporaries inside co_await
// expressions, so awaited values are built as named locals first.

Bridge::Bridge(common::Endpoints endpoints, device::DeviceStore& device, Status& status,
               common::Host& host, desktop::Notifications& notifications, CallRunner runner)
    : endpoints_(std::move(endpoints)),
      device_(device),
      status_(status),
      host_(host),
      notifications_(notifications),
      runner_(std::move(runner)),
      client_(common::http_client()) {}

Bridge::~Bridge() {
  *alive_ = false;
}

void Bridge::set_connected(bool online) {
  if (status_.online.exchange(online) == online) return;
  host_.emit_event(QStringLiteral("agent://connection"), common::Json(online));
  const std::uint64_t changes = status_.changes.fetch_add(1) + 1;
  if (online) {
    if (status_.offline_notified.exchange(false)) {
      notifications_.notify(desktop::NotifyRequest{desktop::NotifyKind::Online, {}, {}, {}});
    }
  } else {
    check_offline_later(changes);
  }
}

void Bridge::check_offline_later(std::uint64_t changes) {
  QTimer::singleShot(common::timing::scaled(kOfflineNoticeDelay), &timers_, [this, changes] {
    if (stop_.stop_requested()) return;
    // Run from the event loop, which nothing here may escape.
    try {
      notice_offline(changes);
    } catch (const std::exception& e) {
      qWarning("kavor-agent: the offline check failed: %s", e.what());
    }
  });
}

void Bridge::notice_offline(std::uint64_t changes) {
  // A change in between (back online, or down again with a check of its own) makes this
  // check stale; an unlinked computer is not "offline".
  if (!status_.online.load() && status_.changes.load() == changes && device_.linked()) {
    status_.offline_notified.store(true);
    notifications_.notify(desktop::NotifyRequest{desktop::NotifyKind::Offline, {}, {}, {}});
  }
}

QCoro::Task<> Bridge::run(std::stop_token stop) {
  // Nobody awaits this task, so nothing may escape it: an unexpected failure is logged and the
  // loop starts over after a pause.
  const std::shared_ptr<bool> alive = alive_;
  while (!stop.stop_requested() && *alive) {
    try {
      QCoro::Task<> polling = poll_loop(stop);
      co_await polling;
      co_return;
    } catch (const std::exception& e) {
      qWarning("kavor-agent: the poll loop failed: %s", e.what());
    }
    const auto wait = common::timing::scaled(kPollBackoffMax);
    co_await QCoro::sleepFor(wait);
  }
}

QCoro::Task<> Bridge::poll_loop(std::stop_token stop) {
  stop_ = stop;
  // The loop may be suspended on a held poll when the bridge goes away: it keeps the client and
  // the alive flag itself and touches the bridge only while the flag is up.
  const std::shared_ptr<bool> alive = alive_;
  const std::shared_ptr<common::HttpClient> client = client_;
  std::chrono::seconds backoff{1};
  const QString poll_url = endpoints_.api_base() + QStringLiteral("/bridge/poll");
  const QByteArray get("GET");

  // The registration is read off the event loop at start; the loop does not wait on it.
  QFuture<void> loading = device_.loaded();
  co_await loading;
  if (stop.stop_requested() || !*alive) co_return;

  bool was_unlinked = false;
  while (!stop.stop_requested() && *alive) {
    const std::optional<QString> secret = device_.secret();
    if (!secret) {
      set_connected(false);
      was_unlinked = true;
      const auto wait = common::timing::scaled(kUnlinkedWait);
      co_await QCoro::sleepFor(wait);
      continue;
    }
    if (was_unlinked) {
      // Time spent unlinked is not time offline: from the new link the delay starts over, and
      // the check that counted from the drop goes stale.
      was_unlinked = false;
      if (!status_.online.load()) check_offline_later(status_.changes.fetch_add(1) + 1);
    }

    QNetworkRequest request = client->request(poll_url);
    common::set_bearer(request, *secret);
    // The service holds a poll open while it has nothing to send; one still open after a
    // moment shows the link works.
    QTimer held;
    held.setSingleShot(true);
    QObject::connect(&held, &QTimer::timeout, [this, alive] {
      if (*alive) set_connected(true);
    });
    held.start(common::timing::io_limit(kHeldPollMeansOnline));
    const common::HttpResponse answer = co_await client->send(get, request);
    held.stop();
    if (stop.stop_requested() || !*alive) break;

    bool failed = false;
    if (!answer.answered()) {
      failed = true;
    } else if (answer.status == 401) {
      // The service rejected this poll's secret. The user may have linked again meanwhile: a
      // newer registration is not the one rejected and stays.
      device::DeviceStore& device = device_;
      const QString rejected = *secret;
      QFuture<bool> forgetting =
          QtConcurrent::run([&device, rejected] { return device.forget_if_secret(rejected); });
      const bool forgot = co_await forgetting;
      if (stop.stop_requested() || !*alive) break;
      if (forgot) {
        set_connected(false);
        notifications_.notify(desktop::NotifyRequest{desktop::NotifyKind::Unlinked, {}, {}, {}});
        host_.emit_event(QStringLiteral("agent://device"), common::Json(nullptr));
      }
    } else if (answer.status == 204) {
      set_connected(true);
      backoff = std::chrono::seconds(1);
    } else if (answer.status == 200) {
      set_connected(true);
      backoff = std::chrono::seconds(1);
      const auto body =
          common::parse_json(std::string_view(answer.body.constData(), answer.body.size()));
      if (body && body->is_object()) {
        const auto call_value = body->find("call");
        if (call_value != body->end()) {
          if (std::optional<tools::Call> call = tools::decode_call(*call_value)) {
            run_call(std::move(*call), *secret, stop);
          }
        }
      }
    } else {
      failed = true;
    }

    if (failed) {
      set_connected(false);
      const auto wait = common::timing::scaled(std::chrono::milliseconds(backoff));
      co_await QCoro::sleepFor(wait);
      backoff = std::min(backoff * 2, std::chrono::seconds(kPollBackoffMax));
    }
  }
}

QCoro::Task<> Bridge::run_call(tools::Call call, QString secret, std::stop_token stop) {
  const std::shared_ptr<bool> alive = alive_;
  const std::shared_ptr<common::HttpClient> client = client_;
  const common::Endpoints endpoints = endpoints_;
  const QString call_id = call.id;
  // Nobody awaits this task, so a failure that escapes the call still becomes its result
  // record: the assistant must not wait for an answer that never comes.
  common::Json record;
  try {
    QCoro::Task<common::Json> running = runner_(std::move(call), secret);
    record = co_await running;
  } catch (const std::exception& e) {
    record = tools::failure_record(call_id, QString::fromStdString(tools::crash_message(e)));
  }
  if (!*alive || stop.stop_requested() || record.is_null()) co_return;
  try {
    QCoro::Task<bool> posting = post_result(*client, endpoints, secret, record);
    co_await posting;
  } catch (const std::exception& e) {
    qWarning("kavor-agent: posting a result failed: %s", e.what());
  }
}

QCoro::Task<bool> Bridge::post_result(common::HttpClient& client, common::Endpoints endpoints,
                                      QString secret, common::Json record) {
  QNetworkRequest request = client.request(endpoints.api_base() + QStringLiteral("/bridge/result"));
  common::set_bearer(request, secret);
  request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
  // Texts from the system (a file name in an error message) may hold invalid UTF-8; they are
  // replaced rather than let the whole record fail to serialize.
  const QByteArray body = QByteArray::fromStdString(common::json_text(record));
  const QByteArray post("POST");

  std::chrono::seconds delay{1};
  std::chrono::seconds waited{0};
  for (;;) {
    const common::HttpResponse answer = co_await client.send(post, request, body);
    // 404: the service no longer knows the call; sending it again cannot help.
    if (answer.answered() && (answer.success() || answer.status == 404)) co_return true;
    if (waited >= kResultGiveUpAfter) co_return false;
    const auto wait = common::timing::scaled(std::chrono::milliseconds(delay));
    co_await QCoro::sleepFor(wait);
    waited += delay;
    delay = std::min(delay * 2, std::chrono::seconds(kResultBackoffMax));
  }
}

}  // namespace kavor::bridge
