#include "app/page_access.h"

#include "platform/loopback_listener.h"

namespace kavor::app {

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

bool app_needs_owner_check(const QUrl& app_url) {
  return app_url.isValid() && app_url.scheme() == QLatin1String("http") &&
         !platform::loopback_targets(app_url.host().toStdString()).empty();
}

AppServerCheck check_app_server(const QUrl& app_url) {
  if (!app_needs_owner_check(app_url)) return {AppServer::Trusted, {}};
  const int port = effective_port(app_url);
  const QString where = QStringLiteral("%1:%2").arg(app_url.host(QUrl::FullyEncoded)).arg(port);
  const auto verdict =
      platform::loopback_port_owner(app_url.host().toStdString(), static_cast<unsigned>(port));
  switch (verdict.owner) {
    case platform::PortOwner::Ours:
      return {AppServer::Trusted, {}};
    case platform::PortOwner::Nobody:
      return {AppServer::Absent,
              QStringLiteral("Nothing listens on %1, the chat application's address.").arg(where)};
    case platform::PortOwner::Foreign:
      return {AppServer::Foreign,
              QStringLiteral("Another user of this computer (uid %1) listens on %2, the chat "
                             "application's address; Kavor Agent does not open its pages.")
                  .arg(verdict.foreign_uid)
                  .arg(where)};
    case platform::PortOwner::Unproven:
      return {AppServer::Foreign,
              QStringLiteral("No program of yours outside the workspace fence holds the listener "
                             "on %1, the chat application's address (a fenced command may have "
                             "left it); Kavor Agent does not open its pages.")
                  .arg(where)};
    case platform::PortOwner::Unknown:
      break;
  }
  return {AppServer::Foreign,
          QStringLiteral("Kavor Agent cannot tell who listens on %1, the chat application's "
                         "address, so it does not open its pages.")
              .arg(where)};
}

}  // namespace kavor::app
