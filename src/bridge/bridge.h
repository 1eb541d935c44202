// The bridge: the agent's one inbound channel from the service. One loop long-polls for tool
// calls addressed to this computer, starts a task per call that runs it and posts the result,
// keeps the connection status, and forgets the device when the service rejects its secret.
#pragma once

#include <qcorotask.h>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <stop_token>

#include "common/endpoints.h"
#include "common/json.h"
#include "tools/call.h"

namespace kavor {
namespace common {
class Host;
class HttpClient;
}  // namespace common
namespace desktop {
class Notifications;
}
namespace device {
class DeviceStore;
}
}  // namespace kavor

namespace kavor::bridge {

struct Status;

// Wait while this computer is not linked, before looking again.
inline constexpr std::chrono::milliseconds kUnlinkedWait{2'000};
// A poll still open after this long means the service holds it: the link works. It judges a
// real request, which answers well within it when the service does not hold it, so no test
// clock shortens it: a poll that is merely slow on a busy machine would count as held.
inline constexpr std::chrono::milliseconds kHeldPollMeansOnline{1'500};
// How long the connection must stay down before the user is told.
inline constexpr std::chrono::milliseconds kOfflineNoticeDelay{20'000};
inline constexpr std::chrono::seconds kPollBackoffMax{30};
inline constexpr std::chrono::seconds kResultBackoffMax{15};
// Result posts are retried until this much waiting has passed.
inline constexpr std::chrono::seconds kResultGiveUpAfter{120};

// Runs one call and returns its result record (the body posted to /bridge/result).
using CallRunner = std::function<QCoro::Task<common::Json>(tools::Call call, QString secret)>;

class Bridge {
 public:
  Bridge(common::Endpoints endpoints, device::DeviceStore& device, Status& status,
         common::Host& host, desktop::Notifications& notifications, CallRunner runner);
  ~Bridge();

  // The poll loop; runs until `stop` is requested.
  QCoro::Task<> run(std::stop_token stop);

  // Posts one result record, retrying with back-off (1, 2, 4, 8, 15, 15 ... seconds) until the
  // service accepts it (2xx, or 404 for a call it no longer knows) or 120 seconds of waiting
  // have passed. Returns whether it was delivered.
  static QCoro::Task<bool> post_result(common::HttpClient& client, common::Endpoints endpoints,
                                       QString secret, common::Json record);

 private:
  QCoro::Task<> poll_loop(std::stop_token stop);
  void set_connected(bool online);
  // Checks after kOfflineNoticeDelay whether the link is still down since change `changes`.
  void check_offline_later(std::uint64_t changes);
  void notice_offline(std::uint64_t changes);
  QCoro::Task<> run_call(tools::Call call, QString secret, std::stop_token stop);

  common::Endpoints endpoints_;
  device::DeviceStore& device_;
  Status& status_;
  common::Host& host_;
  desktop::Notifications& notifications_;
  CallRunner runner_;
  // One client for the loop and every call task it starts; tasks keep it alive.
  std::shared_ptr<common::HttpClient> client_;
  std::stop_token stop_;
  // Tasks started by the loop (delayed checks, calls) check this before touching the bridge,
  // so they may outlive it harmlessly.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  // Context of the delayed offline checks: a check still waiting when the bridge goes is
  // dropped with its timer, where a suspended coroutine would be left behind for ever.
  QObject timers_;
};

}  // namespace kavor::bridge
