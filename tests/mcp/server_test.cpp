// A protocol session fed as a client feeds it: hostile and mistaken messages, the revisions'
// differences, approvals by elicitation, live output, cancellation and the client's roots.
#include "mcp/server.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "session.h"
#include "support/temp_tree.h"
#include "tools/command_tools.h"
#include "tools/file_tools.h"

namespace kavor::mcp {
namespace server_test {
namespace {

using kavor::test::wait_until;

class ServerTest : public ::testing::Test {
 protected:
  ServerTest() {
    tools::install_file_tools(table_);
    tools::install_command_tools(table_);
    std::ofstream(ws_ + "/a.txt") << "hello\n";
  }
  ~ServerTest() override {
    // The calls end before what they use does: a gate or a stop left queued would otherwise
    // wake in a later test, on approvals that are gone.
    if (session_) {
      session_->server->close();
      wait_until([&] { return session_->server->live_calls() == 0; }, std::chrono::seconds(30));
    }
    session_.reset();
    pool_.waitForDone();
    QCoreApplication::processEvents();
  }
  test::Session& start(tools::Mode mode, std::vector<std::string> workspaces = {}) {
    approvals_.set_mode(kChat, mode);
    if (workspaces.empty()) workspaces = {ws_};
    session_ = std::make_unique<test::Session>(table_, shapes_, approvals_, running_, relay_, pool_,
                                               ServerOptions{std::move(workspaces), mode});
    return *session_;
  }
  static std::string text_of(const common::Json& answer) {
    return answer["result"]["content"][0]["text"].get<std::string>();
  }
  static int code_of(const common::Json& answer) { return answer["error"]["code"].get<int>(); }

  kavor::test::TempTree tree_;
  std::string ws_ = tree_.path();
  tools::ToolTable table_;
  std::vector<tools::ToolShape> shapes_ = tools::core_tool_shapes();
  tools::Approvals approvals_;
  tools::RunningChats running_;
  EventRelay relay_;
  QThreadPool pool_;
  std::unique_ptr<test::Session> session_;
};

TEST_F(ServerTest, MalformedEarlyUnknownAndMistypedMessagesGetTheProtocolsErrors) {
  test::Session& s = start(tools::Mode::Everything);
  struct Case {
    const char* why;
    std::string line;
    int code;  // 0: no answer at all
  };
  const std::vector<Case> before = {
      {"a request before initialize", R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})",
       kInvalidRequest},
      {"not JSON", R"({"jsonrpc":"2.0","id":2,"method")", kParseError},
      {"a batch", R"([{"jsonrpc":"2.0","id":3,"method":"ping"}])", kInvalidRequest},
      {"a bare number", "42", kInvalidRequest},
      {"an object as id", R"({"jsonrpc":"2.0","id":{},"method":"ping"})", kInvalidRequest},
      {"another JSON-RPC", R"({"jsonrpc":"1.0","id":4,"method":"ping"})", kInvalidRequest},
      {"params that are a list", R"({"jsonrpc":"2.0","id":5,"method":"ping","params":[]})",
       kInvalidRequest},
      {"initialize without a revision",
       R"({"jsonrpc":"2.0","id":6,"method":"initialize","params":{}})", kInvalidParams},
      {"a response to nothing asked", R"({"jsonrpc":"2.0","id":"kavor-9","result":{}})", 0},
      {"an unknown notification", R"({"jsonrpc":"2.0","method":"notifications/whatever"})", 0},
      {"a duplicate key", R"({"jsonrpc":"2.0","id":7,"id":8,"method":"ping"})", kParseError},
      {"nesting a million deep", std::string(1'000'000, '[') + std::string(1'000'000, ']'),
       kParseError},
      {"params nested twelve thousand deep (a copy would run the stack out)",
       R"({"jsonrpc":"2.0","id":9,"method":"ping","params":{"a":)" + std::string(12'000, '[') +
           std::string(12'000, ']') + "}}",
       kParseError},
      {"an object of a million members (finding each key is linear)",
       [] {
         std::string line = R"({"jsonrpc":"2.0","id":15,"method":"ping","params":{)";
         for (int i = 0; i < 1'000'000; ++i) line += "\"k" + std::to_string(i) + "\":0,";
         line.back() = '}';
         return line + "}";
       }(),
       kParseError},
      {"commas inside strings and arrays are no members",
       R"({"jsonrpc":"2.0","id":16,"method":"initialize","params":{"x":")" +
           std::string(5000, ',') + R"(","y":[)" +
           [] {
             std::string many;
             for (int i = 0; i < 5000; ++i) many += "0,";
             return many + "0";
           }() +
           "]}}",
       kInvalidParams},
      {"brackets inside strings are no nesting",
       R"({"jsonrpc":"2.0","id":14,"method":"initialize","params":{"x":")" + std::string(500, '[') +
           R"(\"{"}})",
       kInvalidParams},
  };
  const std::vector<Case> after = {
      {"an unknown method", R"({"jsonrpc":"2.0","id":10,"method":"resources/list"})",
       kMethodNotFound},
      {"a second initialize",
       R"({"jsonrpc":"2.0","id":11,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})",
       kInvalidRequest},
      {"a call without a name", R"({"jsonrpc":"2.0","id":12,"method":"tools/call","params":{}})",
       kInvalidParams},
      {"a call of no tool",
       R"({"jsonrpc":"2.0","id":13,"method":"tools/call","params":{"name":"rm_rf"}})",
       kInvalidParams},
  };
  const auto check = [&](const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.why);
      const std::size_t before_count = s.sent.size();
      s.server->receive_line(c.line);
      if (c.code == 0) {
        EXPECT_EQ(s.sent.size(), before_count);
        continue;
      }
      ASSERT_EQ(s.sent.size(), before_count + 1);
      EXPECT_EQ(code_of(s.sent.back()), c.code) << s.sent.back().dump();
    }
  };
  check(before);
  ASSERT_TRUE(s.open("2025-11-25").contains("result"));
  check(after);
  s.server->receive_oversized();
  EXPECT_EQ(s.sent.back()["error"]["message"],
            "The message is longer than the limit of 32 MiB and was dropped.");
  // Arguments of the wrong type are the tool's error, which the model can read and correct.
  s.call(20, "read_file", {{"path", 5}});
  EXPECT_EQ(text_of(s.answer(20)), "path must be a string.");
  s.call(21, "docker", {{"args", {"ps", 3}}});
  EXPECT_EQ(text_of(s.answer(21)), "args must be a list of strings.");
  s.call(22, "glob", common::Json::object());
  EXPECT_EQ(text_of(s.answer(22)), "pattern is missing.");
  EXPECT_TRUE(s.answer(22)["result"]["isError"].get<bool>());
}

