#include "app/page_access.h"

namespace kavor {

namespace {

bool is_web(const QUrl& url) {
  const QString scheme = url.scheme();
  return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

int effective_port(const QUrl& url) {
  return url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
}

// Path, query and fragment as one encoded text, with "." and ".." segments resolved so that
// "/app/../elsewhere" cannot pass for a page under "/app/".
QString tail(const QUrl& url) {
  QString text = url.toString(QUrl::RemoveScheme | QUrl::RemoveAuthority |
                              QUrl::NormalizePathSegments | QUrl::FullyEncoded);
  if (!text.startsWith(QLatin1Char('/'))) text.prepend(QLatin1Char('/'));
  return text;
}

}  // namespace

bool page_may_call(const QUrl& page_url, const QUrl& app_url) {
  if (!page_url.isValid() || !app_url.isValid()) return false;
  // QUrl lower-cases scheme and host while parsing, so plain comparisons are exact here.
  if (!is_web(page_url) || page_url.scheme() != app_url.scheme()) return false;
  if (page_url.host().isEmpty() || page_url.host() != app_url.host()) return false;
  if (effective_port(page_url) != effective_port(app_url)) return false;
  if (page_url.userInfo() != app_url.userInfo()) return false;
  return tail(page_url).startsWith(tail(app_url));
}

}  // namespace kavor
