// The window's side of "who serves the chat application". When the application's address is
// plain http on loopback, any user of this computer could be listening there (app/page_access.h):
//
//   1. Navigation: the main window does not load a page of the application's origin while
//      another user listens on its port; it shows the error page (reason "server") instead.
//   2. Commands: before each command the page asks for, the listener is checked again (it may
//      have changed hands since the page loaded); while it is not ours, nothing runs and the
//      window goes to the error page.
//   3. Requests: every request of the web profile to the application's origin passes the
//      SessionInterceptor. A foreign listener gets none of them (they are blocked), so neither
//      the page's messages nor the secret reach it. The application's own requests, made by its
//      own documents, carry the session secret of the local service (platform/session_file.h);
//      requests another origin's page makes of the application's origin do not.
//
// Each refusal is explained by one sentence on standard error, the program's log; a sentence is
// not repeated until something else has been said or the problem went away. An https origin
// keeps the certificate's word and none of this runs.
#pragma once

#include <QUrl>
#include <QWebEngineUrlRequestInterceptor>

namespace kavor::shell {

enum class WhenNobodyListens { Allow, Refuse };

// True when the application at `app_url` may be shown or obeyed now; otherwise the reason has
// been written to the log. A navigation may go ahead while nobody listens (it fails on its own,
// and the watchdog takes over); a command of a page whose server is gone may not.
bool application_server_trusted(const QUrl& app_url, WhenNobodyListens nobody);

class SessionInterceptor : public QWebEngineUrlRequestInterceptor {
 public:
  explicit SessionInterceptor(QUrl app_url, QObject* parent = nullptr);
  void interceptRequest(QWebEngineUrlRequestInfo& info) override;

 private:
  QUrl app_url_;
};

}  // namespace kavor::shell