// What a revision lacks is not offered: titles beside the name, elicitation, its choices' form.
TEST_F(ServerTest, EachRevisionGetsItsOwnAnswerAndAnUnknownOneTheNewest) {
  struct Case {
    std::string asked;
    std::string answered;
    bool titles;
    const char* choices;  // the key of the choices in the elicitation, "" for a refusal
  };
  const Case cases[] = {{"2025-11-25", "2025-11-25", true, "oneOf"},
                        {"2025-06-18", "2025-06-18", true, "enumNames"},
                        {"2025-03-26", "2025-03-26", false, ""},
                        {"2024-11-05", "2025-11-25", true, "oneOf"},
                        {"1999-01-01", "2025-11-25", true, "oneOf"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.asked);
    test::Session& s = start(tools::Mode::Ask);
    const common::Json init = s.open(c.asked, {{"elicitation", common::Json::object()}});
    EXPECT_EQ(init["result"]["protocolVersion"], c.answered);
    EXPECT_EQ(init["result"]["serverInfo"].contains("title"), c.titles);
    s.request("list", "tools/list");
    const common::Json tools = s.answer("list")["result"]["tools"];
    ASSERT_EQ(tools.size(), table_.names().size());
    for (const common::Json& tool : tools) {
      EXPECT_EQ(tool.contains("title"), c.titles);
      EXPECT_TRUE(tool["annotations"].contains("readOnlyHint"));
    }
    s.call("w", "write_file", {{"path", "new.txt"}, {"content", "x"}});
    if (std::string(c.choices).empty()) {
      EXPECT_NE(text_of(s.answer("w")).find("--mode auto"), std::string::npos);
      continue;
    }
    const common::Json ask = s.asked("elicitation/create");
    EXPECT_TRUE(ask["params"]["requestedSchema"]["properties"]["decision"].contains(c.choices));
    s.reply(ask["id"], {{"action", "decline"}});
    EXPECT_EQ(text_of(s.answer("w")), "The user denied this call, so it was not run.");
  }
  EXPECT_FALSE(std::filesystem::exists(ws_ + "/new.txt"));
}

