// Concurrent users of the whole agent: commands that wait on the service or the credential
// store while the agent ends, an unlink overtaken by a new link, stops that land while a call
// waits for a thread or for its turn at a file, and memory changes racing edits of the same file.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "agent/agent_fixture.h"
#include "app/tools.h"
#include "common/build_config.h"
#include "support/temp_tree.h"
#include "tools/memory.h"
#include "tools/path_locks.h"

namespace kavor::tools {
namespace races_test {
namespace {

using test::wait_until;

// Held shut until the test opens it; runs of the tool "hold" wait for it.
class Latch {
 public:
  void wait() {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
  }
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    opened_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

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
  // The program's tools, and "hold": a read that runs until the latch opens, holding the turn
  // of the workspace file named by `turn` meanwhile when given.
  ToolTable make_tools() override {
    ToolTable table;
    app::install_tools(table, agent_->browsers());
    table.add(
        "hold", [latch = latch_](const common::Json& args, const Scope& scope) -> Result<Decoded> {
          const std::string turn = args.value("turn", "");
          Decoded decoded;
          decoded.summary = "hold";
          decoded.run = [latch, file = turn.empty() ? fs::path()
                                                    : scope.root / turn](const common::StopFlag&) {
            std::optional<PathLock> held;
            if (!file.empty()) held.emplace(file);
            latch->wait();
            return text_result("held");
          };
          return decoded;
        });
    return table;
  }

