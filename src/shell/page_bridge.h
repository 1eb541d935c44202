// The page interface of the main window. The chat web application is written against the
// desktop framework's published page interface: it calls commands through
// `window.__TAURI_INTERNALS__.invoke` and listens to the agent's events through the framework's
// event plug-in. The page script (resources/page_bridge.js) provides that interface on top of
// a Qt web channel whose one object is this bridge; the bridge runs the commands of the
// command table and delivers events.
//
// Only the chat web application gets the interface. Qt WebEngine gives the channel transport
// (`qt.webChannelTransport`) to main-frame documents only and accepts messages from the main
// frame alone, so frames inside the page cannot reach the bridge at all. In the main frame the
// script defines the interface only when the document's URL passes page_may_call, and every
// call is checked again here against the main frame's current URL and a secret that only the
// page script knows (a document of another origin in the main frame does see the transport).
// Before a call runs, the application's server is checked as shell/app_server.h says: a page
// served by another user's listener, or by none, gets no command.
#pragma once

#include <qcorotask.h>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include "app/command_table.h"
#include "common/json.h"

class QWebChannel;
class QWebEnginePage;

namespace kavor::shell {

class PageBridge : public QObject {
  Q_OBJECT
 public:
  // Installs the channel and the page script on `page` and becomes its child. `commands` must
  // outlive the page.
  PageBridge(QWebEnginePage* page, const app::CommandTable& commands, QUrl app_url);

  // Delivers an event to the page's listeners of `name`, when the main frame shows the
  // application; otherwise the event is dropped.
  void emit_event(const QString& name, const common::Json& payload);

  // Called by the page script: runs `command` with the JSON object `args` and answers through
  // answered() with the same document and id. Calls that do not carry the page secret, or that
  // arrive while the main frame shows anything but the application, are dropped unanswered.
  Q_INVOKABLE void call(const QString& secret, const QString& document, int id,
                        const QString& command, const QString& args);

 signals:
  // The outcome of one call: on success `value` is the result as JSON text, otherwise the error
  // text the page's promise is rejected with. `document` tells a page which answers are its own
  // (an answer may arrive after the page that asked was replaced).
  void answered(const QString& document, int id, bool ok, const QString& value);
  // An event for the page's listeners; `payload` is JSON text.
  void event_emitted(const QString& name, const QString& payload);
  // A call was refused because the application's server is not ours (or gone).
  void server_refused();

 private:
  bool shows_application() const;
  void answer(const QString& document, int id, const app::CommandResult& result);
  static QCoro::Task<> run(QPointer<PageBridge> self, const app::CommandTable& commands,
                           QString document, int id, std::string command, common::Json args);

  QWebEnginePage* page_;
  const app::CommandTable& commands_;
  QUrl app_url_;
  QString secret_;
  QWebChannel* channel_;
};

// The complete page script: the web channel client followed by the page interface, bound to
// `secret` and the application URL.
QString page_bridge_source(const QString& secret, const QUrl& app_url);

}  // namespace kavor::shell
