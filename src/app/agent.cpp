#include "app/agent.h"

#include <QDir>

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
#include "mention/mentions.h"
#include "tools/approvals.h"
#include "tools/dispatch.h"

namespace kavor {

namespace {

// The core's notification requests go to the notifier once start() has loaded it; earlier
// ones are dropped.
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

}  // namespace

Agent::Agent(AgentOptions options, Host& host) : options_(std::move(options)), host_(host) {
  if (options_.notifications == nullptr) {
    own_notifications_ = std::make_unique<ToNotifier>(state_);
    options_.notifications = own_notifications_.get();
  }
  if (options_.toaster == nullptr) {
    own_toaster_ = desktop_toaster();
    options_.toaster = own_toaster_.get();
  }
  if (options_.credentials == nullptr) {
    own_credentials_ = device::system_credential_store();
    options_.credentials = own_credentials_.get();
  }
  tool_pool_.setMaxThreadCount(kToolThreads);
  // Created before any page runs, in this order; later objects may refer to earlier ones.
  state_.add(std::make_unique<tools::Approvals>());
  state_.add(std::make_unique<Status>());
  state_.add(std::make_unique<Watchers>());
  state_.add(std::make_unique<Watchdog>());
  state_.add(std::make_unique<tools::RunningChats>());
  // Every open index is stopped and saves itself when the state objects are released.
  state_.add(std::make_unique<mention::Mentions>(mention_index_location(),
                                                 mention_event_sink(host_, stop_.get_token())));
  browsers_ = std::make_unique<browser::BrowserRegistry>();
  install_tools(tools_, *browsers_);
  install_commands(commands_, CommandContext{options_.endpoints, state_, host_,
                                             *options_.notifications, stop_.get_token()});
}

Agent::~Agent() {
  // The steps of the header's ending, in order.
  stop_.request_stop();
  if (auto* approvals = state_.find<tools::Approvals>()) approvals->stop_all();
  bridge_.reset();
  // The private browsers and their profile folders must not outlive the program.
  browsers_.reset();
  tool_pool_.waitForDone();
  QThreadPool::globalInstance()->waitForDone();
}

void Agent::start() {
  const ConfigDir folder = config_dir();
  const QString device_file = QDir(folder.path).filePath(QStringLiteral("device.json"));
  auto& device = state_.add(device::DeviceStore::load(
      device_file, *options_.credentials,
      device::CredentialKey{QString::fromUtf8(build::kAppId), options_.endpoints.api_base()},
      folder.refusal));
  // Settings are looked up at every use; a folder that must not be used gives no file.
  state_.add(Notifier::load(host_, *options_.toaster, [] {
    const ConfigDir now = config_dir();
    if (now.refusal) return QString();
    return QDir(now.path).filePath(QStringLiteral("notifications.json"));
  }));

  const tools::DispatchContext dispatch{tools_,
                                        state_.get<tools::Approvals>(),
                                        state_.get<tools::RunningChats>(),
                                        host_,
                                        *options_.notifications,
                                        tool_pool_,
                                        stop_.get_token()};
  bridge_ = std::make_unique<Bridge>(
      options_.endpoints, device, state_.get<Status>(), host_, *options_.notifications,
      [dispatch](Call call, QString) { return tools::dispatch(std::move(call), dispatch); });
  bridge_->run(stop_.get_token());
}

}  // namespace kavor
