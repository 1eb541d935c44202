// The main window: the chat web application (or the program's own loader and error pages) in
// a webview, locked down by the injected page script and the navigation rules.
#pragma once

#include <QWebEnginePage>
#include <QWebEngineView>

#include <functional>

#include "common/endpoints.h"
#include "common/json.h"

namespace kavor {
class CommandTable;
class Watchdog;
}  // namespace kavor

namespace kavor::shell {

class PageBridge;

inline constexpr int kMainWidth = 1180;
inline constexpr int kMainHeight = 800;
inline constexpr int kMainMinWidth = 720;
inline constexpr int kMainMinHeight = 520;

// Opens a URL with the system's browser or mail program. Replaceable so that tests can see
// what would have been opened.
using Opener = std::function<void(const QUrl&)>;
void open_with_system(const QUrl& url);

class MainPage : public QWebEnginePage {
  Q_OBJECT
 public:
  MainPage(QWebEngineProfile* profile, Endpoints endpoints, Opener opener, QObject* parent);

  // Loads the error page with the reason "server": the application's server is not ours.
  void show_server_error();

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool main_frame) override;

 private:
  Endpoints endpoints_;
  Opener opener_;
};

class MainWindow : public QWebEngineView {
  Q_OBJECT
 public:
  MainWindow(QWebEngineProfile* profile, Endpoints endpoints, Watchdog& watchdog,
             const CommandTable& commands, Opener opener = open_with_system);

  // Delivers an agent event to the listeners of the page (when it is the chat application).
  void emit_event(const QString& name, const Json& payload);

  // Shown, restored if minimised, raised and focused.
  void bring_forward();

  // The page's URL; while the first document is still loading (the page has no URL yet),
  // the URL it is loading.
  QUrl current_url() const;

 signals:
  // A load of the chat web application started; `load` is the watchdog's counter for it.
  void application_load_started(quint64 load);

 private:
  Endpoints endpoints_;
  Watchdog& watchdog_;
  const CommandTable& commands_;
  PageBridge* bridge_ = nullptr;  // owned by the page
};

// The lock script as injected into every frame.
QString lock_script_source();

}  // namespace kavor::shell
