#include "common/endpoints.h"

#include "common/build_config.h"
#include "platform/fatal.h"

namespace kavor::common {

Endpoints Endpoints::built_in() {
  return Endpoints(QString::fromUtf8(build::kAppUrl), QString::fromUtf8(build::kApiBase));
}

Endpoints::Endpoints(QString app_url, QString api_base, QString asset_base)
    : app_url_(std::move(app_url)),
      api_base_(std::move(api_base)),
      asset_base_(std::move(asset_base)) {}

QString Endpoints::default_asset_base() {
  return QStringLiteral("kavor://localhost/");
}

QUrl Endpoints::app_url() const {
  QUrl url(app_url_, QUrl::StrictMode);
  if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) {
    url = QUrl(app_url_, QUrl::TolerantMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) fatal("valid app url");
  }
  return url;
}

QString Endpoints::api_base() const {
  QString base = api_base_;
  while (base.endsWith(QLatin1Char('/'))) base.chop(1);
  return base;
}

QUrl Endpoints::asset_url(const QString& relative) const {
  const QUrl base(asset_base_, QUrl::StrictMode);
  if (!base.isValid() || base.scheme().isEmpty()) fatal("valid asset base url");
  const QUrl ref(relative, QUrl::StrictMode);
  if (!ref.isValid()) return base;
  const QUrl resolved = base.resolved(ref);
  return resolved.isValid() ? resolved : base;
}

bool same_origin(const QUrl& a, const QUrl& b) {
  if (!a.isValid() || !b.isValid()) return false;
  auto default_port = [](const QUrl& u) {
    const QString s = u.scheme().toLower();
    if (s == QLatin1String("http") || s == QLatin1String("ws")) return 80;
    if (s == QLatin1String("https") || s == QLatin1String("wss")) return 443;
    return -1;
  };
  return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 && !a.host().isEmpty() &&
         a.host().compare(b.host(), Qt::CaseInsensitive) == 0 &&
         a.port(default_port(a)) == b.port(default_port(b));
}

}  // namespace kavor::common