// The user reads the exact change, with what would hide shown visibly; "always" lasts for the
// tool, the other answers for one call.
TEST_F(ServerTest, AnEditIsAskedWithItsDiffAndRunsOnceAllowed) {
  test::Session& s = start(tools::Mode::Ask);
  s.open("2025-11-25", {{"elicitation", {{"form", common::Json::object()}}}});
  s.call("e1", "edit_file", {{"path", "a.txt"}, {"old_text", "hello"}, {"new_text", "bye\u202E"}});
  const common::Json ask = s.asked("elicitation/create");
  const std::string message = ask["params"]["message"];
  EXPECT_EQ(ask["params"]["mode"], "form");
  EXPECT_NE(message.find("edit_file: a.txt"), std::string::npos) << message;
  EXPECT_NE(message.find("+bye<U+202E>"), std::string::npos) << message;
  s.reply(ask["id"], {{"action", "accept"}, {"content", {{"decision", "always"}}}});
  EXPECT_FALSE(s.answer("e1")["result"]["isError"].get<bool>());
  s.call("e2", "edit_file", {{"path", "a.txt"}, {"old_text", "bye"}, {"new_text", "again"}});
  EXPECT_FALSE(s.answer("e2")["result"]["isError"].get<bool>());
  EXPECT_EQ(kavor::test::read_file(ws_ + "/a.txt"), "again\u202E\n");
  EXPECT_EQ(std::count_if(s.sent.begin(), s.sent.end(),
                          [](const common::Json& m) {
                            return m.value("method", "") == "elicitation/create";
                          }),
            1);
}

TEST_F(ServerTest, OutputStreamsAsProgressAndACancelStopsTheCallWithoutAnAnswer) {
  test::Session& s = start(tools::Mode::Everything);
  s.open("2025-11-25");
  s.call("p", "shell", {{"command", "echo one; sleep 0.2; echo two"}}, {{"progressToken", "tok"}});
  EXPECT_EQ(text_of(s.answer("p")), "one\ntwo\n");
  std::string streamed;
  double last = 0;
  for (const common::Json& m : s.sent) {
    if (m.value("method", "") != "notifications/progress") continue;
    EXPECT_EQ(m["params"]["progressToken"], "tok");
    EXPECT_GT(m["params"]["progress"].get<double>(), last);
    last = m["params"]["progress"].get<double>();
    streamed += m["params"]["message"].get<std::string>();
  }
  EXPECT_EQ(streamed, "one\ntwo\n");

  s.call(7, "shell", {{"command", "sleep 60"}});
  ASSERT_TRUE(wait_until([&] { return s.server->live_calls() == 1; }));
  QThread::msleep(200);
  s.notify("notifications/cancelled", {{"requestId", 7}, {"reason", "enough"}});
  EXPECT_TRUE(wait_until([&] { return s.server->live_calls() == 0; }, std::chrono::seconds(10)));
  EXPECT_TRUE(s.answer(7, std::chrono::milliseconds(300)).is_null());
}

// A cancel while the user is being asked: the call is refused, the question withdrawn, and the
// gate holds nothing of it.
TEST_F(ServerTest, ACancelDuringApprovalWithdrawsTheQuestion) {
  test::Session& s = start(tools::Mode::Ask);
  s.open("2025-06-18", {{"elicitation", common::Json::object()}});
  s.call("c", "shell", {{"command", "touch made"}});
  const common::Json ask = s.asked("elicitation/create");
  s.notify("notifications/cancelled", {{"requestId", "c"}});
  const common::Json withdrawn = s.wait_for([&](const common::Json& m) {
    return m.value("method", "") == "notifications/cancelled" &&
           m["params"]["requestId"] == ask["id"];
  });
  EXPECT_FALSE(withdrawn.is_null());
  EXPECT_TRUE(wait_until([&] { return s.server->live_calls() == 0; }));
  EXPECT_EQ(approvals_.pending(), common::Json::array());
  // A late answer to the withdrawn question decides nothing.
  s.reply(ask["id"], {{"action", "accept"}, {"content", {{"decision", "allow"}}}});
  QCoreApplication::processEvents();
  EXPECT_FALSE(std::filesystem::exists(ws_ + "/made"));
  EXPECT_TRUE(s.answer("c", std::chrono::milliseconds(300)).is_null());
}

