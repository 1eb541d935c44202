#include "app/navigation.h"

namespace kavor::app {

bool opens_externally(const QUrl& url) {
  const QString scheme = url.scheme().toLower();
  return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
                           scheme == QLatin1String("mailto"));
}

Navigation decide_navigation(const QUrl& url, const common::Endpoints& endpoints) {
  const QString scheme = url.scheme().toLower();
  const QUrl assets = endpoints.asset_url(QString());
  if (scheme == QLatin1String("about") || scheme == QLatin1String(common::kAssetScheme) ||
      common::same_origin(url, assets)) {
    return Navigation::Allow;
  }
  if (common::same_origin(url, endpoints.app_url())) return Navigation::Allow;
  return opens_externally(url) ? Navigation::OpenExternal : Navigation::Drop;
}

}  // namespace kavor::app
