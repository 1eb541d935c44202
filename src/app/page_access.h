// Which pages may use the agent's page interface: only the chat web application itself, and
// only when it is served by whom the address says.
#pragma once

#include <QString>
#include <QUrl>

namespace kavor::app {

// True when `page_url` is the application URL followed by anything: same http(s) scheme, host,
// port and user information as `app_url` (after URL parsing, default ports made explicit), and
// the page's path, query and fragment begin with the application URL's. Everything else is
// refused, including blob: and filesystem: URLs that wrap the application origin, about:blank,
// data:, file: and unparsable or empty URLs.
bool page_may_call(const QUrl& page_url, const QUrl& app_url);

// Who serves the application. Over https the certificate vouches for the server. On plain http
// to a loopback address nothing does: any user of the machine may bind the port before the
// service does and serve a page that calls every command. There the listening socket must
// belong to this process's user; the kernel's socket tables say whose it is.
enum class AppServer {
  Trusted,  // https, plain http off this machine, or a loopback listener of our own
  Absent,   // plain http on loopback and nothing listens
  Foreign,  // plain http on loopback and another user listens, or nobody can tell who does
};

struct AppServerCheck {
  AppServer state = AppServer::Foreign;
  QString problem;  // a sentence for the log when not Trusted
};

// True when `app_url` is plain http on a loopback address: the listener's owner must be checked,
// and the application's pages need the session secret of the local service.
bool app_needs_owner_check(const QUrl& app_url);

AppServerCheck check_app_server(const QUrl& app_url);

}  // namespace kavor::app
