#include "app/agent.h"

#include <QDir>
#include <QThreadPool>

#include <mutex>

#include "app/commands.h"
#include "app/mention_commands.h"
#include "app/tools.h"
#include "bridge/bridge.h"
#include "bridge/status.h"
#include "browser/registry.h"
#include "common/build_config.h"
#include "common/config_dir.h"
#include "common/host.h"
#include "desktop/notifications.h"
#include "desktop/notifier.h"
#include "desktop/reply_watcher.h"
#include "desktop/toaster.h"
#include "desktop/watchdog.h"
#include "device/credential_store.h"
#include "device/device_store.h"
#include "exec/fence.h"
#include "exec/namespace.h"
#include "mention/mentions.h"
#include "tools/approvals.h"
#include "tools/dispatch.h"

namespace kavor::app {

namespace {

// The core's notification requests go to the notifier once start() has loaded it; earlier
// ones are dropped.
class ToNotifier : public desktop::Notifications {
 public:
  explicit ToNotifier(const std::unique_ptr<desktop::Notifier>& notifier) : notifier_(notifier) {}
  bool notify(const desktop::NotifyRequest& request) override {
    return notifier_ != nullptr && notifier_->notify(request);
  }
  void clear_shown() override {
    if (notifier_ != nullptr) notifier_->clear_shown();
  }

 private:
  const std::unique_ptr<desktop::Notifier>& notifier_;
};

}  // namespace

Agent::Agent(AgentOptions options, common::Host& host)
    : options_(std::move(options)),
      host_(host),
      // Created before any page runs; every open mention index saves itself when it ends.
      state_(mention_index_location(), mention_event_sink(host_, stop_.get_token())) {
  if (options_.notifications == nullptr) {
    own_notifications_ = std::make_unique<ToNotifier>(state_.notifier);
    options_.notifications = own_notifications_.get();
  }
  if (options_.toaster == nullptr) {
    own_toaster_ = desktop::desktop_toaster();
    options_.toaster = own_toaster_.get();
  }
  if (options_.credentials == nullptr) {
    own_credentials_ = device::system_credential_store();
    options_.credentials = own_credentials_.get();
  }
  tool_pool_.setMaxThreadCount(kToolThreads);
  browsers_ = std::make_unique<browser::BrowserRegistry>();
  install_tools(tools_, *browsers_);
  install_commands(commands_, CommandContext{options_.endpoints, state_, host_,
                                             *options_.notifications, stop_.get_token()});
}

Agent::~Agent() {
  // The steps of the header's ending, in order.
  stop_.request_stop();
  state_.approvals.stop_all();
  bridge_.reset();
  // The private browsers and their profile folders must not outlive the program.
  browsers_.reset();
  tool_pool_.waitForDone();
  QThreadPool::globalInstance()->waitForDone();
}

void Agent::start() {
  // Said once: without the kernel's fence, commands nobody approved run as they always did.
  static std::once_flag fence_told;
  std::call_once(fence_told, [] {
    if (exec::landlock_abi() == 0) {
      qWarning(
          "kavor-agent: the kernel offers no Landlock, so commands that run without asking run "
          "without the workspace fence");
    }
    // The probe forks once: off the start's own road.
    QThreadPool::globalInstance()->start([] {
      for (const std::string& door : exec::open_doors()) qWarning("kavor-agent: %s", door.c_str());
    });
  });
  const common::ConfigDir folder = common::config_dir();
  const QString device_file = QDir(folder.path).filePath(QStringLiteral("device.json"));
  state_.device = device::DeviceStore::load_in_background(
      device_file, *options_.credentials,
      device::CredentialKey{QString::fromUtf8(common::build::kAppId),
                            options_.endpoints.api_base()},
      folder.usable);
  device::DeviceStore& device = *state_.device;
  // Settings are looked up at every use; a folder that must not be used gives no file.
  state_.notifier = desktop::Notifier::load(host_, *options_.toaster, [] {
    const common::ConfigDir now = common::config_dir();
    if (!now.usable.ok()) return QString();
    return QDir(now.path).filePath(QStringLiteral("notifications.json"));
  });

  const tools::DispatchContext dispatch{
      tools_,     state_.approvals, state_.running_chats, host_, *options_.notifications,
      tool_pool_, stop_.get_token()};
  bridge_ = std::make_unique<bridge::Bridge>(
      options_.endpoints, device, state_.status, host_, *options_.notifications,
      [dispatch](tools::Call call, QString) { return tools::dispatch(std::move(call), dispatch); });
  bridge_->run(stop_.get_token());
}

}  // namespace kavor::app
