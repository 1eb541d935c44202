// The shared HTTP conventions: one user agent, a total time-out per request, and the bearer
// rule. Statuses and transport failures are returned as data; each caller gives them meaning.
#pragma once

#include <qcorotask.h>
#include <QByteArray>
#include <QNetworkRequest>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace kavor::common {

inline constexpr const char* kUserAgent = "kavor-agent/0.7.3";
// The whole request, from sending to the last byte of the answer.
inline constexpr std::chrono::milliseconds kRequestTimeout{40'000};

struct HttpResponse {
  // Empty when an HTTP answer arrived; otherwise the transport failure's text
  // (refused, reset, time-out, TLS, name resolution).
  std::optional<QString> transport_error;
  int status = 0;
  QByteArray body;
  // With a transport failure: the loopback port belongs to another user, or nobody can tell
  // whose it is, so nothing was asked of it or its answer was not taken.
  bool foreign_listener = false;

  bool answered() const { return !transport_error.has_value(); }
  bool success() const { return answered() && status >= 200 && status < 300; }
};

class HttpClient {
 public:
  explicit HttpClient(std::chrono::milliseconds timeout = kRequestTimeout);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // A request for `url` carrying the user agent.
  QNetworkRequest request(const QString& url) const;

  // Sends and collects the whole answer. Redirects, proxies and TLS roots are Qt's defaults. A
  // plain-http loopback address is asked only while its listener is this user's, and its answer
  // is taken only when it still is; otherwise the answer is a transport failure that says so.
  // Must be awaited on the thread that created the client.
  QCoro::Task<HttpResponse> send(QByteArray method, QNetworkRequest request, QByteArray body = {});

 private:
  std::unique_ptr<QNetworkAccessManager> manager_;
  std::chrono::milliseconds timeout_;
};

// A fresh client with the shared settings; stops the program if none can be built.
std::unique_ptr<HttpClient> http_client();

// Adds "Authorization: Bearer <secret>", the secret unchanged.
void set_bearer(QNetworkRequest& request, const QString& secret);

}  // namespace kavor::common
