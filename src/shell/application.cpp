#include "shell/application.h"

#include <QDir>
#include <QWebEngineProfile>

#include "app/start_probe.h"
#include "common/build_config.h"
#include "common/config_dir.h"
#include "common/fatal.h"
#include "desktop/watchdog.h"
#include "device/credential_store.h"
#include "device/device_store.h"
#include "shell/asset_scheme.h"

namespace kavor::shell {

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

Application::Application(ApplicationOptions options) : options_(std::move(options)) {
  // Created while the application is built, before any page runs. The objects that belong to
  // features still to come (approvals, connection status, reply watchers, mention indexes)
  // join this registry in the same order when they exist.
  state_.add(std::make_unique<Watchdog>());
}

Application::~Application() {
  stop_.request_stop();
  delete window_.data();
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
  state_.add(device::DeviceStore::load(
      device_file, *credentials,
      device::CredentialKey{QString::fromUtf8(build::kAppId), options_.endpoints.api_base()}));

  profile_ = options_.profile_name.isEmpty() ? new QWebEngineProfile()
                                             : new QWebEngineProfile(options_.profile_name);
  assets_ = std::make_unique<AssetSchemeHandler>();
  profile_->installUrlSchemeHandler(kAssetScheme, assets_.get());

  window_ = new MainWindow(profile_, options_.endpoints, state_.get<Watchdog>(), commands_,
                           options_.opener);
  if (!window_) fatal("main window");
  host_->set_window(window_);
  window_->show();

  run_start_probe(host_, options_.endpoints, stop_.get_token());
}

}  // namespace kavor::shell
