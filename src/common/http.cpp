#include "common/http.h"

#include <qcoronetworkreply.h>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

#include "common/fatal.h"
#include "common/timing.h"

namespace kavor {

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

}  // namespace kavor
