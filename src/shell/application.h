// The running program: the shared state objects, the main window and the background tasks.
#pragma once

#include <QObject>
#include <QPointer>
#include <qcorotask.h>

#include <memory>
#include <optional>
#include <stop_token>

#include "app/command_table.h"
#include "app/host.h"
#include "app/state_registry.h"
#include "common/endpoints.h"
#include "shell/main_window.h"

class QWebEngineProfile;

namespace kavor::device {
class CredentialStore;
}

namespace kavor::shell {

class AssetSchemeHandler;

// The Host the core talks to: the real main window, reached on the GUI thread.
class WindowHost : public Host {
 public:
  void set_window(MainWindow* window) { window_ = window; }
  std::optional<QUrl> main_window_url() override;
  bool navigate_main_window(const QUrl& url) override;
  void emit_event(const QString& name, const Json& payload) override;

 private:
  QPointer<MainWindow> window_;
};

struct ApplicationOptions {
  Endpoints endpoints = Endpoints::built_in();
  Opener opener = open_with_system;
  // Where the credential store is reached; the system's when empty.
  device::CredentialStore* credentials = nullptr;
  // The web profile's storage name; tests use an off-the-record profile.
  QString profile_name = QStringLiteral("kavor-agent");
};

class Application {
 public:
  explicit Application(ApplicationOptions options = {});
  ~Application();

  // The set-up step: loads the device registration, creates the main window and starts the
  // background tasks (they keep running on the event loop; set-up does not wait for them).
  void set_up();

  StateRegistry& state() { return state_; }
  // The commands the chat web application may call; complete before set_up().
  CommandTable& commands() { return commands_; }
  MainWindow* main_window() const { return window_; }
  Host& host() { return *host_; }
  const Endpoints& endpoints() const { return options_.endpoints; }

 private:
  ApplicationOptions options_;
  std::unique_ptr<device::CredentialStore> own_credentials_;
  StateRegistry state_;
  CommandTable commands_;
  QWebEngineProfile* profile_ = nullptr;
  std::unique_ptr<AssetSchemeHandler> assets_;
  QPointer<MainWindow> window_;
  std::shared_ptr<WindowHost> host_ = std::make_shared<WindowHost>();
  std::stop_source stop_;
};

}  // namespace kavor::shell
