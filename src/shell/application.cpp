#include "shell/application.h"

#include <qcorosignal.h>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QWebEngineProfile>

#include "app/commands.h"
#include "app/start_probe.h"
#include "bridge/bridge.h"
#include "bridge/status.h"
#include "common/build_config.h"
#include "common/config_dir.h"
#include "common/fatal.h"
#include "desktop/notifications.h"
#include "desktop/notifier.h"
#include "desktop/reply_watcher.h"
#include "desktop/toaster.h"
#include "desktop/watchdog.h"
#include "device/credential_store.h"
#include "device/device_store.h"
#include "shell/asset_scheme.h"
#include "shell/payment_window.h"
#include "tools/approvals.h"
#include "tools/dispatch.h"
#include "tools/install.h"

namespace kavor::shell {

namespace {

// The core's notification requests go to the notifier once set-up has loaded it; earlier ones
// are dropped.
class ToNotifier : public Notifications {
 public:
  explicit ToNotifier(const StateRegistry& state) : state_(state) {}
  bool notify(const NotifyRequest& request) override {
    Notifier* notifier = state_.find<Notifier>();
    return notifier != nullptr && notifier->notify(request);
  }
  void clear_shown() override {
    if (Notifier* notifier = state_.find<Notifier>()) notifier->clear_shown();
  }

 private:
  const StateRegistry& state_;
};

// An informational request for attention fades after this long; a critical one stays until
// the user comes to the window.
constexpr int kInformationalAlertMs = 10'000;

}  // namespace

WindowHost::WindowHost(Endpoints endpoints, ExternalOpener opener)
    : endpoints_(std::move(endpoints)), opener_(std::move(opener)) {}

WindowHost::~WindowHost() {
  delete payment_.data();
}

std::optional<QUrl> WindowHost::main_window_url() {
  if (!window_) return std::nullopt;
  return window_->current_url();
}

std::optional<Host::WindowState> WindowHost::main_window_state() {
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
  window_->page()->load(url);
  return true;
}

void WindowHost::emit_event(const QString& name, const Json& payload) {
  if (window_) window_->emit_event(name, payload);
}

std::optional<QString> WindowHost::open_external(const QUrl& url) {
  if (opener_(url)) return std::nullopt;
  return QStringLiteral("no program is set up to open %1 links").arg(url.scheme());
}

std::optional<QString> WindowHost::open_payment(const QUrl& url) {
  if (!payment_) {
    if (profile_ == nullptr) return QStringLiteral("the main window does not exist");
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
  return std::nullopt;
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
  QPointer<QFileDialog> guard = dialog;
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->open();
  const int result = co_await qCoro(dialog, &QDialog::finished);
  if (!guard || result != QDialog::Accepted || guard->selectedFiles().isEmpty()) {
    co_return std::nullopt;
  }
  co_return QDir::toNativeSeparators(guard->selectedFiles().constFirst());
}

Application::Application(ApplicationOptions options) : options_(std::move(options)) {
  if (!options_.opener)
    options_.opener = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  host_ = std::make_shared<WindowHost>(options_.endpoints, options_.opener);
  if (options_.notifications == nullptr) {
    own_notifications_ = std::make_unique<ToNotifier>(state_);
    options_.notifications = own_notifications_.get();
  }
  if (options_.toaster == nullptr) {
    own_toaster_ = desktop_toaster();
    options_.toaster = own_toaster_.get();
  }
  // Created while the application is built, before any page runs, in this order; the state
  // of features still to come (mention indexes) joins it.
  state_.add(std::make_unique<tools::Approvals>());
  state_.add(std::make_unique<Status>());
  state_.add(std::make_unique<Watchers>());
  state_.add(std::make_unique<Watchdog>());
  state_.add(std::make_unique<tools::RunningChats>());
  install_tools(tools_);
  install_commands(commands_,
                   CommandContext{options_.endpoints, state_, *host_, *options_.notifications});
}

Application::~Application() {
  stop_.request_stop();
  bridge_.reset();
  host_->set_window(nullptr);
  delete window_.data();
  host_.reset();
  // Pages must go before their profile.
  delete profile_;
}

void Application::set_up() {
  device::CredentialStore* credentials = options_.credentials;
  if (credentials == nullptr) {
    own_credentials_ = device::system_credential_store();
    credentials = own_credentials_.get();
  }
  const QString device_file = QDir(config_dir()).filePath(QStringLiteral("device.json"));
  auto& device = state_.add(device::DeviceStore::load(
      device_file, *credentials,
      device::CredentialKey{QString::fromUtf8(build::kAppId), options_.endpoints.api_base()}));
  state_.add(Notifier::load(*host_, *options_.toaster, [] {
    return QDir(config_dir()).filePath(QStringLiteral("notifications.json"));
  }));

  profile_ = options_.profile_name.isEmpty() ? new QWebEngineProfile()
                                             : new QWebEngineProfile(options_.profile_name);
  assets_ = std::make_unique<AssetSchemeHandler>(options_.endpoints,
                                                 QString::fromUtf8(build::kWebsiteUrl));
  profile_->installUrlSchemeHandler(kAssetScheme, assets_.get());
  host_->set_profile(profile_);

  window_ = new MainWindow(profile_, options_.endpoints, state_.get<Watchdog>(), commands_,
                           [opener = options_.opener](const QUrl& url) { opener(url); });
  if (!window_) fatal("main window");
  host_->set_window(window_);
  if (options_.watchdog) {
    // Every started load of the application gets its check.
    QObject::connect(window_, &MainWindow::application_load_started, window_, [this](quint64 load) {
      run_load_check(state_.get<Watchdog>(), host_, options_.endpoints, load, stop_.get_token());
    });
  }
  window_->show();

  run_start_probe(host_, options_.endpoints, stop_.get_token());
  if (options_.watchdog) {
    run_watchdog(state_.get<Watchdog>(), host_, options_.endpoints, stop_.get_token());
  }
  const tools::DispatchContext dispatch{
      tools_, state_.get<tools::Approvals>(), state_.get<tools::RunningChats>(),
      *host_, *options_.notifications,        tool_pool_};
  bridge_ = std::make_unique<Bridge>(
      options_.endpoints, device, state_.get<Status>(), *host_, *options_.notifications,
      [dispatch](Call call, QString) { return tools::dispatch(std::move(call), dispatch); });
  bridge_->run(stop_.get_token());
}

}  // namespace kavor::shell
