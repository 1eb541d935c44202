// The main window: the chat web application (or the program's own loader and error pages) in
// a webview, locked down by the injected page script and the navigation rules.
#pragma once

#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>

class QWebEngineLoadingInfo;

#include <chrono>
#include <functional>
#include <optional>

#include "common/endpoints.h"
#include "common/json.h"

namespace kavor {
namespace app {
class CommandTable;
}
namespace desktop {
class Watchdog;
}
}  // namespace kavor

namespace kavor::shell {

class PageBridge;

inline constexpr int kMainWidth = 1180;
inline constexpr int kMainHeight = 800;
inline constexpr int kMainMinWidth = 720;
inline constexpr int kMainMinHeight = 520;

// After the page's process was ended on purpose, the engine reports the end within moments;
// if it has not after this long, the replacement page is loaded all the same. A wait on a real
// process, so no test clock shortens it.
inline constexpr std::chrono::milliseconds kProcessEndReportLimit{5'000};

// Opens a URL with the system's browser or mail program. Replaceable so that tests can see
// what would have been opened.
using Opener = std::function<void(const QUrl&)>;
void open_with_system(const QUrl& url);

class MainPage : public QWebEnginePage {
  Q_OBJECT
 public:
  MainPage(QWebEngineProfile* profile, common::Endpoints endpoints, Opener opener, QObject* parent);

  // Loads the error page with the reason "server": the application's server is not ours.
  void show_server_error();

 signals:
  // A navigation of the page was let through while another load was still going on. The
  // engine reports no start for such a load (only its end), so this is the only sign of it.
  void load_started_during_load(const QUrl& url);

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool main_frame) override;
  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message,
                                int line, const QString& source) override;

 private:
  common::Endpoints endpoints_;
  Opener opener_;
};

class MainWindow : public QWebEngineView {
  Q_OBJECT
 public:
  MainWindow(QWebEngineProfile* profile, common::Endpoints endpoints, desktop::Watchdog& watchdog,
             const app::CommandTable& commands, Opener opener = open_with_system);
  // The page goes after this window's own members: what it still reports is not heard.
  ~MainWindow() override;

  // Delivers an agent event to the listeners of the page (when it is the chat application).
  void emit_event(const QString& name, const common::Json& payload);

  // Shown, restored if minimised, raised and focused.
  void bring_forward();

  // The page's URL; while the first document is still loading (the page has no URL yet),
  // the URL it is loading.
  QUrl current_url() const;

  // Loads `url` in place of a page that no longer answers: ends the page's process, then, once
  // the engine reports it ended (or after kProcessEndReportLimit), loads `url`. A plain load
  // when the page has no process of its own to end.
  void replace_hung_page(const QUrl& url);

 signals:
  // A load of the chat web application started; `load` is the watchdog's counter for it.
  void application_load_started(quint64 load);

 private:
  common::Endpoints endpoints_;
  desktop::Watchdog& watchdog_;
  const app::CommandTable& commands_;
  PageBridge* bridge_ = nullptr;  // owned by the page

  // The render-process hook: a process that ended on its own leaves a dead page, so the crash
  // page takes its place; one that replace_hung_page ended makes way for the page it waits for.
  void render_process_ended();
  void load_replacement();

  // The watchdog hears of every load once: those the engine reports starting, and those let
  // through while another load was going on, for which it may report no start at all. Such a
  // load is counted when it is let through, and a start reported for it later is not counted
  // again.
  void count_load(const QUrl& url);
  void loading_changed(const QWebEngineLoadingInfo& info);
  std::optional<QUrl> counted_before_start_;  // counted early, its start not reported yet
  bool ending_process_ = false;               // its end, when reported, is ours and no crash
  std::optional<QUrl> replacement_;           // the page to load once the process we ended is gone
  QTimer replacement_limit_;
};

// The lock script as injected into every frame.
QString lock_script_source();

}  // namespace kavor::shell