  void TearDown() override {
    latch_->open();
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
  std::shared_ptr<Latch> latch_ = std::make_shared<Latch>();
  SlowStore* slow_ = nullptr;
};

TEST_F(RacesTest, CommandsWaitingOnTheServiceOrTheStoreOutliveTheAgentHarmlessly) {
  use_slow_store();
  struct Case {
    const char* name;
    const char* command;
    common::Json args;
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
      {"unlink waiting for the credential store", "agent_unlink", common::Json::object(),
       [&] { slow_->delay_ms = 300; }, [&] { return slow_->busy.load(); }},
  };
  for (const Case& c : cases) {
    svc_.clear_routes();
    svc_.set_default("GET", "/bridge/poll", service::Reply::held());
    svc_.clear_requests();
    slow_->busy = false;
    c.arrange();
    QCoro::Task<app::CommandResult> waiting = agent_->commands().invoke(c.command, c.args);
    ASSERT_TRUE(wait_until(c.waiting)) << c.name;

    agent_.reset();  // the window closes now
    svc_.release_held(service::Reply::json(200, registration));
    ASSERT_TRUE(wait_until([&] { return waiting.isReady(); })) << c.name;
    const app::CommandResult answer = test::run(std::move(waiting));
    EXPECT_FALSE(answer.ok()) << c.name;
    EXPECT_EQ(answer.message(), "Kavor Agent is closing.") << c.name;

    slow_->delay_ms = 0;
    start_agent();
  }
}

TEST_F(RacesTest, AnUnlinkOvertakenByANewLinkKeepsTheNewLink) {
  // The service is slow to delete the old registration; meanwhile the user links again. The
  // poll of the old link must be held first: one that reached the service only after the
  // release below would stay held, and the loop would poll with the new secret only after it.
  ASSERT_TRUE(wait_until([&] { return svc_.held_count() == 1; }));
  svc_.set_default("DELETE", "/bridge/devices/{id}", service::Reply::held());
  svc_.set_default("POST", "/bridge/devices", service::Reply::json(200, registration));
  QCoro::Task<app::CommandResult> unlinking =
      agent_->commands().invoke("agent_unlink", {{"token", "sign-in"}});
  ASSERT_TRUE(wait_until([&] { return !svc_.requests("DELETE", "/bridge/devices/{id}").empty(); }));
  EXPECT_EQ(svc_.requests("DELETE", "/bridge/devices/{id}")[0].path, "/bridge/devices/d");
  const app::CommandResult linked = command("agent_link", {{"token", "link"}});
  ASSERT_TRUE(linked.ok()) << linked.message();
  EXPECT_EQ(linked.value()["device"]["id"], "d2");

  svc_.release_held(service::Reply::json(204, ""));
  ASSERT_TRUE(wait_until([&] { return unlinking.isReady(); }));
  const app::CommandResult unlinked = test::run(std::move(unlinking));
  ASSERT_TRUE(unlinked.ok());
  // The old registration is gone; the one the page was told about stays, on disk too.
  EXPECT_EQ(unlinked.value()["device"], linked.value()["device"]);
  EXPECT_EQ(device().secret(), QStringLiteral("s2"));
  EXPECT_EQ(
      device::DeviceStore::load(device().file_path(), *creds_,
                                {QString::fromUtf8(common::build::kAppId), endpoints().api_base()})
          ->secret(),
      QStringLiteral("s2"));
  ASSERT_TRUE(wait_until([&] {
    const auto polls = svc_.requests("GET", "/bridge/poll");
    return !polls.empty() && polls.back().header("authorization") == "Bearer s2";
  }));

  // An unlink that nothing overtakes still forgets.
  EXPECT_TRUE(command("agent_unlink", common::Json::object()).value()["device"].is_null());
  EXPECT_FALSE(device().linked());
}

TEST_F(RacesTest, AStoppedCallChangesNothingHoweverLongItWaitedToStart) {
  ASSERT_TRUE(set_mode("c", "everything"));
  test::write_file(ws_ / "a" / "f.txt", "old\n");
  struct Case {
    const char* name;
    const char* held_turn;  // "": every thread of the tools is taken instead
    const char* tool;
    common::Json args;
  } cases[] = {
      {"write waiting for a free thread", "", "write_file", {{"path", "f.txt"}, {"content", "x"}}},
      {"write waiting for the file", "f.txt", "write_file", {{"path", "f.txt"}, {"content", "x"}}},
      {"edit waiting for the file",
       "f.txt",
       "edit_file",
       {{"path", "f.txt"}, {"old_text", "old"}, {"new_text", "new"}}},
      {"memory waiting for the overview",
       ".kavor-agent/index.md",
       "save_memory",
       {{"slug", "m"}, {"title", "M"}, {"content", "remember"}}},
  };
  int n = 0;
  for (const Case& c : cases) {
    latch_ = std::make_shared<Latch>();
    agent_->tools() = make_tools();
    const std::string prefix = "stop-" + std::to_string(++n);
    const int holders = *c.held_turn == 0 ? app::kToolThreads : 1;
    for (int i = 0; i < holders; ++i) {
      const std::string id = prefix + "-hold-" + std::to_string(i);
      deliver(id, "hold", {{"turn", c.held_turn}});
      ASSERT_TRUE(wait_until([&] { return states(id) == std::vector<std::string>{"running"}; }));
    }
    const std::string id = prefix + "-change";
    deliver(id, c.tool, c.args);
    ASSERT_TRUE(wait_until([&] { return states(id) == std::vector<std::string>{"running"}; }))
        << c.name;
    // Give the run time to reach the turn it waits for, when it waits for one.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(command("agent_stop", {{"callId", id}}).value(), common::Json(true)) << c.name;
    latch_->open();

    const auto record = result(id);
    ASSERT_TRUE(record) << c.name;
    EXPECT_EQ((*record)["status"], "error") << c.name;
    EXPECT_EQ((*record)["output"], "[stopped by the user]") << c.name;
    EXPECT_EQ(test::read_file(ws_ / "a" / "f.txt"), "old\n") << c.name;
    EXPECT_FALSE(fs::exists(ws_ / "a" / ".kavor-agent" / "memory" / "m.md")) << c.name;
    for (int i = 0; i < holders; ++i) {
      ASSERT_TRUE(result(prefix + "-hold-" + std::to_string(i))) << c.name;
    }
  }
}

TEST(MemoryRaceTest, AMemoryChangeWaitsWhileAnEditOfItsFileIsUnderWay) {
  QTemporaryDir dir;
  const fs::path root = fs::canonical(dir.path().toStdString());
  const Scope scope{root, {}};
  const fs::path memory = root / ".kavor-agent" / "memory";
  fs::create_directories(memory);
  // An edit checks the file against the text it was approved for, then writes: a memory change
  // landing in between would be undone by the edit, though both report success.
  struct Case {
    const char* name;
    common::Json args;
    Decoder tool;
    bool stays;  // the memory file exists afterwards
  } cases[] = {
      {"save", {{"slug", "x"}, {"title", "Saved"}, {"content", "SAVED"}}, save_memory_tool(), true},
      {"forget", {{"slug", "x"}}, forget_memory_tool(), false},
  };
  for (const Case& c : cases) {
    test::write_file(memory / "x.md", "---\ntitle: X\n---\n\nedited\n");
    Decoded change = c.tool(c.args, scope).value();
    auto editing = std::make_unique<PathLock>(memory / "x.md");  // an edit's turn at the file
    std::atomic<bool> done{false};
    ToolResult changed = ToolOutput{};
    std::thread changing([&] {
      changed = change.run(nullptr);
      done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(done.load()) << c.name << ": changed the file during the edit";
    EXPECT_EQ(test::read_file(memory / "x.md"), "---\ntitle: X\n---\n\nedited\n") << c.name;
    editing.reset();
    changing.join();
    EXPECT_TRUE(changed.ok()) << c.name << ": " << changed.message();
    EXPECT_EQ(fs::exists(memory / "x.md"), c.stays) << c.name;
  }

  // A memory file that leads to the overview itself is one turn, not two taken one after the
  // other by the same run. (Saving through it is refused; forgetting removes the link.)
  fs::create_symlink("../index.md", memory / "x.md");
  const common::Json save = {{"slug", "x"}, {"title", "Loop"}, {"content", "loop"}};
  EXPECT_FALSE(save_memory_tool()(save, scope).ok());
  Decoded looping = forget_memory_tool()({{"slug", "x"}}, scope).value();
  std::atomic<bool> done{false};
  std::thread saving([&] {
    static_cast<void>(looping.run(nullptr));  // only that it ends matters
    done = true;
  });
  const bool ended = wait_until([&] { return done.load(); }, std::chrono::seconds(5));
  EXPECT_TRUE(ended);
  if (ended) {
    saving.join();
  } else {
    saving.detach();
  }
}

}  // namespace
}  // namespace races_test
}  // namespace kavor::tools