TEST_F(ServerTest, TheClientsRootsAreTheWorkspaceWhenNoneWasGiven) {
  // No folder and no roots: the tools say so.
  approvals_.set_mode(kChat, tools::Mode::Everything);
  session_ = std::make_unique<test::Session>(table_, shapes_, approvals_, running_, relay_, pool_,
                                             ServerOptions{{}, tools::Mode::Everything});
  session_->open("2025-11-25");
  session_->call(1, "read_file", {{"path", "a.txt"}});
  EXPECT_EQ(text_of(session_->answer(1)), "No workspace folder is selected.");

  session_ = std::make_unique<test::Session>(table_, shapes_, approvals_, running_, relay_, pool_,
                                             ServerOptions{{}, tools::Mode::Everything});
  test::Session& s = *session_;
  s.open("2025-11-25", {{"roots", {{"listChanged", true}}}});
  const common::Json roots = s.asked("roots/list");
  s.call(2, "read_file", {{"path", "a.txt"}});  // waits for the roots
  common::Json listed = common::Json::array();
  listed.push_back({{"uri", "https://example.com/"}});
  listed.push_back({{"uri", "file://" + ws_}, {"name", "ws"}});
  s.reply(roots["id"], {{"roots", listed}});
  EXPECT_EQ(text_of(s.answer(2)), "     1\thello\n");
  s.notify("notifications/roots/list_changed");
  EXPECT_TRUE(wait_until([&] {
    return std::count_if(s.sent.begin(), s.sent.end(), [](const common::Json& m) {
             return m.value("method", "") == "roots/list";
           }) == 2;
  }));
}

