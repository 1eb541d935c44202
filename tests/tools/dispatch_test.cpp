// Calls delivered by the substitute service travel the whole road: bridge, scope, decode,
// approval gate, run, events to the page, and the result record posted back.
#include "tools/dispatch.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "agent/agent_fixture.h"
#include "tools/approvals.h"
#include "tools/paths.h"

namespace kavor::tools {
namespace dispatch_test {
namespace {

using test::CountingNotifications;
using test::wait_until;

std::string string_arg_or(const common::Json& args, const char* key) {
  return args.is_object() && args.contains(key) && args[key].is_string()
             ? args[key].get<std::string>()
             : "";
}

// Tools made for the test: a read, a write that creates a file, and one that runs until stopped.
ToolTable test_tools() {
  ToolTable table;
  table.add("look", [](const common::Json& args, const Scope& scope) -> Result<Decoded> {
    const fs::path target = resolve_path(string_arg_or(args, "path"), scope.root);
    Decoded d;
    d.kind = ToolKind::Read;
    d.summary = display_path(target, scope.root);
    d.outside = !scope.contains(target);
    d.run = [target](const common::StopFlag&) {
      return text_result("looked at " + target.filename().string());
    };
    return d;
  });
  table.add("touch", [](const common::Json& args, const Scope& scope) -> Result<Decoded> {
    if (string_arg_or(args, "path").empty()) return fail("path is empty.");
    const fs::path target = resolve_path(string_arg_or(args, "path"), scope.root);
    Decoded d;
    d.kind = ToolKind::Write;
    d.summary = display_path(target, scope.root);
    d.detail = "+new";
    d.lang = "diff";
    d.outside = !scope.contains(target);
    d.run = [target](const common::StopFlag&) {
      std::ofstream(target) << "x";
      return text_result("Created " + target.filename().string() + ".");
    };
    return d;
  });
  table.add("wait", [](const common::Json&, const Scope&) -> Result<Decoded> {
    Decoded d;
    d.kind = ToolKind::Exec;
    d.summary = "wait";
    d.run = [](const common::StopFlag& stop) {
      for (int i = 0; i < 2000 && !stop->load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      return stop->load() ? fail("Stopped.") : text_result("waited");
    };
    return d;
  });
  // A command that tells whether it would run inside the workspace fence.
  table.add("probe", [](const common::Json&, const Scope&) -> Result<Decoded> {
    Decoded d;
    d.kind = ToolKind::Exec;
    d.summary = "probe";
    d.run_async = [](RunContext context) -> QCoro::Task<ToolResult> {
      co_return text_result(context.fence ? "fenced" : "open");
    };
    return d;
  });
  return table;
}

class DispatchTest : public test::AgentTest {
 protected:
  ToolTable make_tools() override { return test_tools(); }
};

TEST_F(DispatchTest, AReadInsideTheWorkspaceRunsAtOnceAndComesBackAsTheExactRecord) {
  deliver("r1", "look", {{"path", "notes.txt"}});
  const auto record = result("r1");
  ASSERT_TRUE(record);
  EXPECT_EQ(
      record->dump(),
      R"({"call_id":"r1","status":"ok","output":"looked at notes.txt","tool":"look","kind":"read",)"
      R"("summary":"notes.txt","detail":"","lang":"","outside":false,"cwd":"."})");
  EXPECT_EQ(states("r1"), (std::vector<std::string>{"running", "done"}));
  const common::Json done = host_.events(QStringLiteral("agent://call")).back();
  EXPECT_EQ(
      done.dump(),
      R"({"call_id":"r1","chat":"c","tool":"look","kind":"read","summary":"notes.txt","detail":"",)"
      R"("lang":"","outside":false,"cwd":".","memory":false,"unfenced":false,"state":"done",)"
      R"("output":"looked at notes.txt","image":false})");
  EXPECT_EQ(agent_->state().running_chats.size(), 0u);
}

TEST_F(DispatchTest, FailuresBeforeDecodingCarryOnlyTheMessage) {
  deliver("u1", "teleport", common::Json::object());
  EXPECT_EQ(
      result("u1")->dump(),
      R"({"call_id":"u1","status":"error","output":"This version of Kavor Agent does not know the tool teleport. Ask the user to update Kavor Agent."})");
  deliver("u2", "look", common::Json::object(), "c", ws_ / "missing");
  EXPECT_EQ((*result("u2"))["output"], "The workspace folder " + (ws_ / "missing").string() +
                                           " does not exist on this computer.");
  deliver("u3", "touch", nullptr);
  EXPECT_EQ(*result("u3"),
            common::Json({{"call_id", "u3"}, {"status", "error"}, {"output", "path is empty."}}));
  EXPECT_TRUE(host_.events(QStringLiteral("agent://call")).empty());
  // The unknown tool and the failed decoding came after their chat was entered: it was left.
  EXPECT_EQ(agent_->state().running_chats.size(), 0u);
}

TEST_F(DispatchTest, AWriteWaitsForTheUserWhoAllowsAlwaysOrDenies) {
  deliver("w1", "touch", {{"path", "one.txt"}});
  ASSERT_TRUE(wait_until([&] { return states("w1") == std::vector<std::string>{"pending"}; }));
  EXPECT_EQ(notes_.approvals.load(), 1);
  const app::CommandResult pending = command("agent_pending", common::Json::object());
  ASSERT_EQ(pending.value().size(), 1u);
  EXPECT_EQ(pending.value()[0]["call_id"], "w1");
  EXPECT_EQ(pending.value()[0]["summary"], "one.txt");
  EXPECT_FALSE(fs::exists(ws_ / "a" / "one.txt"));

  EXPECT_EQ(command("agent_decide", {{"callId", "w1"}, {"answer", "allow"}}).value(),
            common::Json(true));
  ASSERT_TRUE(result("w1"));
  EXPECT_EQ((*result("w1"))["status"], "ok");
  EXPECT_TRUE(fs::exists(ws_ / "a" / "one.txt"));
  EXPECT_EQ(states("w1"), (std::vector<std::string>{"pending", "running", "done"}));
  EXPECT_TRUE(command("agent_pending", common::Json::object()).value().empty());
  EXPECT_EQ(command("agent_decide", {{"callId", "w1"}, {"answer", "allow"}}).value(),
            common::Json(false));

  deliver("w2", "touch", {{"path", "two.txt"}});
  ASSERT_TRUE(wait_until([&] { return !states("w2").empty(); }));
  EXPECT_EQ(command("agent_decide", {{"callId", "w2"}, {"answer", "always"}}).value(),
            common::Json(true));
  ASSERT_TRUE(result("w2"));
  deliver("w3", "touch", {{"path", "three.txt"}});  // same chat and tool: no more asking
  ASSERT_TRUE(result("w3"));
  EXPECT_EQ(states("w3"), (std::vector<std::string>{"running", "done"}));
  deliver("w4", "touch", {{"path", "four.txt"}}, "other chat");  // another chat still asks
  ASSERT_TRUE(wait_until([&] { return !states("w4").empty(); }));
  EXPECT_EQ(states("w4"), std::vector<std::string>{"pending"});
  deliver("w5", "touch", {{"path", (ws_ / "a-evil" / "x").string()}});  // outside still asks
  ASSERT_TRUE(wait_until([&] { return !states("w5").empty(); }));
  EXPECT_EQ(command("agent_decide", {{"callId", "w4"}, {"answer", "deny"}}).value(),
            common::Json(true));
  EXPECT_EQ(command("agent_decide", {{"callId", "w5"}, {"answer", "deny"}}).value(),
            common::Json(true));
  const auto denied = result("w5");
  ASSERT_TRUE(denied);
  EXPECT_EQ((*denied)["status"], "denied");
  EXPECT_EQ((*denied)["output"], "");
  EXPECT_EQ((*denied)["outside"], true);
  EXPECT_EQ(states("w5"), (std::vector<std::string>{"pending", "denied"}));
  EXPECT_FALSE(fs::exists(ws_ / "a-evil" / "x"));
  EXPECT_FALSE(command("agent_decide", {{"callId", "w9"}, {"answer", "maybe"}}).ok());
}

TEST_F(DispatchTest, NoAnswerInTime) {
  deliver("t1", "touch", {{"path", "late.txt"}});
  // 540 seconds are 5.4 s at this speed.
  const auto record = result("t1", std::chrono::seconds(20));
  ASSERT_TRUE(record);
  EXPECT_EQ((*record)["status"], "denied");
  EXPECT_EQ((*record)["output"], "The user did not answer the approval request in time.");
  EXPECT_EQ(command("agent_decide", {{"callId", "t1"}, {"answer", "allow"}}).value(),
            common::Json(false));
  EXPECT_FALSE(fs::exists(ws_ / "a" / "late.txt"));
}

TEST_F(DispatchTest, ModesDecideInsideAndOutsideTheScope) {
  const std::string inside = "in.txt";
  const std::string outside = (ws_ / "b" / "out.txt").string();
  struct Case {
    const char* mode;
    const char* tool;
    std::string path;
    const char* expected;  // "ok", "denied" (refused at once) or "pending"
  };
  const Case cases[] = {
      {"ask", "look", inside, "ok"},           {"ask", "touch", inside, "pending"},
      {"ask", "look", outside, "pending"},     {"auto", "touch", inside, "ok"},
      {"auto", "look", outside, "pending"},    {"readonly", "look", inside, "ok"},
      {"readonly", "touch", inside, "denied"}, {"readonly", "look", outside, "pending"},
      {"everything", "touch", outside, "ok"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string chat = std::string("chat-") + c.mode;
    const std::string id = "m" + std::to_string(++n);
    ASSERT_TRUE(command("agent_set_mode", {{"chat", chat}, {"mode", c.mode}}).ok());
    deliver(id, c.tool, {{"path", c.path}}, chat);
    if (std::string(c.expected) == "pending") {
      ASSERT_TRUE(wait_until([&] { return !states(id).empty(); })) << id;
      EXPECT_EQ(states(id).front(), "pending") << c.mode << " " << c.tool << " " << c.path;
      ASSERT_TRUE(command("agent_decide", {{"callId", id}, {"answer", "deny"}}).ok());
      ASSERT_TRUE(result(id));
    } else {
      const auto record = result(id);
      ASSERT_TRUE(record) << id;
      EXPECT_EQ((*record)["status"], c.expected) << c.mode << " " << c.tool << " " << c.path;
      if (std::string(c.expected) == "denied") {
        EXPECT_EQ((*record)["output"], kReadonlyRefusal);
      }
    }
  }
  EXPECT_FALSE(command("agent_set_mode", {{"chat", "x"}, {"mode", "sometimes"}}).ok());
}

// A command runs fenced exactly when nobody saw it before it ran: in "auto", and in "ask" once
// the user chose "always" for the tool; a call the user answered, and every call in
// "everything", runs open.
TEST_F(DispatchTest, OnlyACallNobodySawRunsFenced) {
  struct Case {
    const char* mode;
    const char* answer;  // nullptr: runs at once
    const char* expected;
  };
  const Case cases[] = {
      {"ask", "allow", "open"},    {"ask", "always", "open"},       {"ask", nullptr, "fenced"},
      {"auto", nullptr, "fenced"}, {"everything", nullptr, "open"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string chat = std::string("fence-") + c.mode;
    const std::string id = "f" + std::to_string(++n);
    ASSERT_TRUE(set_mode(chat, c.mode));
    deliver(id, "probe", common::Json::object(), chat);
    if (c.answer != nullptr) {
      ASSERT_TRUE(wait_until([&] { return !states(id).empty(); })) << id;
      ASSERT_TRUE(decide(id, c.answer)) << id;
    }
    const auto record = result(id);
    ASSERT_TRUE(record) << id;
    EXPECT_EQ((*record)["output"], c.expected) << c.mode << " " << (c.answer ? c.answer : "-");
  }
}

TEST_F(DispatchTest, AChatKeepsItsWorkspaceWhileItRunsAndRunningCallsCanBeStopped) {
  deliver("s1", "wait", common::Json::object(), "c", ws_ / "a");
  ASSERT_TRUE(command("agent_set_mode", {{"chat", "c"}, {"mode", "everything"}}).ok());
  // The first call's gate ran before the mode changed: answer it.
  ASSERT_TRUE(wait_until([&] { return !states("s1").empty(); }));
  ASSERT_TRUE(command("agent_decide", {{"callId", "s1"}, {"answer", "allow"}}).ok());
  ASSERT_TRUE(wait_until([&] { return states("s1").back() == "running"; }));

  // The refusal comes before the tool is looked up or its arguments decoded.
  const std::string moved =
      "The project folder of this chat changed while it is running. Wait for the running steps "
      "to finish, then run it again.";
  deliver("s2", "look", common::Json::object(), "c", ws_ / "b");
  EXPECT_EQ((*result("s2"))["output"], moved);
  deliver("s2u", "teleport", common::Json::object(), "c", ws_ / "b");
  EXPECT_EQ((*result("s2u"))["output"], moved);
  deliver("s2d", "touch", nullptr, "c", ws_ / "b");
  EXPECT_EQ((*result("s2d"))["output"], moved);

  EXPECT_EQ(command("agent_stop", {{"callId", "s1"}}).value(), common::Json(true));
  const auto stopped = result("s1");
  ASSERT_TRUE(stopped);
  EXPECT_EQ((*stopped)["status"], "error");
  EXPECT_EQ((*stopped)["output"], "Stopped.");
  EXPECT_EQ(command("agent_stop", {{"callId", "s1"}}).value(), common::Json(false));

  deliver("s3", "look", common::Json::object(), "c", ws_ / "b");  // the first call has ended
  EXPECT_EQ((*result("s3"))["status"], "ok");
}

}  // namespace
}  // namespace dispatch_test
}  // namespace kavor::tools

#include "app/tools.h"

namespace kavor::tools {
namespace dispatch_test {
namespace {

// The program's own tools on the same road: an edit waits for approval with its diff, runs,
// and comes back as the exact record; a dangling link out of the workspace is marked outside.
class RealToolsTest : public test::AgentTest {};

TEST_F(RealToolsTest, AnEditIsApprovedWithItsDiffAndRunsOnTheFile) {
  std::ofstream(ws_ / "a" / "notes.txt") << "one\ntwo\nthree\n";
  deliver("e1", "edit_file", {{"path", "notes.txt"}, {"old_text", "two"}, {"new_text", "2"}});
  ASSERT_TRUE(wait_until([&] { return !states("e1").empty(); }));
  const common::Json pending = command("agent_pending", common::Json::object()).value();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0]["detail"], "@@ -1,3 +1,3 @@\n one\n-two\n+2\n three\n");
  EXPECT_EQ(pending[0]["lang"], "diff");
  EXPECT_EQ(command("agent_decide", {{"callId", "e1"}, {"answer", "allow"}}).value(),
            common::Json(true));
  const auto record = result("e1");
  ASSERT_TRUE(record);
  EXPECT_EQ(
      record->dump(),
      R"({"call_id":"e1","status":"ok","output":"Edited notes.txt (1 replacement).","tool":"edit_file",)"
      R"("kind":"write","summary":"notes.txt","detail":"@@ -1,3 +1,3 @@\n one\n-two\n+2\n three\n",)"
      R"("lang":"diff","outside":false,"cwd":"."})");
  std::ifstream in(ws_ / "a" / "notes.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "one\n2\nthree\n");
}

// A docker call reaches past the fence: in "auto" it waits for the user, on a card that says
// so and shows the command as it is.
TEST_F(RealToolsTest, ADockerCallAsksInAutoOnACardThatSaysItIsUnfenced) {
  ASSERT_TRUE(set_mode("c", "auto"));
  const std::string host_root = "docker run --privileged --pid=host alpine nsenter -t 1 -m sh";
  deliver("d1", "docker",
          {{"args",
            {"run", "--privileged", "--pid=host", "alpine", "nsenter", "-t", "1", "-m", "sh"}}});
  ASSERT_TRUE(wait_until([&] { return !states("d1").empty(); }));
  const common::Json pending = command("agent_pending", common::Json::object()).value();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0]["unfenced"], true);
  EXPECT_EQ(pending[0]["summary"], host_root);
  EXPECT_EQ(pending[0]["detail"], host_root);
  ASSERT_TRUE(decide("d1", "deny"));
  EXPECT_EQ((*result("d1"))["status"], "denied");
}

TEST_F(RealToolsTest, ADanglingLinkOutOfTheWorkspaceIsOutsideAndNothingIsWrittenWithoutAsking) {
  ASSERT_TRUE(command("agent_set_mode", {{"chat", "c"}, {"mode", "auto"}}).ok());
  fs::create_symlink(ws_ / "b" / "new.txt", ws_ / "a" / "out");
  deliver("l1", "write_file", {{"path", "out"}, {"content", "hello"}});
  ASSERT_TRUE(wait_until([&] { return !states("l1").empty(); }));
  EXPECT_EQ(states("l1"), std::vector<std::string>{"pending"});  // auto mode asks for outside
  EXPECT_FALSE(fs::exists(ws_ / "b" / "new.txt"));
  ASSERT_TRUE(command("agent_decide", {{"callId", "l1"}, {"answer", "deny"}}).ok());
  const auto record = result("l1");
  ASSERT_TRUE(record);
  EXPECT_EQ((*record)["status"], "denied");
  EXPECT_EQ((*record)["outside"], true);
  EXPECT_FALSE(fs::exists(ws_ / "b" / "new.txt"));

  deliver("g1", "grep", {{"pattern", "one"}, {"path", "."}});
  EXPECT_EQ((*result("g1"))["status"], "ok");
}

}  // namespace
}  // namespace dispatch_test
}  // namespace kavor::tools
