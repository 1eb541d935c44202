#include "common/http.h"

#include <qcoronetworkreply.h>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include "common/timing.h"
#include "platform/fatal.h"
#include "platform/loopback_listener.h"

namespace kavor::common {

namespace {

enum class When { Before, After };  // the request is sent, or its answer has come

struct Refusal {
  QString text;
  bool foreign = true;  // not ours, rather than gone
};

// Any user of this computer may listen on a loopback port while the service is not there, and
// would then be handed the device secret and the results, and answer polls with calls to run.
// A plain-http loopback address is only asked while its listener is this user's: where nobody
// listens the connection would be refused anyway, and a listener of another user could slip in
// between the look and the connection. After the answer the port must still be ours, which a
// listener of another user, open or closed again by then, never makes it: only a listener that
// took our service's place in the moment between the look and the connection is not caught.
std::optional<Refusal> listener_refusal(const QUrl& url, When when) {
  if (url.scheme() != QLatin1String("http")) return std::nullopt;
  const std::string host = url.host().toStdString();
  if (platform::loopback_targets(host).empty()) return std::nullopt;
  const int port = url.port(80);
  const auto verdict = platform::loopback_port_owner(host, static_cast<unsigned>(port));
  const QString where = QStringLiteral("%1:%2").arg(url.host(QUrl::FullyEncoded)).arg(port);
  const QString outcome = when == When::Before ? QStringLiteral("nothing was sent there")
                                               : QStringLiteral("its answer was not taken");
  switch (verdict.owner) {
    case platform::PortOwner::Ours:
      return std::nullopt;
    case platform::PortOwner::Nobody:
      return Refusal{QStringLiteral("nothing listens on %1; %2").arg(where, outcome), false};
    case platform::PortOwner::Foreign:
      return Refusal{QStringLiteral("another user of this computer (uid %1) listens on %2; %3")
                         .arg(verdict.foreign_uid)
                         .arg(where, outcome)};
    case platform::PortOwner::Unproven:
      return Refusal{QStringLiteral("no program of yours outside the workspace fence holds the "
                                    "listener on %1 (a fenced command may have left it); %2")
                         .arg(where, outcome)};
    case platform::PortOwner::Unknown:
      break;
  }
  return Refusal{QStringLiteral("who listens on %1 cannot be told; %2").arg(where, outcome)};
}

}  // namespace

HttpClient::HttpClient(std::chrono::milliseconds timeout)
    : manager_(std::make_unique<QNetworkAccessManager>()), timeout_(timeout) {}

HttpClient::~HttpClient() = default;

QNetworkRequest HttpClient::request(const QString& url) const {
  QNetworkRequest req{QUrl(url)};
  req.setHeader(QNetworkRequest::UserAgentHeader, QString::fromLatin1(kUserAgent));
  return req;
}

QCoro::Task<HttpResponse> HttpClient::send(QByteArray method, QNetworkRequest request,
                                           QByteArray body) {
  if (auto refusal = listener_refusal(request.url(), When::Before)) {
    HttpResponse out;
    out.transport_error = std::move(refusal->text);
    out.foreign_listener = refusal->foreign;
    co_return out;
  }
  // Qt's own transfer time-out restarts on every received byte; the request's time-out here
  // bounds the whole exchange, so a timer aborts the reply instead.
  QNetworkReply* reply = manager_->sendCustomRequest(request, method, body);
  bool timed_out = false;
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, reply, [reply, &timed_out] {
    timed_out = true;
    reply->abort();
  });
  timer.start(timing::io_limit(timeout_));

  co_await qCoro(reply).waitForFinished();
  timer.stop();

  HttpResponse out;
  const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  if (timed_out) {
    out.transport_error = QStringLiteral("operation timed out");
  } else if (!status.isValid()) {
    out.transport_error = reply->errorString();
  } else {
    out.status = status.toInt();
    out.body = reply->readAll();
    if (auto refusal = listener_refusal(request.url(), When::After)) {
      out = HttpResponse{};
      out.transport_error = std::move(refusal->text);
      out.foreign_listener = refusal->foreign;
    }
  }
  reply->deleteLater();
  co_return out;
}

std::unique_ptr<HttpClient> http_client() {
  auto client = std::make_unique<HttpClient>();
  if (!client) fatal("http client");
  return client;
}

void set_bearer(QNetworkRequest& request, const QString& secret) {
  request.setRawHeader("Authorization", "Bearer " + secret.toUtf8());
}

}  // namespace kavor::common
