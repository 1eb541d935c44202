#include "shell/main_window.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QTimer>
#include <QWebEngineLoadingInfo>
#include <QWebEngineNewWindowRequest>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

#include <signal.h>

#include <utility>

#include "app/navigation.h"
#include "desktop/watchdog.h"
#include "platform/start_trace.h"
#include "shell/app_server.h"
#include "shell/page_bridge.h"

namespace kavor::shell {

namespace {

// With the start-up trace on, every document tells the window as soon as it exists, before any
// script of its own has run.
constexpr QLatin1StringView kTraceMark("kavor-agent start-trace: document ");

}  // namespace

void open_with_system(const QUrl& url) {
  QDesktopServices::openUrl(url);
}

QString lock_script_source() {
  QFile file(QStringLiteral(":/shell/lock_script.js"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

MainPage::MainPage(QWebEngineProfile* profile, common::Endpoints endpoints, Opener opener,
                   QObject* parent)
    : QWebEnginePage(profile, parent),
      endpoints_(std::move(endpoints)),
      opener_(std::move(opener)) {
  QWebEngineScript lock;
  lock.setName(QStringLiteral("kavor-lock"));
  lock.setSourceCode(lock_script_source());
  lock.setInjectionPoint(QWebEngineScript::DocumentCreation);
  lock.setWorldId(QWebEngineScript::MainWorld);
  lock.setRunsOnSubFrames(true);
  scripts().insert(lock);
  if (platform::start_trace_on()) {
    QWebEngineScript trace;
    trace.setName(QStringLiteral("kavor-start-trace"));
    trace.setSourceCode(QStringLiteral("console.info('%1' + location.origin);").arg(kTraceMark));
    trace.setInjectionPoint(QWebEngineScript::DocumentCreation);
    trace.setWorldId(QWebEngineScript::MainWorld);
    trace.setRunsOnSubFrames(false);
    scripts().insert(trace);
  }

  // No page gets a second window: what it wanted to open goes to the system instead.
  connect(this, &QWebEnginePage::newWindowRequested, this,
          [this](QWebEngineNewWindowRequest& request) {
            const QUrl url = request.requestedUrl();
            if (app::opens_externally(url)) opener_(url);
          });
}

void MainPage::show_server_error() {
  // Not from inside the navigation being decided: the page loads the error page afterwards.
  QTimer::singleShot(0, this,
                     [this] { load(endpoints_.asset_url(QStringLiteral("error.html#server"))); });
}

void MainPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message,
                                        int line, const QString& source) {
  if (platform::start_trace_on() && message.startsWith(kTraceMark)) {
    const bool application =
        common::same_origin(QUrl(message.mid(kTraceMark.size())), endpoints_.app_url());
    platform::start_milestone(application ? "chat page first script" : "loader first script");
    return;
  }
  QWebEnginePage::javaScriptConsoleMessage(level, message, line, source);
}

bool MainPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool main_frame) {
  if (!main_frame) return true;
  switch (app::decide_navigation(url, endpoints_)) {
    case app::Navigation::Allow:
      if (common::same_origin(url, endpoints_.app_url()) &&
          !application_server_trusted(endpoints_.app_url(), WhenNobodyListens::Allow)) {
        show_server_error();
        return false;
      }
      // A redirect goes on with the load it belongs to.
      if (isLoading() && type != NavigationTypeRedirect) emit load_started_during_load(url);
      return true;
    case app::Navigation::OpenExternal:
      opener_(url);
      return false;
    case app::Navigation::Drop:
      return false;
  }
  return false;
}

MainWindow::MainWindow(QWebEngineProfile* profile, common::Endpoints endpoints,
                       desktop::Watchdog& watchdog, const app::CommandTable& commands,
                       Opener opener)
    : endpoints_(std::move(endpoints)), watchdog_(watchdog), commands_(commands) {
  setWindowTitle(QStringLiteral("Kavor Agent"));
  resize(kMainWidth, kMainHeight);
  setMinimumSize(kMainMinWidth, kMainMinHeight);
  auto* page = new MainPage(profile, endpoints_, std::move(opener), this);
  setPage(page);
  bridge_ = new PageBridge(page, commands_, endpoints_.app_url());
  connect(bridge_, &PageBridge::server_refused, page, &MainPage::show_server_error);

  connect(page, &MainPage::load_started_during_load, this, [this](const QUrl& url) {
    counted_before_start_ = url;
    count_load(url);
  });
  connect(page, &QWebEnginePage::loadingChanged, this, &MainWindow::loading_changed);
  connect(page, &QWebEnginePage::renderProcessTerminated, this, [this] { render_process_ended(); });
  replacement_limit_.setSingleShot(true);
  replacement_limit_.setInterval(kProcessEndReportLimit);
  connect(&replacement_limit_, &QTimer::timeout, this, [this] { load_replacement(); });

  page->load(endpoints_.asset_url(QStringLiteral("index.html")));
  platform::start_milestone("loader requested");
}

void MainWindow::count_load(const QUrl& url) {
  if (const auto load = watchdog_.load_started(common::same_origin(url, endpoints_.app_url()))) {
    emit application_load_started(*load);
  }
}

void MainWindow::loading_changed(const QWebEngineLoadingInfo& info) {
  const bool application = common::same_origin(info.url(), endpoints_.app_url());
  // Any report of a load counted early ends the wait for its start.
  const bool counted = counted_before_start_ == info.url();
  if (counted || info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
    counted_before_start_.reset();
  }
  switch (info.status()) {
    case QWebEngineLoadingInfo::LoadStartedStatus:
      if (!counted) count_load(info.url());
      break;
    case QWebEngineLoadingInfo::LoadSucceededStatus:
      if (application) {
        watchdog_.page_loaded();
        platform::start_milestone("chat page loaded");
      }
      break;
    case QWebEngineLoadingInfo::LoadFailedStatus:
      // The service answered with an error status (a 404 page, say): the page is on screen
      // and alive. A load that never reached the service is left unfinished, so the
      // watchdog's load check can show the error page instead of the engine's own.
      if (application && info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain) {
        watchdog_.page_loaded();
      }
      break;
    default:
      break;
  }
}

MainWindow::~MainWindow() {
  page()->disconnect(this);
}

void MainWindow::replace_hung_page(const QUrl& url) {
  const qint64 process = page()->renderProcessPid();
  // Without a process of its own (not started yet, or the engine runs pages inside this very
  // program) there is nothing to end: a plain load is all that can be done.
  if (process <= 0 || process == QCoreApplication::applicationPid()) {
    page()->load(url);
    return;
  }
  replacement_ = url;
  ending_process_ = ::kill(static_cast<pid_t>(process), SIGKILL) == 0;
  if (ending_process_) {
    replacement_limit_.start();
  } else {
    load_replacement();
  }
}

void MainWindow::load_replacement() {
  replacement_limit_.stop();
  if (const std::optional<QUrl> url = std::exchange(replacement_, std::nullopt)) {
    page()->load(*url);
  }
}

void MainWindow::render_process_ended() {
  // 1. Ended by replace_hung_page: not a crash, and not another hang either. Its replacement
  //    is loaded now, unless the wait for this report already ran out and loaded it.
  if (std::exchange(ending_process_, false)) {
    load_replacement();
    return;
  }
  // 2. Ended on its own: the crash page explains and offers the way back. A crash page whose
  //    own process ended, shown or still on its way, is left as it is, rather than loaded
  //    again and again when pages cannot run at all (memory exhausted, say).
  const QUrl crash = desktop::recovery_page(endpoints_, desktop::Recovery::Crash);
  if (page()->url() == crash || page()->requestedUrl() == crash) return;
  page()->load(crash);
}

void MainWindow::emit_event(const QString& name, const common::Json& payload) {
  bridge_->emit_event(name, payload);
}

QUrl MainWindow::current_url() const {
  const QUrl shown = page()->url();
  return shown.isEmpty() ? page()->requestedUrl() : shown;
}

void MainWindow::bring_forward() {
  show();
  if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
  raise();
  activateWindow();
}

}  // namespace kavor::shell
