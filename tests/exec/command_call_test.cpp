// A command call on the whole road: delivered by the substitute service through the held poll,
// decoded, held for approval, run with its output streamed to the page, and posted back.
#include <gtest/gtest.h>

#include "app/command_table.h"
#include "app/commands.h"
#include "app/state_registry.h"
#include "bridge/bridge.h"
#include "bridge/status.h"
#include "desktop/notifications.h"
#include "desktop/watchdog.h"
#include "device/credential_store.h"
#include "device/device_store.h"
#include "run_support.h"
#include "support/recording_host.h"
#include "test_service.h"
#include "tools/approvals.h"
#include "tools/dispatch.h"
#include "tools/install.h"
#include "tools/tool_table.h"

namespace kavor::tools {
namespace {

using kavor::test::wait_until;
using service::Reply;
using service::TestService;

class QuietNotifications : public Notifications {
 public:
  bool notify(const NotifyRequest&) override { return true; }
  void clear_shown() override {}
};

class CommandCallTest : public exec::test::RealProcessTest {
 protected:
  void SetUp() override {
    install_tools(tools_);
    state_.add(std::make_unique<Approvals>());
    state_.add(std::make_unique<Status>());
    state_.add(std::make_unique<Watchdog>());
    state_.add(std::make_unique<RunningChats>());
    device_ = &state_.add(device::DeviceStore::load(
        QString::fromStdString((folder_ / "device.json").string()), *creds_,
        {QStringLiteral("kavor-command-call-test"), QStringLiteral("x")}));
    ASSERT_EQ(device_->save({QStringLiteral("d"), QStringLiteral("n"), QStringLiteral("s")}),
              std::nullopt);
    install_commands(commands_, CommandContext{endpoints(), state_, host_, notes_});
    svc_.set_default("GET", "/bridge/poll", Reply::held());
    svc_.set_default("POST", "/bridge/result", Reply::json(200, "{}"));
    DispatchContext ctx{tools_, state_.get<Approvals>(), state_.get<RunningChats>(), host_, notes_,
                        pool_};
    bridge_ = std::make_unique<Bridge>(
        endpoints(), *device_, state_.get<Status>(), host_, notes_,
        [ctx](Call call, QString) { return dispatch(std::move(call), ctx); });
    task_.emplace(bridge_->run(stop_.get_token()));
  }
  void TearDown() override {
    stop_.request_stop();
    svc_.release_held();
    wait_until([&] { return task_->isReady(); });
    bridge_.reset();
    device_->forget();
    RealProcessTest::TearDown();
  }
  Endpoints endpoints() const {
    return Endpoints(QString::fromStdString(svc_.base_url() + "/"),
                     QString::fromStdString(svc_.base_url()));
  }
  void deliver(const std::string& id, const std::string& tool, Json args) {
    const Json call = {{"id", id},
                       {"tool", tool},
                       {"args", std::move(args)},
                       {"chat", "c"},
                       {"workspace", folder_.string()}};
    ASSERT_TRUE(wait_until([&] { return svc_.held_count() == 1; }));
    svc_.release_held(Reply::json(200, Json({{"call", call}}).dump()));
  }
  std::optional<Json> result(const std::string& id) {
    std::optional<Json> found;
    wait_until([&] {
      for (const auto& r : svc_.requests("POST", "/bridge/result")) {
        Json body = Json::parse(r.body);
        if (body["call_id"] == id) found = body;
      }
      return found.has_value();
    });
    return found;
  }
  std::vector<std::string> states(const std::string& id) const {
    std::vector<std::string> out;
    for (const Json& e : host_.events(QStringLiteral("agent://call"))) {
      if (e["call_id"] == id) out.push_back(e["state"].get<std::string>());
    }
    return out;
  }
  std::string streamed(const std::string& id) const {
    std::string out;
    for (const Json& e : host_.events(QStringLiteral("agent://output"))) {
      if (e["call_id"] == id) out += e["chunk"].get<std::string>();
    }
    return out;
  }
  Json command(const std::string& name, Json args) {
    return kavor::test::run(commands_.invoke(name, args)).value;
  }

  TestService svc_;
  StateRegistry state_;
  std::unique_ptr<device::CredentialStore> creds_ = device::system_credential_store();
  device::DeviceStore* device_ = nullptr;
  kavor::test::RecordingHost host_;
  QuietNotifications notes_;
  CommandTable commands_;
  ToolTable tools_;
  QThreadPool pool_;
  std::unique_ptr<Bridge> bridge_;
  std::optional<QCoro::Task<>> task_;
  std::stop_source stop_;
};

TEST_F(CommandCallTest, AShellCallWaitsForApprovalRunsStreamsAndPostsItsResult) {
  deliver("s1", "shell", {{"command", "for i in 1 2 3; do echo line $i; done"}});
  ASSERT_TRUE(wait_until([&] { return states("s1") == std::vector<std::string>{"pending"}; }));
  EXPECT_TRUE(streamed("s1").empty());  // nothing runs before the user allows it
  EXPECT_EQ(command("agent_decide", {{"callId", "s1"}, {"answer", "allow"}}), Json(true));
  const auto record = result("s1");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->dump(),
            R"({"call_id":"s1","status":"ok","output":"line 1\nline 2\nline 3\n","tool":"shell",)"
            R"("kind":"exec","summary":"for i in 1 2 3; do echo line $i; done",)"
            R"("detail":"for i in 1 2 3; do echo line $i; done","lang":"bash","outside":false,)"
            R"("cwd":"."})");
  EXPECT_EQ(streamed("s1"), "line 1\nline 2\nline 3\n");
  EXPECT_EQ(states("s1"), (std::vector<std::string>{"pending", "running", "done"}));
}

TEST_F(CommandCallTest, AgentStopEndsARunningCommandAndItsChildren) {
  ASSERT_TRUE(
      kavor::test::run(commands_.invoke("agent_set_mode", {{"chat", "c"}, {"mode", "everything"}}))
          .ok);
  deliver("s2", "shell",
          {{"command", "setsid sleep 300 & echo $! > pids; sleep 301 & echo $! >> pids; wait"}});
  ASSERT_TRUE(wait_until([&] { return exec::test::pids_in(folder_ / "pids").size() == 2; }));
  const auto pids = exec::test::pids_in(folder_ / "pids");
  EXPECT_EQ(command("agent_stop", {{"callId", "s2"}}), Json(true));
  const auto record = result("s2");
  ASSERT_TRUE(record);
  EXPECT_EQ((*record)["status"], "error");
  EXPECT_EQ((*record)["output"], "(no output)\n[stopped by the user]\n[exit code 137]");
  EXPECT_TRUE(exec::test::all_gone(pids));
}

}  // namespace
}  // namespace kavor::tools