// A call waiting for the client's roots has started nothing: a cancel drops it unanswered (the
// roots arriving later run nothing), and the session's end, closed or destroyed, drops it at once
// with nothing left suspended.
TEST_F(ServerTest, ACallWaitingForTheRootsIsDroppedByACancelOrTheSessionsEnd) {
  enum class End { Cancel, Close, Destroy };
  for (const End end : {End::Cancel, End::Close, End::Destroy}) {
    SCOPED_TRACE(static_cast<int>(end));
    approvals_.set_mode(kChat, tools::Mode::Everything);
    session_ = std::make_unique<test::Session>(table_, shapes_, approvals_, running_, relay_, pool_,
                                               ServerOptions{{}, tools::Mode::Everything});
    test::Session& s = *session_;
    s.open("2025-11-25", {{"roots", common::Json::object()}});
    const common::Json roots = s.asked("roots/list");
    s.call(7, "write_file", {{"path", "dropped.txt"}, {"content", "x"}});
    ASSERT_EQ(s.server->live_calls(), 1u);
    if (end == End::Cancel) {
      s.notify("notifications/cancelled", {{"requestId", 7}});
      EXPECT_EQ(s.server->live_calls(), 0u);
      s.reply(roots["id"], {{"roots", {{{"uri", "file://" + ws_}}}}});
      s.call(8, "read_file", {{"path", "a.txt"}});
      EXPECT_EQ(text_of(s.answer(8)), "     1\thello\n");
      EXPECT_TRUE(s.answer(7, std::chrono::milliseconds(0)).is_null());
    } else if (end == End::Close) {
      s.server->close();
      EXPECT_EQ(s.server->live_calls(), 0u);
    } else {
      session_.reset();
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(std::filesystem::exists(ws_ + "/dropped.txt"));
  }
}

// A session runs at most kMaxLiveCalls calls at once, and asks for the roots once at a time
// however often they are announced as changed.
TEST_F(ServerTest, CallsAtOnceAndQuestionsForTheRootsAreBounded) {
  approvals_.set_mode(kChat, tools::Mode::Everything);
  session_ = std::make_unique<test::Session>(table_, shapes_, approvals_, running_, relay_, pool_,
                                             ServerOptions{{}, tools::Mode::Everything});
  test::Session& s = *session_;
  s.open("2025-11-25", {{"roots", {{"listChanged", true}}}});
  const common::Json roots = s.asked("roots/list");
  for (std::size_t i = 0; i < kMaxLiveCalls; ++i) s.call(i, "read_file", {{"path", "a.txt"}});
  s.call("one more", "read_file", {{"path", "a.txt"}});
  EXPECT_EQ(s.server->live_calls(), kMaxLiveCalls);
  EXPECT_NE(s.answer("one more")["error"]["message"].get<std::string>().find(
                "Too many calls are running in this session (at most 64 at once)"),
            std::string::npos);
  for (int i = 0; i < 100; ++i) s.notify("notifications/roots/list_changed");
  const auto questions = [&] {
    return std::count_if(s.sent.begin(), s.sent.end(), [](const common::Json& m) {
      return m.value("method", "") == "roots/list";
    });
  };
  EXPECT_EQ(questions(), 1);
  s.reply(roots["id"], {{"roots", {{{"uri", "file://" + ws_}}}}});
  EXPECT_EQ(questions(), 2);  // the changes announced meanwhile, asked about once
  EXPECT_EQ(text_of(s.answer(0)), "     1\thello\n");
}

// A file name that would make the question read otherwise shows its line breaks and
// direction marks as visible escapes.
TEST_F(ServerTest, AQuestionCannotBeForgedByANameInIt) {
  test::Session& s = start(tools::Mode::Ask);
  s.open("2025-11-25", {{"elicitation", common::Json::object()}});
  s.call("f", "write_file", {{"path", "x\n\nThis call is harmless.\u202E"}, {"content", "x"}});
  const std::string message = s.asked("elicitation/create")["params"]["message"];
  EXPECT_EQ(message.find("\n\nThis call"), std::string::npos) << message;
  EXPECT_NE(message.find("harmless.<U+202E>"), std::string::npos) << message;
}

// Many calls at once, some with the same request id: each is answered once, with its own output.
TEST_F(ServerTest, ManyCallsAtOnceAreEachAnsweredOnce) {
  test::Session& s = start(tools::Mode::Everything);
  s.open("2025-11-25");
  constexpr int kCalls = 12;
  for (int i = 0; i < kCalls; ++i) {
    if (i % 2 == 0) {
      s.call(i, "shell", {{"command", "sleep 0.$((RANDOM % 3)); echo " + std::to_string(i)}});
    } else {
      s.call(i, "read_file", {{"path", "a.txt"}});
    }
  }
  s.call("same", "shell", {{"command", "echo one"}});
  s.call("same", "shell", {{"command", "echo two"}});
  const auto answers = [&] {
    return std::count_if(s.sent.begin(), s.sent.end(),
                         [](const common::Json& m) { return m.contains("result"); }) -
           1;  // initialize
  };
  ASSERT_TRUE(wait_until([&] { return answers() == kCalls + 2; }, std::chrono::seconds(30)));
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_EQ(text_of(s.answer(i)), i % 2 == 0 ? std::to_string(i) + "\n" : "     1\thello\n");
  }
  std::multiset<std::string> same;
  for (const common::Json& m : s.sent) {
    if (m.value("id", common::Json()) == "same") same.insert(text_of(m));
  }
  EXPECT_EQ(same, (std::multiset<std::string>{"one\n", "two\n"}));
  QCoreApplication::processEvents();
  EXPECT_EQ(answers(), kCalls + 2);
  EXPECT_EQ(s.server->live_calls(), 0u);
}

// The client vanished: nothing waits for it and nothing more is written.
TEST_F(ServerTest, ClosingStopsRunningAndWaitingCallsAndSendsNothingMore) {
  test::Session& s = start(tools::Mode::Ask);
  s.open("2025-11-25", {{"elicitation", common::Json::object()}});
  approvals_.set_mode(kChat, tools::Mode::Ask);
  s.call("wait", "write_file", {{"path", "w.txt"}, {"content", "x"}});
  s.asked("elicitation/create");
  approvals_.set_mode(kChat, tools::Mode::Everything);
  s.call("run", "shell", {{"command", "sleep 60"}});
  ASSERT_TRUE(wait_until([&] { return s.server->live_calls() == 2; }));
  QThread::msleep(200);
  const std::size_t sent = s.sent.size();
  s.server->close();
  EXPECT_TRUE(wait_until([&] { return s.server->live_calls() == 0; }, std::chrono::seconds(10)));
  // Nothing sent after the end starts anything.
  s.call("late", "write_file", {{"path", "late.txt"}, {"content", "x"}});
  EXPECT_EQ(s.server->live_calls(), 0u);
  QCoreApplication::processEvents();
  EXPECT_EQ(s.sent.size(), sent);
  EXPECT_FALSE(std::filesystem::exists(ws_ + "/w.txt"));
  EXPECT_FALSE(std::filesystem::exists(ws_ + "/late.txt"));
}

}  // namespace
}  // namespace server_test
}  // namespace kavor::mcp
