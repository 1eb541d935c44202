#include "shell/application.h"

#include <qcorosignal.h>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QWebEngineProfile>

#include "app/page_access.h"
#include "app/start_probe.h"
#include "common/build_config.h"
#include "desktop/watchdog.h"
#include "platform/fatal.h"
#include "platform/start_trace.h"
#include "shell/app_server.h"
#include "shell/asset_scheme.h"
#include "shell/payment_window.h"

namespace kavor::shell {

namespace {

// An informational request for attention fades after this long; a critical one stays until
// the user comes to the window.
constexpr int kInformationalAlertMs = 10'000;

}  // namespace

WindowHost::WindowHost(common::Endpoints endpoints, ExternalOpener opener)
    : endpoints_(std::move(endpoints)), opener_(std::move(opener)) {}

WindowHost::~WindowHost() {
  delete payment_.data();
}

std::optional<QUrl> WindowHost::main_window_url() {
  if (!window_) return std::nullopt;
  return window_->current_url();
}

std::optional<common::Host::WindowState> WindowHost::main_window_state() {
  if (!window_) return std::nullopt;
  return WindowState{window_->isVisible(), window_->isMinimized(), window_->isActiveWindow()};
}

void WindowHost::request_attention(Attention level) {
  if (!window_) return;
  QApplication::alert(window_, level == Attention::Critical ? 0 : kInformationalAlertMs);
}

bool WindowHost::run_page_script(const QString& script, std::function<void()> done) {
  if (!window_) return false;
  window_->page()->runJavaScript(script, [done = std::move(done)](const QVariant&) { done(); });
  return true;
}

bool WindowHost::navigate_main_window(const QUrl& url) {
  if (!window_) return false;
  if (common::same_origin(url, endpoints_.app_url()))
    platform::start_milestone("chat page requested");
  window_->page()->load(url);
  return true;
}

bool WindowHost::replace_hung_page(const QUrl& url) {
  if (!window_) return false;
  window_->replace_hung_page(url);
  return true;
}

void WindowHost::emit_event(const QString& name, const common::Json& payload) {
  if (window_) window_->emit_event(name, payload);
}

Result<void> WindowHost::open_external(const QUrl& url) {
  if (opener_(url)) return {};
  return fail(
      QStringLiteral("no program is set up to open %1 links").arg(url.scheme()).toStdString());
}

Result<void> WindowHost::open_payment(const QUrl& url) {
  if (!payment_) {
    if (profile_ == nullptr) return fail("the main window does not exist");
    payment_ = new PaymentWindow(
        profile_, endpoints_, [this](const QUrl& link) { opener_(link); },
        [this](const QUrl& back) {
          // The provider sent the user back to the chat application: finish there.
          if (window_) {
            navigate_main_window(back);
            window_->bring_forward();
          }
          if (payment_) payment_->close();
        });
  }
  payment_->show_url(url);
  return {};
}

QCoro::Task<std::optional<QString>> WindowHost::pick_folder(QString title) {
  auto* dialog = new QFileDialog(window_, title);
  dialog->setFileMode(QFileDialog::Directory);
  dialog->setOption(QFileDialog::ShowDirsOnly);
  QCoro::Task<std::optional<QString>> answer = ask(dialog);
  std::optional<QString> chosen = co_await answer;
  co_return chosen;
}

QCoro::Task<std::optional<QString>> WindowHost::pick_file(QString title, QString filter_name,
                                                          QString extension) {
  auto* dialog = new QFileDialog(window_, title);
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setNameFilter(QStringLiteral("%1 (*.%2)").arg(filter_name, extension));
  QCoro::Task<std::optional<QString>> answer = ask(dialog);
  std::optional<QString> chosen = co_await answer;
  co_return chosen;
}

QCoro::Task<std::optional<QString>> WindowHost::ask(QFileDialog* dialog) {
  // Opened without blocking, so the event loop keeps serving the page while the user chooses.
  // The dialog is deleted only after its answer is read: deleted on close, it went before the
  // queued wake-up of this coroutine was delivered, and the page never got its answer.
  QPointer<QFileDialog> guard = dialog;
  dialog->open();
  const int result = co_await qCoro(dialog, &QDialog::finished);
  if (!guard) co_return std::nullopt;
  guard->deleteLater();
  if (result != QDialog::Accepted || guard->selectedFiles().isEmpty()) co_return std::nullopt;
  co_return QDir::toNativeSeparators(guard->selectedFiles().constFirst());
}

Application::Application(ApplicationOptions options) : options_(std::move(options)) {
  if (!options_.opener)
    options_.opener = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  host_ = std::make_shared<WindowHost>(options_.endpoints, options_.opener);
  agent_ = std::make_unique<app::Agent>(app::AgentOptions{options_.endpoints, options_.credentials,
                                                          options_.notifications, options_.toaster},
                                        *host_);
  platform::start_milestone("agent state made");
}

Application::~Application() {
  // The agent ends first (it waits for its work in flight), then the windows.
  agent_.reset();
  host_->set_window(nullptr);
  delete window_.data();
  host_.reset();
  // Pages must go before their profile.
  delete profile_;
}

void Application::set_up() {
  profile_ = options_.profile_name.isEmpty() ? new QWebEngineProfile()
                                             : new QWebEngineProfile(options_.profile_name);
  assets_ = std::make_unique<AssetSchemeHandler>(options_.endpoints,
                                                 QString::fromUtf8(common::build::kWebsiteUrl));
  profile_->installUrlSchemeHandler(common::kAssetScheme, assets_.get());
  if (app::app_needs_owner_check(options_.endpoints.app_url())) {
    session_ = std::make_unique<SessionInterceptor>(options_.endpoints.app_url());
    profile_->setUrlRequestInterceptor(session_.get());
  }
  host_->set_profile(profile_);
  platform::start_milestone("web profile made");

  window_ =
      new MainWindow(profile_, options_.endpoints, agent_->state().watchdog, agent_->commands(),
                     [opener = options_.opener](const QUrl& url) { opener(url); });
  if (!window_) fatal("main window");
  host_->set_window(window_);
  if (options_.watchdog) {
    // Every started load of the application gets its check.
    QObject::connect(window_, &MainWindow::application_load_started, window_, [this](quint64 load) {
      desktop::run_load_check(agent_->state().watchdog, host_, options_.endpoints, load,
                              agent_->stop_token());
    });
  }
  window_->show();
  platform::start_milestone("window shown");

  app::run_start_probe(host_, options_.endpoints, agent_->stop_token());
  if (options_.watchdog) {
    desktop::run_watchdog(agent_->state().watchdog, host_, options_.endpoints,
                          agent_->stop_token());
  }
  agent_->start();
  platform::start_milestone("set-up done");
}

}  // namespace kavor::shell
