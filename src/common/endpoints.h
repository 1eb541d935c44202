// Where the service lives. The three addresses are fixed when the program is built; core
// components receive an `Endpoints` value so that tests can point them at their own server.
#pragma once

#include <QString>
#include <QUrl>

namespace kavor::common {

// The private scheme under which the webview serves the program's own pages. Qt's webview
// cannot answer plain http for a host of our choosing, so the local origin uses this scheme.
inline constexpr const char* kAssetScheme = "kavor";

class Endpoints {
 public:
  // The addresses the program was built with.
  static Endpoints built_in();

  // Addresses for a test server, e.g. app "http://127.0.0.1:1234/" and api "http://127.0.0.1:1234".
  Endpoints(QString app_url, QString api_base, QString asset_base = default_asset_base());

  // The chat web application's URL. Stops the program when neither the configured value nor a
  // second parse of it yields a URL.
  QUrl app_url() const;
  // The API base with every trailing "/" removed, so callers append "/bridge/poll".
  QString api_base() const;
  // A relative reference ("error.html#server") resolved against the local pages' origin;
  // the origin itself when the reference cannot be resolved.
  QUrl asset_url(const QString& relative) const;

  static QString default_asset_base();

 private:
  QString app_url_;
  QString api_base_;
  QString asset_base_;
};

// True when both URLs have the same scheme, host and port (default ports made explicit).
bool same_origin(const QUrl& a, const QUrl& b);

}  // namespace kavor::common
