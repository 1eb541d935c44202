// The whole agent against the substitute service: a linked device, the real bridge loop, the
// dispatcher with the program's tools (or a test table), the command table, a recording host.
// Calls are delivered through a held poll, as the service delivers them.
#pragma once

#include <gtest/gtest.h>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/agent.h"
#include "app/tools.h"
#include "common/timing.h"
#include "desktop/notifications.h"
#include "device/credential_store.h"
#include "device/device_store.h"
#include "support/recording_host.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor::test {

namespace fs = std::filesystem;

class CountingNotifications : public desktop::Notifications {
 public:
  bool notify(const desktop::NotifyRequest& r) override {
    if (r.kind == desktop::NotifyKind::Approval) ++approvals;
    if (r.kind == desktop::NotifyKind::Unlinked) ++unlinked;
    return true;
  }
  void clear_shown() override {}
  std::atomic<int> approvals{0};
  std::atomic<int> unlinked{0};
};

class AgentTest : public ::testing::Test {
 protected:
  // The tools the agent runs; the program's own unless a test says otherwise.
  virtual tools::ToolTable make_tools() {
    tools::ToolTable table;
    app::install_tools(table, agent_->browsers());
    return table;
  }

  void SetUp() override {
    common::timing::set_speedup(100);
    ws_ = fs::canonical(dir_.path().toStdString());
    for (const char* folder : {"a", "b", "a-evil", "config"}) fs::create_directories(ws_ / folder);
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((ws_ / "config").string()));
    svc_.set_default("GET", "/bridge/poll", service::Reply::held());
    svc_.set_default("POST", "/bridge/result", service::Reply::json(200, "{}"));
    start_agent();
  }

  void TearDown() override {
    if (agent_) device().forget();
    agent_.reset();
    svc_.release_held();
    common::timing::set_speedup(1);
  }

  void start_agent() {
    agent_ =
        std::make_unique<app::Agent>(app::AgentOptions{endpoints(), creds_.get(), &notes_}, host_);
    agent_->tools() = make_tools();
    agent_->start();
    ASSERT_TRUE(
        device().save({QStringLiteral("d"), QStringLiteral("n"), QStringLiteral("s")}).ok());
  }

  device::DeviceStore& device() { return agent_->state().device_store(); }

  common::Endpoints endpoints() const {
    return common::Endpoints(QString::fromStdString(svc_.base_url() + "/"),
                             QString::fromStdString(svc_.base_url()));
  }

  // Delivers one call: it answers the next poll. The poll held now is let go first, so that
  // the next one comes at once (a held poll may also have been given up by its client, whose
  // time-out is short at this speed; a call released into it would be lost).
  void deliver(const std::string& id, const std::string& tool, common::Json args,
               const std::string& chat = "c", const fs::path& workspace = {}) {
    common::Json call = {{"id", id},
                         {"tool", tool},
                         {"args", std::move(args)},
                         {"chat", chat},
                         {"workspace", (workspace.empty() ? ws_ / "a" : workspace).string()}};
    svc_.enqueue("GET", "/bridge/poll",
                 service::Reply::json(200, common::Json({{"call", call}}).dump()));
    svc_.release_held();
  }

  // Every result record posted for `id`, in order.
  std::vector<common::Json> results(const std::string& id) const {
    std::vector<common::Json> found;
    for (const auto& r : svc_.requests("POST", "/bridge/result")) {
      common::Json body = common::Json::parse(r.body);
      if (body["call_id"] == id) found.push_back(body);
    }
    return found;
  }

  // The last result record posted for `id`, waiting for one.
  std::optional<common::Json> result(const std::string& id,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::optional<common::Json> found;
    wait_until(
        [&] {
          const auto all = results(id);
          if (!all.empty()) found = all.back();
          return found.has_value();
        },
        timeout);
    return found;
  }

  std::vector<std::string> states(const std::string& id) const {
    std::vector<std::string> out;
    for (const common::Json& e : host_.events(QStringLiteral("agent://call"))) {
      if (e["call_id"] == id) out.push_back(e["state"].get<std::string>());
    }
    return out;
  }

  app::CommandResult command(const std::string& name, common::Json args) {
    return run(agent_->commands().invoke(name, args));
  }
  bool set_mode(const std::string& chat, const std::string& mode) {
    return command("agent_set_mode", {{"chat", chat}, {"mode", mode}}).ok();
  }
  bool decide(const std::string& id, const std::string& answer) {
    return command("agent_decide", {{"callId", id}, {"answer", answer}}).value() ==
           common::Json(true);
  }

  service::TestService svc_;
  QTemporaryDir dir_;
  fs::path ws_;
  std::unique_ptr<device::CredentialStore> creds_ = device::system_credential_store();
  RecordingHost host_;
  CountingNotifications notes_;
  std::unique_ptr<app::Agent> agent_;
};

}  // namespace kavor::test
