// A command call on the whole road: delivered by the substitute service through the held poll,
// decoded, held for approval, run with its output streamed to the page, and posted back.
#include <gtest/gtest.h>

#include <fstream>

#include "agent/agent_fixture.h"
#include "common/config_dir.h"
#include "exec/fence.h"
#include "run_support.h"

namespace kavor::tools {
namespace command_call_test {
namespace {

using kavor::test::wait_until;

class CommandCallTest : public kavor::test::AgentTest {
 protected:
  // Orphans of the commands come to this process, which collects them.
  static void SetUpTestSuite() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
  void TearDown() override {
    AgentTest::TearDown();
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }
  fs::path folder() const { return ws_ / "a"; }
  std::string streamed(const std::string& id) const {
    std::string out;
    for (const common::Json& e : host_.events(QStringLiteral("agent://output"))) {
      if (e["call_id"] == id) out += e["chunk"].get<std::string>();
    }
    return out;
  }
};

TEST_F(CommandCallTest, AShellCallWaitsForApprovalRunsStreamsAndPostsItsResult) {
  deliver("s1", "shell", {{"command", "for i in 1 2 3; do echo line $i; done"}});
  ASSERT_TRUE(wait_until([&] { return states("s1") == std::vector<std::string>{"pending"}; }));
  EXPECT_TRUE(streamed("s1").empty());  // nothing runs before the user allows it
  EXPECT_TRUE(decide("s1", "allow"));
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
  ASSERT_TRUE(set_mode("c", "everything"));
  deliver("s2", "shell",
          {{"command", "setsid sleep 300 & echo $! > pids; sleep 301 & echo $! >> pids; wait"}});
  ASSERT_TRUE(wait_until([&] { return exec::test::pids_in(folder() / "pids").size() == 2; }));
  const auto pids = exec::test::pids_in(folder() / "pids");
  EXPECT_EQ(command("agent_stop", {{"callId", "s2"}}).value(), common::Json(true));
  const auto record = result("s2");
  ASSERT_TRUE(record);
  EXPECT_EQ((*record)["status"], "error");
  EXPECT_EQ((*record)["output"], "(no output)\n[stopped by the user]\n[exit code 137]");
  EXPECT_TRUE(exec::test::all_gone(pids));
}

// What the user approves reads as what runs: a direction override and an escape sequence show
// escaped on the card, in the pending list and in the record (a Windows line end stays a line
// end), while the command runs as sent and its output reaches the assistant untouched.
TEST_F(CommandCallTest, HiddenCharactersOfACommandAreShownEscapedAndItRunsAsSent) {
  const std::string summary = "echo 'txt.<U+202E>exe' \u2026";
  const std::string detail = "echo 'txt.<U+202E>exe'\r\necho <U+001B>[2Kdone";
  deliver("h1", "shell", {{"command", "echo 'txt.\u202Eexe'\r\necho \x1B[2Kdone"}});
  ASSERT_TRUE(wait_until([&] { return !states("h1").empty(); }));
  const common::Json card = host_.events(QStringLiteral("agent://call")).back();
  const common::Json pending = command("agent_pending", common::Json::object()).value().at(0);
  ASSERT_TRUE(decide("h1", "allow"));
  const auto record = result("h1");
  ASSERT_TRUE(record);
  for (const common::Json& shown : {card, pending, *record}) {
    EXPECT_EQ(shown["summary"], summary);
    EXPECT_EQ(shown["detail"], detail);
  }
  EXPECT_EQ((*record)["output"], "txt.\u202Eexe\r\n\x1B[2Kdone\n");
}

// The user sees why a command asks: its reason comes on the card and in the pending list after
// the summary, escaped as the summary is, and stays on the card once the call is answered. The
// assistant's record has the keys it always had. A call inside has no reason.
TEST_F(CommandCallTest, ACommandJudgedOutsideShowsWhyOnItsCardAndInThePendingList) {
  struct Case {
    const char* id;
    common::Json args;
    std::string reason;
  };
  const Case cases[] = {
      {"o1",
       {{"command", "cat ../a-evil/notes"}},
       "'../a-evil/notes' names a place outside the workspace."},
      {"o2", {{"command", "cd ~ && ls"}}, "'cd ~' leaves the workspace."},
      {"o3",
       {{"command", "ls"}, {"cwd", "../b"}},
       "The folder '" + (ws_ / "b").string() + "' is outside the workspace."},
      {"o4",
       {{"command", "cat ../a-evil/\u202Etxt.exe"}},
       "'../a-evil/<U+202E>txt.exe' names a place outside the workspace."},
      {"i1", {{"command", "cat notes"}}, ""},
  };
  for (const Case& c : cases) {
    deliver(c.id, "shell", c.args);
    ASSERT_TRUE(wait_until([&] { return states(c.id) == std::vector<std::string>{"pending"}; }))
        << c.id;
    const common::Json card = host_.events(QStringLiteral("agent://call")).back();
    const common::Json pending = command("agent_pending", common::Json::object()).value().at(0);
    ASSERT_TRUE(decide(c.id, "deny"));
    const auto record = result(c.id);
    ASSERT_TRUE(record);
    for (const common::Json& shown :
         {card, pending, host_.events(QStringLiteral("agent://call")).back()}) {
      EXPECT_EQ(shown.value("reason", ""), c.reason) << c.id;
      EXPECT_EQ(shown["outside"], !c.reason.empty()) << c.id;
    }
    EXPECT_FALSE(record->contains("reason")) << c.id;
  }
}

// A command judged inside the workspace that reads credentials through a script it wrote: in
// "auto" it runs at once, inside the fence, reads nothing and says why; the same command the
// user approved runs as it always did.
TEST_F(CommandCallTest, AnUnapprovedCommandRunsFencedAndAnApprovedOneAsItIs) {
  if (exec::landlock_abi() == 0) GTEST_SKIP() << "the kernel offers no Landlock";
  const fs::path home = ws_ / "home";
  fs::create_directories(home / ".ssh");
  std::ofstream(home / ".ssh" / "id_rsa") << "PRIVATE KEY\n";
  const fs::path config = common::config_dir().path.toStdString();
  fs::create_directories(config);
  std::ofstream(config / "probe") << "DEVICE SECRET\n";
  struct RestoreHome {
    QByteArray old = qgetenv("HOME");
    ~RestoreHome() { qputenv("HOME", old); }
  } restore_home;
  qputenv("HOME", QByteArray::fromStdString(home.string()));
  std::ofstream(folder() / "peek.sh")
      << "cat \"$HOME/.ssh/id_rsa\"; cat '" + (config / "probe").string() + "'\n";

  ASSERT_TRUE(set_mode("c", "auto"));
  deliver("f1", "shell", {{"command", "sh peek.sh"}});
  const auto fenced = result("f1");
  ASSERT_TRUE(fenced);
  EXPECT_EQ((*fenced)["outside"], false);
  EXPECT_EQ((*fenced)["status"], "error");
  const std::string output = (*fenced)["output"];
  // Refused, or (below the run's own /tmp, where this test's folders are) not there at all.
  EXPECT_NE(output.find(home.string() + "/.ssh/id_rsa: "), std::string::npos) << output;
  EXPECT_NE(output.find("probe: "), std::string::npos) << output;
  EXPECT_EQ(output.find("PRIVATE KEY"), std::string::npos);
  EXPECT_EQ(output.find("DEVICE SECRET"), std::string::npos);
  EXPECT_TRUE(output.ends_with(std::string("\n[exit code 1]") + exec::kFenceLine)) << output;
  EXPECT_EQ(states("f1"), (std::vector<std::string>{"running", "error"}));

  ASSERT_TRUE(set_mode("c", "ask"));
  deliver("f2", "shell", {{"command", "sh peek.sh"}});
  ASSERT_TRUE(wait_until([&] { return states("f2") == std::vector<std::string>{"pending"}; }));
  EXPECT_TRUE(decide("f2", "allow"));
  const auto approved = result("f2");
  ASSERT_TRUE(approved);
  EXPECT_EQ((*approved)["status"], "ok");
  EXPECT_EQ((*approved)["output"], "PRIVATE KEY\nDEVICE SECRET\n");
}

}  // namespace
}  // namespace command_call_test
}  // namespace kavor::tools
