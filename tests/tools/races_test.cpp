// Concurrent users of the whole agent: commands that wait on the service or the credential
// store while the agent ends, and an unlink overtaken by a new link.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "common/build_config.h"
#include "tools/agent_fixture.h"

namespace kavor::tools {
namespace {

using test::wait_until;

// The real credential store, with writes and removals that take a while when asked to (as a
// locked keyring does), telling when one has begun.
class SlowStore : public device::CredentialStore {
 public:
  explicit SlowStore(std::unique_ptr<device::CredentialStore> real) : real_(std::move(real)) {}
  std::optional<QString> read(const QString& s, const QString& a) override {
    return real_->read(s, a);
  }
  bool write(const QString& s, const QString& a, const QString& p) override {
    busy = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms.load()));
    return real_->write(s, a, p);
  }
  void remove(const QString& s, const QString& a) override {
    busy = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms.load()));
    real_->remove(s, a);
  }
  std::atomic<int> delay_ms{0};
  std::atomic<bool> busy{false};

 private:
  std::unique_ptr<device::CredentialStore> real_;
};

class RacesTest : public test::AgentTest {
 protected:
  void TearDown() override {
    if (slow_) slow_->delay_ms = 0;
    AgentTest::TearDown();
  }

  // The agent again, on a credential store that can be slowed down.
  void use_slow_store() {
    agent_.reset();
    auto slow = std::make_unique<SlowStore>(device::system_credential_store());
    slow_ = slow.get();
    creds_ = std::move(slow);
    start_agent();
  }

  const std::string registration = R"({"device":{"id":"d2"},"secret":"s2"})";
  SlowStore* slow_ = nullptr;
};

TEST_F(RacesTest, CommandsWaitingOnTheServiceOrTheStoreOutliveTheAgentHarmlessly) {
  use_slow_store();
  struct Case {
    const char* name;
    const char* command;
    Json args;
    std::function<void()> arrange;  // makes the command wait
    std::function<bool()> waiting;  // the command waits now
  } cases[] = {
      {"link waiting for the service",
       "agent_link",
       {{"token", "t"}},
       [&] { svc_.set_default("POST", "/bridge/devices", service::Reply::held()); },
       [&] { return !svc_.requests("POST", "/bridge/devices").empty(); }},
      {"unlink waiting for the service",
       "agent_unlink",
       {{"token", "t"}},
       [&] { svc_.set_default("DELETE", "/bridge/devices/{id}", service::Reply::held()); },
       [&] { return !svc_.requests("DELETE", "/bridge/devices/{id}").empty(); }},
      {"link waiting for the credential store",
       "agent_link",
       {{"token", "t"}},
       [&] {
         svc_.set_default("POST", "/bridge/devices", service::Reply::json(200, registration));
         slow_->delay_ms = 300;
       },
       [&] { return slow_->busy.load(); }},
      {"unlink waiting for the credential store", "agent_unlink", Json::object(),
       [&] { slow_->delay_ms = 300; }, [&] { return slow_->busy.load(); }},
  };
  for (const Case& c : cases) {
    svc_.clear_routes();
    svc_.set_default("GET", "/bridge/poll", service::Reply::held());
    svc_.clear_requests();
    slow_->busy = false;
    c.arrange();
    QCoro::Task<CommandResult> waiting = agent_->commands().invoke(c.command, c.args);
    ASSERT_TRUE(wait_until(c.waiting)) << c.name;

    agent_.reset();  // the window closes now
    svc_.release_held(service::Reply::json(200, registration));
    ASSERT_TRUE(wait_until([&] { return waiting.isReady(); })) << c.name;
    const CommandResult answer = test::run(std::move(waiting));
    EXPECT_FALSE(answer.ok) << c.name;
    EXPECT_EQ(answer.error, QStringLiteral("Kavor Agent is closing.")) << c.name;

    slow_->delay_ms = 0;
    start_agent();
  }
}

TEST_F(RacesTest, AnUnlinkOvertakenByANewLinkKeepsTheNewLink) {
  // The service is slow to delete the old registration; meanwhile the user links again.
  svc_.set_default("DELETE", "/bridge/devices/{id}", service::Reply::held());
  svc_.set_default("POST", "/bridge/devices", service::Reply::json(200, registration));
  QCoro::Task<CommandResult> unlinking =
      agent_->commands().invoke("agent_unlink", {{"token", "sign-in"}});
  ASSERT_TRUE(wait_until([&] { return !svc_.requests("DELETE", "/bridge/devices/{id}").empty(); }));
  EXPECT_EQ(svc_.requests("DELETE", "/bridge/devices/{id}")[0].path, "/bridge/devices/d");
  const CommandResult linked = command("agent_link", {{"token", "link"}});
  ASSERT_TRUE(linked.ok) << linked.error.toStdString();
  EXPECT_EQ(linked.value["device"]["id"], "d2");

  svc_.release_held(service::Reply::json(204, ""));
  ASSERT_TRUE(wait_until([&] { return unlinking.isReady(); }));
  const CommandResult unlinked = test::run(std::move(unlinking));
  ASSERT_TRUE(unlinked.ok);
  // The old registration is gone; the one the page was told about stays, on disk too.
  EXPECT_EQ(unlinked.value["device"], linked.value["device"]);
  EXPECT_EQ(device().secret(), QStringLiteral("s2"));
  EXPECT_EQ(device::DeviceStore::load(device().file_path(), *creds_,
                                      {QString::fromUtf8(build::kAppId), endpoints().api_base()})
                ->secret(),
            QStringLiteral("s2"));
  ASSERT_TRUE(wait_until([&] {
    const auto polls = svc_.requests("GET", "/bridge/poll");
    return !polls.empty() && polls.back().header("authorization") == "Bearer s2";
  }));

  // An unlink that nothing overtakes still forgets.
  EXPECT_TRUE(command("agent_unlink", Json::object()).value["device"].is_null());
  EXPECT_FALSE(device().linked());
}

}  // namespace
}  // namespace kavor::tools
