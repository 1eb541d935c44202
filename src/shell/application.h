// The running program: the shared state objects, the command table, the main window and the
// background tasks (start-page probe, watchdog, bridge loop).
#pragma once

#include <QPointer>

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

#include "app/agent.h"
#include "app/agent_state.h"
#include "app/command_table.h"
#include "common/endpoints.h"
#include "common/host.h"
#include "shell/main_window.h"
#include "shell/payment_window.h"

class QFileDialog;
class QWebEngineProfile;

namespace kavor {
namespace desktop {
class Notifications;
class Toaster;
}  // namespace desktop
namespace device {
class CredentialStore;
}
}  // namespace kavor

namespace kavor::shell {

class AssetSchemeHandler;
class SessionInterceptor;

// Opens a link with the system; false when no program could be started for it.
using ExternalOpener = std::function<bool(const QUrl&)>;

// The Host the core talks to: the real windows and dialogs, on the GUI thread.
class WindowHost : public common::Host {
 public:
  WindowHost(common::Endpoints endpoints, ExternalOpener opener);
  ~WindowHost() override;

  void set_window(MainWindow* window) { window_ = window; }
  void set_profile(QWebEngineProfile* profile) { profile_ = profile; }

  std::optional<QUrl> main_window_url() override;
  bool navigate_main_window(const QUrl& url) override;
  bool replace_hung_page(const QUrl& url) override;
  void emit_event(const QString& name, const common::Json& payload) override;
  Result<void> open_external(const QUrl& url) override;
  Result<void> open_payment(const QUrl& url) override;
  std::optional<WindowState> main_window_state() override;
  void request_attention(Attention level) override;
  bool run_page_script(const QString& script, std::function<void()> done) override;
  QCoro::Task<std::optional<QString>> pick_folder(QString title) override;
  QCoro::Task<std::optional<QString>> pick_file(QString title, QString filter_name,
                                                QString extension) override;

  PaymentWindow* payment_window() const { return payment_; }

 private:
  // Shows the dialog and waits for the user's choice; the chosen full path or nothing.
  static QCoro::Task<std::optional<QString>> ask(QFileDialog* dialog);

  common::Endpoints endpoints_;
  ExternalOpener opener_;
  QPointer<MainWindow> window_;
  QPointer<PaymentWindow> payment_;
  QWebEngineProfile* profile_ = nullptr;
};

struct ApplicationOptions {
  common::Endpoints endpoints = common::Endpoints::built_in();
  // How links leave the program; the system's default programs when empty.
  ExternalOpener opener;
  // Where the credential store is reached; the system's when empty.
  device::CredentialStore* credentials = nullptr;
  // Where the core's notification requests go; the notifier when empty.
  desktop::Notifications* notifications = nullptr;
  // Where the notifier's toasts go; the desktop's notification service when empty.
  desktop::Toaster* toaster = nullptr;
  // Runs the webview watchdog (its task and the check of every started load). Tests of other
  // features switch it off when they speed up the clock: the watchdog's limits would then give
  // the webview a twentieth of its time to load or answer.
  bool watchdog = true;
  // The web profile's storage name; an empty name gives a profile that keeps nothing on disk.
  QString profile_name = QStringLiteral("kavor-agent");
};

class Application {
 public:
  explicit Application(ApplicationOptions options = {});
  ~Application();

  // The set-up step: loads the device registration, creates the main window and starts the
  // background tasks (they keep running on the event loop; set-up does not wait for them).
  void set_up();

  app::AgentState& state() { return agent_->state(); }
  // The commands the chat web application may call; more may be added before set_up().
  app::CommandTable& commands() { return agent_->commands(); }
  MainWindow* main_window() const { return window_; }
  WindowHost& host() { return *host_; }
  const common::Endpoints& endpoints() const { return options_.endpoints; }

 private:
  ApplicationOptions options_;
  // The host outlives the agent, whose tasks talk to it until the agent has ended.
  std::shared_ptr<WindowHost> host_;
  std::unique_ptr<app::Agent> agent_;
  QWebEngineProfile* profile_ = nullptr;
  std::unique_ptr<AssetSchemeHandler> assets_;
  // Only when the application is plain http on loopback (shell/app_server.h).
  std::unique_ptr<SessionInterceptor> session_;
  QPointer<MainWindow> window_;
};

}  // namespace kavor::shell
