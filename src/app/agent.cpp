#include "app/agent.h"

#include <QDir>

#include "app/commands.h"
#include "bridge/bridge.h"
#include "bridge/status.h"
#include "common/build_config.h"
#include "common/config_dir.h"
#include "common/host.h"
#include "desktop/notifications.h"
#include "desktop/watchdog.h"
#include "device/credential_store.h"
#include "device/device_store.h"
#include "tools/approvals.h"
#include "tools/dispatch.h"
#include "tools/install.h"

namespace kavor {

namespace {

// Without a notifier, requests for a notification are answered "not shown".
class NoNotifications : public Notifications {
 public:
  bool notify(const NotifyRequest&) override { return false; }
  void clear_shown() override {}
};

}  // namespace

Agent::Agent(AgentOptions options, Host& host) : options_(std::move(options)), host_(host) {
  if (options_.notifications == nullptr) {
    own_notifications_ = std::make_unique<NoNotifications>();
    options_.notifications = own_notifications_.get();
  }
  if (options_.credentials == nullptr) {
    own_credentials_ = device::system_credential_store();
    options_.credentials = own_credentials_.get();
  }
  tool_pool_.setMaxThreadCount(kToolThreads);
  // Created before any page runs, in this order; later objects may refer to earlier ones.
  state_.add(std::make_unique<tools::Approvals>());
  state_.add(std::make_unique<Status>());
  state_.add(std::make_unique<Watchdog>());
  state_.add(std::make_unique<tools::RunningChats>());
  tools::install_tools(tools_);
  install_commands(commands_, CommandContext{options_.endpoints, state_, host_,
                                             *options_.notifications, stop_.get_token()});
}

Agent::~Agent() {
  // The steps of the header's ending, in order.
  stop_.request_stop();
  if (auto* approvals = state_.find<tools::Approvals>()) approvals->stop_all();
  bridge_.reset();
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
