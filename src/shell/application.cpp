#include "shell/application.h"

#include <qcorosignal.h>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QWebEngineProfile>

#include "app/commands.h"
#include "app/mention_commands.h"
#include "app/start_probe.h"
#include "bridge/bridge.h"
#include "bridge/status.h"
#include "common/build_config.h"
#include "common/config_dir.h"
#include "common/fatal.h"
#include "desktop/notifications.h"
#include "desktop/watchdog.h"
#include "device/credential_store.h"
#include "device/device_store.h"
#include "mention/mentions.h"
#include "shell/asset_scheme.h"
#include "shell/payment_window.h"
#include "tools/approvals.h"
#include "tools/dispatch.h"
#include "tools/install.h"

namespace kavor::shell {

namespace {

// Until desktop notifications exist, requests for one are answered "not shown".
class NoNotifications : public Notifications {
 public:
  bool notify(const NotifyRequest&) override { return false; }
  void clear_shown() override {}
};

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
    own_notifications_ = std::make_unique<NoNotifications>();
    options_.notifications = own_notifications_.get();
  }
  // Created while the application is built, before any page runs, in this order; the state
  // of features still to come (approvals, reply watchers, mention indexes) joins it.
  state_.add(std::make_unique<tools::Approvals>());
  state_.add(std::make_unique<Status>());
  state_.add(std::make_unique<Watchdog>());
  state_.add(std::make_unique<tools::RunningChats>());
  // Every open index is stopped and saves itself when the state objects are released at exit.
  state_.add(
      std::make_unique<mention::Mentions>(mention_index_location(), mention_event_sink(host_)));
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

  profile_ = options_.profile_name.isEmpty() ? new QWebEngineProfile()
                                             : new QWebEngineProfile(options_.profile_name);
  assets_ = std::make_unique<AssetSchemeHandler>();
  profile_->installUrlSchemeHandler(kAssetScheme, assets_.get());
  host_->set_profile(profile_);

  window_ = new MainWindow(profile_, options_.endpoints, state_.get<Watchdog>(), commands_,
                           [opener = options_.opener](const QUrl& url) { opener(url); });
  if (!window_) fatal("main window");
  host_->set_window(window_);
  window_->show();

  run_start_probe(host_, options_.endpoints, stop_.get_token());
  const tools::DispatchContext dispatch{
      tools_, state_.get<tools::Approvals>(), state_.get<tools::RunningChats>(),
      *host_, *options_.notifications,        tool_pool_};
  bridge_ = std::make_unique<Bridge>(
      options_.endpoints, device, state_.get<Status>(), *host_, *options_.notifications,
      [dispatch](Call call, QString) { return tools::dispatch(std::move(call), dispatch); });
  bridge_->run(stop_.get_token());
}

}  // namespace kavor::shell
