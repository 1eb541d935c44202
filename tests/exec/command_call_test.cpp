// A command call on the whole road: delivered by the substitute service through the held poll,
// decoded, held for approval, run with its output streamed to the page, and posted back.
#include <gtest/gtest.h>

#include "run_support.h"
#include "agent/agent_fixture.h"

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
    for (const Json& e : host_.events(QStringLiteral("agent://output"))) {
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
  EXPECT_EQ(command("agent_stop", {{"callId", "s2"}}).value(), Json(true));
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
  const Json card = host_.events(QStringLiteral("agent://call")).back();
  const Json pending = command("agent_pending", Json::object()).value().at(0);
  ASSERT_TRUE(decide("h1", "allow"));
  const auto record = result("h1");
  ASSERT_TRUE(record);
  for (const Json& shown : {card, pending, *record}) {
    EXPECT_EQ(shown["summary"], summary);
    EXPECT_EQ(shown["detail"], detail);
  }
  EXPECT_EQ((*record)["output"], "txt.\u202Eexe\r\n\x1B[2Kdone\n");
}

}  // namespace
}  // namespace command_call_test
}  // namespace kavor::tools
