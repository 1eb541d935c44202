// The page state fed by protocol events, the texts made from it, the connection's routing
// over a transport the test plays the browser on, and the pipes under it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <thread>

#include "browser/connection.h"
#include "browser/page_state.h"
#include "browser/readback.h"
#include "browser/transport.h"
#include "support/wait.h"

namespace kavor::browser {
namespace page_state_test {
namespace {

const Clock::time_point kNow = Clock::now();

common::Json request(const std::string& id, const std::string& url, double at,
                     const char* type = "Image") {
  return {{"requestId", id}, {"loaderId", "L"}, {"frameId", "main"},
          {"type", type},    {"timestamp", at}, {"request", {{"method", "GET"}, {"url", url}}}};
}

TEST(PageState, RepeatsAreCountedAndProblemsKeptApart) {
  PageState page;
  page.reset("main");
  const common::Json warning = {
      {"type", "warning"},
      {"args", {{{"type", "string"}, {"value", "careful"}}}},
      {"stackTrace", {{"callFrames", {{{"url", "http://a.test/x.js"}, {"lineNumber", 4}}}}}}};
  for (int i = 0; i < 50; ++i) page.apply("Runtime.consoleAPICalled", warning, kNow);
  page.apply(
      "Runtime.consoleAPICalled",
      {{"type", "log"}, {"args", {{{"type", "number"}, {"value", 7}}, {{"type", "undefined"}}}}},
      kNow);
  page.apply("Log.entryAdded",
             {{"entry", {{"source", "network"}, {"level", "error"}, {"text", "skipped"}}}}, kNow);
  page.apply("Log.entryAdded",
             {{"entry", {{"source", "other"}, {"level", "verbose"}, {"text", "v"}}}}, kNow);
  page.apply(
      "Runtime.exceptionThrown",
      {{"exceptionDetails",
        {{"text", "Uncaught"},
         {"exception",
          {{"description",
            "TypeError: x is not a function\n    at f (http://a.test/x.js:3:9)\n    at g"}}}}}},
      kNow);
  const std::optional<Answer> answer =
      page.apply("Page.javascriptDialogOpening",
                 {{"type", "prompt"}, {"message", "name?"}, {"defaultPrompt", "Ada"}}, kNow);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->method, "Page.handleJavaScriptDialog");
  EXPECT_EQ(answer->params, (common::Json{{"accept", true}, {"promptText", "Ada"}}));

  const std::vector<ConsoleEntry> expected = {
      {"warn", "careful (http://a.test/x.js:5)", 50},
      {"log", "7 undefined", 1},
      {"debug", "v", 1},
      {"exception", "Uncaught TypeError: x is not a function at f (http://a.test/x.js:3:9)", 1},
      {"info", "prompt dialog \"name?\" was accepted", 1},
  };
  EXPECT_EQ(page.take_console().entries, expected);
  const Drained<ConsoleEntry> problems = page.take_problems();
  ASSERT_EQ(problems.entries.size(), 2u);
  EXPECT_EQ(problems.entries[0].count, 50u);
  EXPECT_TRUE(page.take_console().entries.empty());
}

TEST(PageState, NetworkEventsTrackTheDocumentFailuresAndBounds) {
  PageState page;
  page.reset("main");
  page.apply("Page.frameStartedLoading", {{"frameId", "main"}}, kNow);
  page.apply("Page.frameStartedLoading", {{"frameId", "child"}}, kNow);
  EXPECT_FALSE(page.loaded());
  EXPECT_EQ(page.navigation_counter(), 1u);
  common::Json doc = request("D", "http://a.test/", 10.0, "Document");
  doc["loaderId"] = "D";
  page.apply("Network.requestWillBeSent", doc, kNow);
  // A redirect logs the first hop as finished with the redirect's status.
  common::Json hop = doc;
  hop["timestamp"] = 10.1;
  hop["request"]["url"] = "http://a.test/home";
  hop["redirectResponse"] = {{"status", 302}};
  page.apply("Network.requestWillBeSent", hop, kNow);
  page.apply("Network.responseReceived", {{"requestId", "D"}, {"response", {{"status", 200}}}},
             kNow);
  page.apply("Network.loadingFinished", {{"requestId", "D"}, {"timestamp", 10.35}}, kNow);
  page.apply("Network.requestWillBeSent", request("img", "http://a.test/missing.png", 11), kNow);
  page.apply("Network.responseReceived", {{"requestId", "img"}, {"response", {{"status", 404}}}},
             kNow);
  page.apply("Network.loadingFinished", {{"requestId", "img"}, {"timestamp", 11.0004}}, kNow);
  page.apply("Network.requestWillBeSent", request("x", "http://a.test/api", 12), kNow);
  page.apply("Network.loadingFailed",
             {{"requestId", "x"}, {"errorText", "net::ERR_ABORTED"}, {"canceled", true}}, kNow);
  page.apply("Network.requestWillBeSent", request("y", "http://down.test/", 12), kNow);
  page.apply("Network.loadingFailed",
             {{"requestId", "y"}, {"errorText", "net::ERR_NAME_NOT_RESOLVED"}}, kNow);
  page.apply("Network.requestWillBeSent", request("z", "http://a.test/slow", 13), kNow);
  page.apply("Page.frameNavigated", {{"frame", {{"id", "main"}, {"url", "http://a.test/home"}}}},
             kNow);
  page.apply("Page.frameNavigated",
             {{"frame", {{"id", "c"}, {"parentId", "main"}, {"url", "http://ad.test/"}}}}, kNow);
  page.apply("Page.navigatedWithinDocument",
             {{"frameId", "main"}, {"url", "http://a.test/home#top"}}, kNow);
  page.apply("Page.loadEventFired", common::Json::object(), kNow);

  EXPECT_TRUE(page.loaded());
  EXPECT_EQ(page.url(), "http://a.test/home#top");
  EXPECT_EQ(page.document_status(), 200);
  EXPECT_EQ(page.in_flight(), 1u);
  EXPECT_EQ(network_report(page.take_network()),
            "Requests since the last check (method, status, type, url, time):\n"
            "GET 302 Document http://a.test/ 100ms\n"
            "GET 200 Document http://a.test/home 250ms\n"
            "GET 404 Image http://a.test/missing.png 0ms\n"
            "GET failed Image http://a.test/api net::ERR_ABORTED\n"
            "GET failed Image http://down.test/ net::ERR_NAME_NOT_RESOLVED\n"
            "GET pending Image http://a.test/slow");
  // The canceled request logs no console entry; the 404 and the unresolved host do.
  EXPECT_EQ(console_report(page.take_console()),
            "Console since the last check (every level):\n"
            "failed: 404 GET http://a.test/missing.png\n"
            "failed: GET http://down.test/ net::ERR_NAME_NOT_RESOLVED");

  // A page that starts requests without end cannot grow the tables past their bounds.
  for (int i = 0; i < 5000; ++i) {
    page.apply("Network.requestWillBeSent", request("r" + std::to_string(i), "http://a.test/", 1),
               kNow);
  }
  EXPECT_LE(page.in_flight(), kInFlightLimit + 1);
  for (int i = 0; i < 300; ++i) {
    page.apply("Runtime.consoleAPICalled",
               {{"type", "log"}, {"args", {{{"type", "string"}, {"value", std::to_string(i)}}}}},
               kNow);
  }
  const Drained<ConsoleEntry> console = page.take_console();
  EXPECT_EQ(console.entries.size(), kConsoleLimit);
  EXPECT_EQ(console.dropped, 100u);
  EXPECT_EQ(console_lines(console, 200, "").substr(0, 38),
            "[... 100 earlier entries ...]\nlog: 100");
}

TEST(PageState, HostileEventsAreReadAsAbsentValues) {
  PageState page;
  page.reset("main");
  const common::Json junk[] = {nullptr,
                               5,
                               "text",
                               common::Json::array(),
                               {{"requestId", 5}},
                               {{"request", "x"}},
                               {{"args", "not a list"}},
                               {{"entry", 3}},
                               {{"frame", {{"url", 9}}}},
                               {{"exceptionDetails", {{"exception", 1}}}},
                               {{"response", {{"status", -3}}}}};
  for (const char* method :
       {"Page.loadEventFired", "Page.frameStartedLoading", "Page.frameNavigated",
        "Network.requestWillBeSent", "Network.responseReceived", "Network.loadingFinished",
        "Network.loadingFailed", "Runtime.consoleAPICalled", "Runtime.exceptionThrown",
        "Log.entryAdded", "Page.javascriptDialogOpening", "Unknown.event"}) {
    for (const common::Json& params : junk) page.apply(method, params, kNow);
  }
  // Nothing crashed; what was logged is plain text.
  for (const ConsoleEntry& entry : page.take_console().entries) EXPECT_FALSE(entry.level.empty());
}

TEST(ResultText, PageLineActionScreenshotAndProblems) {
  PageFacts facts{"http://a.test/", "  Home page  ", std::nullopt, 200, false};
  Drained<ConsoleEntry> problems;
  for (int i = 0; i < 35; ++i) problems.entries.push_back({"error", "e" + std::to_string(i), 1});
  problems.entries.back().count = 3;
  const std::string text = result_text(facts, "Clicked at (1, 2).", ShotFacts{640, 400}, problems);
  EXPECT_EQ(text.substr(0, text.find("\n- [")),
            "http://a.test/ (200) \"Home page\" (still loading)\nClicked at (1, 2).\n"
            "Screenshot attached (640x400 px, JPEG).\n\nProblems seen:");
  EXPECT_NE(text.find("\n- [... 5 earlier entries ...]\n- error: e5\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 17), "- error: e34 (x3)");

  facts = {std::string(400, 'u'), "", std::string("net::ERR_CONNECTION_REFUSED"), 200, true};
  EXPECT_EQ(result_text(facts, "", std::nullopt, {}),
            std::string(300, 'u') + " \u2026 (net::ERR_CONNECTION_REFUSED) \"\"");
}

TEST(ResultText, PageSummaryAndValues) {
  const common::Json summary = {
      {"text", "  First line\n\n\n\nSecond line  \n"},
      {"headings", {"h1 Welcome"}},
      {"links", common::Json::array({common::Json::array({"Docs", "http://a.test/docs"}),
                                     common::Json::array({"", "http://a.test/x"})})},
      {"buttons", {"Send (disabled)", ""}},
      {"inputs",
       {{{"tag", "input"},
         {"type", "email"},
         {"name", "mail"},
         {"placeholder", ""},
         {"label", "Mail"}}}},
      {"images", {{{"src", "http://a.test/i.png"}, {"broken", true}, {"noalt", true}}}},
  };
  EXPECT_EQ(summary_report(summary),
            "Visible text:\nFirst line\n\nSecond line\n\n"
            "Headings:\n  h1 Welcome\n"
            "Links (2):\n  Docs -> http://a.test/docs\n  (no text) -> http://a.test/x\n"
            "Buttons:\n  Send (disabled)\n  (no text)\n"
            "Inputs:\n  input type=\"email\" name=\"mail\" label=\"Mail\"\n"
            "Images with problems:\n  http://a.test/i.png (failed to load, no alt text)");
  EXPECT_EQ(summary_report(common::Json::object()), "Visible text:\n(none)");
  EXPECT_EQ(summary_report(common::Json("junk")), "Visible text:\n(none)");

  EXPECT_EQ(value_report({{"type", "string"}, {"value", "hi"}}), "\"hi\"");
  EXPECT_EQ(value_report({{"type", "undefined"}}), "undefined");
  EXPECT_EQ(value_report({{"type", "bigint"}, {"unserializableValue", "12n"}}), "12n");
  const common::Json preview = common::Json::parse(
      R"({"type":"object","description":"Object","preview":{"properties":[)"
      R"({"name":"a","type":"number","value":"1"},{"name":"b","type":"string","value":"x"}]}})");
  EXPECT_EQ(value_report(preview), "{a: 1, b: \"x\"}");
  EXPECT_EQ(value_report({{"type", "string"}, {"value", std::string(30000, 'v')}}).size(),
            20000 + std::string(" \u2026").size());
}

// A transport the test speaks for the browser: it records what is sent and delivers what the
// test says the browser answered.
class ScriptedTransport : public Transport {
 public:
  bool send(const std::string& text) override {
    if (closed) return false;
    sent.push_back(text);
    return true;
  }
  void close() override {
    if (closed) return;
    closed = true;
    if (on_closed) on_closed();
  }
  void deliver(const std::string& text) { on_message(text); }

  std::deque<std::string> sent;
  bool closed = false;
};

TEST(CdpConnection, RepliesAreMatchedByIdAndEverythingElseIsDropped) {
  auto owned = std::make_unique<ScriptedTransport>();
  ScriptedTransport& wire = *owned;
  CdpConnection connection(std::move(owned));
  std::vector<CdpEvent> events;
  connection.set_event_handler([&](const CdpEvent& e) { events.push_back(e); });

  QCoro::Task<CdpResult> first = connection.call("Page.navigate", {{"url", "x"}}, "S1", nullptr);
  QCoro::Task<CdpResult> second = connection.call("Browser.getVersion", nullptr, "", nullptr);
  ASSERT_EQ(wire.sent.size(), 2u);
  EXPECT_EQ(wire.sent[0],
            R"({"id":1,"method":"Page.navigate","params":{"url":"x"},"sessionId":"S1"})");
  EXPECT_EQ(wire.sent[1], R"({"id":2,"method":"Browser.getVersion","params":{}})");

  for (const char* noise :
       {"not json", "[1,2]", "42", "{}", R"({"id":-1,"result":{}})", R"({"id":1.5,"result":{}})",
        R"({"id":99,"result":{}})", R"({"id":"2","result":{}})", R"({"method":7})",
        "{\"id\":1,\"result\":\"\xff\"}"}) {
    wire.deliver(noise);
  }
  wire.deliver(R"({"method":"Page.loadEventFired","sessionId":"S1","params":{"timestamp":1}})");
  wire.deliver(R"({"method":"Target.targetCreated"})");
  wire.deliver(R"({"id":2,"result":{"product":"Chrome/130.0"}})");
  wire.deliver(R"({"id":1,"error":{"code":-32000,"message":"Cannot navigate"}})");
  const CdpResult version = kavor::test::run(std::move(second));
  const CdpResult navigated = kavor::test::run(std::move(first));
  EXPECT_TRUE(version.ok());
  EXPECT_EQ(version.value(), (common::Json{{"product", "Chrome/130.0"}}));
  EXPECT_EQ(navigated.message(), "Page.navigate failed: Cannot navigate");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].session, "S1");
  EXPECT_EQ(events[1].params, common::Json());
  EXPECT_EQ(connection.pending_count(), 0u);

  QCoro::Task<CdpResult> bare = connection.call("X.y", nullptr, "", nullptr);
  wire.deliver(R"({"id":3,"error":{}})");
  EXPECT_EQ(kavor::test::run(std::move(bare)).message(), "X.y failed: unknown error");
}

TEST(CdpConnection, HalvesOfSurrogatePairsAreReadAsReplacementCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"id":1,"result":{"v":"a\ud800b"}})", "a\uFFFDb"},
      {R"({"id":1,"result":{"v":"\udc00"}})", "\uFFFD"},
      {R"({"id":1,"result":{"v":"\ud83d\ude00"}})", "\U0001F600"},
      {R"({"id":1,"result":{"v":"\\ud800"}})", "\\ud800"},  // an escaped backslash, not an escape
      {R"({"id":1,"result":{"v":"\ud800\u0041"}})", "\uFFFDA"},
      {R"({"id":1,"result":{"v":"end\ud800"}})", "end\uFFFD"},
  };
  for (const auto& [text, expected] : cases) {
    const CdpMessage message = classify_message(text);
    ASSERT_TRUE(std::holds_alternative<CdpReply>(message)) << text;
    EXPECT_EQ(std::get<CdpReply>(message).result["v"], expected) << text;
  }
  EXPECT_TRUE(
      std::holds_alternative<std::monostate>(classify_message(R"({"id":1,"result":"\ud8"})")));
}

TEST(CdpConnection, LateRepliesAreDroppedAndCloseFailsEveryoneWaiting) {
  auto owned = std::make_unique<ScriptedTransport>();
  ScriptedTransport& wire = *owned;
  CdpConnection connection(std::move(owned));
  // The scripted wire never answers: a short limit of the test's own runs out.
  const CdpResult late = kavor::test::run(
      connection.call("Page.reload", nullptr, "S", nullptr, std::chrono::milliseconds(100)));
  EXPECT_EQ(late.message(), "The browser did not answer Page.reload in time.");
  EXPECT_EQ(late.kind(), ErrorKind::TimedOut);
  EXPECT_EQ(connection.pending_count(), 0u);
  // The reply to the timed-out command arrives after the next command was sent: it must not
  // answer that one.
  QCoro::Task<CdpResult> next = connection.call("Page.enable", nullptr, "S", nullptr);
  wire.deliver(R"({"id":1,"result":{"late":true}})");
  wire.deliver(R"({"id":2,"result":{"fresh":true}})");
  EXPECT_EQ(kavor::test::run(std::move(next)).value(), (common::Json{{"fresh", true}}));

  QCoro::Task<CdpResult> a = connection.call("A.a", nullptr, "", nullptr);
  QCoro::Task<CdpResult> b = connection.call("B.b", nullptr, "", nullptr);
  wire.close();
  EXPECT_EQ(kavor::test::run(std::move(a)).message(), "The browser closed the connection.");
  EXPECT_EQ(kavor::test::run(std::move(b)).message(), "The browser closed the connection.");
  EXPECT_TRUE(connection.closed());
  const std::size_t sent = wire.sent.size();
  EXPECT_EQ(kavor::test::run(connection.call("C.c", nullptr, "", nullptr)).message(),
            "The browser closed the connection.");
  EXPECT_EQ(wire.sent.size(), sent);
  EXPECT_FALSE(connection.send_only("Page.handleJavaScriptDialog", nullptr, "S"));
}

TEST(CdpConnection, AnInterruptEndsTheWaitAndForgetsTheCommand) {
  auto owned = std::make_unique<ScriptedTransport>();
  ScriptedTransport& wire = *owned;
  CdpConnection connection(std::move(owned));
  auto stop = std::make_shared<std::atomic<bool>>(false);
  Interrupt interrupt(stop);
  QCoro::Task<CdpResult> waiting = connection.call("Runtime.evaluate", nullptr, "S", &interrupt);
  stop->store(true);
  const CdpResult result = kavor::test::run(std::move(waiting));
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(interrupt.cause(), Interrupt::Cause::Stopped);
  EXPECT_EQ(connection.pending_count(), 0u);
  wire.deliver(R"({"id":1,"result":{}})");  // too late, dropped
  EXPECT_FALSE(kavor::test::run(connection.call("X.y", nullptr, "", &interrupt)).ok());
  EXPECT_EQ(wire.sent.size(), 1u);  // nothing more is sent once interrupted
}

// The test plays the browser on the far ends of two real pipes.
TEST(PipeTransport, MessagesEndAtNulLongOnesWaitForThePipeAndADeadReaderEndsOnlyTheWire) {
  int to_browser[2];
  int from_browser[2];
  ASSERT_EQ(::pipe2(to_browser, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(from_browser, O_CLOEXEC), 0);
  auto wire = std::make_unique<PipeTransport>(to_browser[1], from_browser[0]);
  std::vector<std::string> arrived;
  int closings = 0;
  wire->on_message = [&](std::string_view text) { arrived.emplace_back(text); };
  wire->on_closed = [&] { ++closings; };

  // In: two messages in one write, one in two pieces, one far larger than a pipe holds.
  const std::string shot(3 << 20, 'j');
  std::thread browser([&] {
    for (const std::string& part : {std::string("1\0"
                                                "2\0"
                                                "3",
                                                5),
                                    std::string("3\0", 2), shot + '\0'}) {
      for (std::size_t at = 0; at < part.size();)
        at += static_cast<std::size_t>(::write(from_browser[1], &part[at], part.size() - at));
    }
  });
  EXPECT_TRUE(kavor::test::wait_until([&] { return arrived.size() == 4; }));
  browser.join();
  EXPECT_EQ(std::vector<std::string>(arrived.begin(), arrived.begin() + 3),
            (std::vector<std::string>{"1", "2", "33"}));
  EXPECT_TRUE(arrived.size() == 4 && arrived[3] == shot);

  // Out: a command larger than the pipe does not block the caller; it and the next one arrive
  // whole and in order as the event loop runs.
  const std::string script(1 << 20, 's');
  ASSERT_TRUE(wire->send(script));
  ASSERT_TRUE(wire->send("next"));
  // The reader's text is the test's to read once it has ended; meanwhile only its count is.
  std::string received;
  std::atomic<std::size_t> received_bytes = 0;
  std::thread reader([&] {
    char chunk[65536];
    for (ssize_t got; received.size() < script.size() + 6 &&
                      (got = ::read(to_browser[0], chunk, sizeof chunk)) > 0;) {
      received.append(chunk, static_cast<std::size_t>(got));
      received_bytes = received.size();
    }
  });
  EXPECT_TRUE(kavor::test::wait_until([&] { return received_bytes == script.size() + 6; }));
  reader.join();
  EXPECT_TRUE(received == script + '\0' + "next" + '\0');

  // The browser's end closes: reported once, and nothing more is sent.
  ::close(from_browser[1]);
  EXPECT_TRUE(kavor::test::wait_until([&] { return closings == 1; }));
  EXPECT_FALSE(wire->send("{}"));
  wire->close();
  EXPECT_EQ(closings, 1);

  // A dead browser leaves a pipe nobody reads. Writing there raises SIGPIPE, whose default
  // action would end the agent; only the wire ends.
  int dead[2];
  ASSERT_EQ(::pipe2(dead, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(from_browser, O_CLOEXEC), 0);
  wire = std::make_unique<PipeTransport>(dead[1], from_browser[0]);
  wire->on_closed = [&] { ++closings; };
  ::close(dead[0]);
  const auto previous = ::signal(SIGPIPE, SIG_DFL);
  EXPECT_FALSE(wire->send("{}"));
  ::signal(SIGPIPE, previous);
  EXPECT_TRUE(kavor::test::wait_until([&] { return closings == 2; }));
  for (const int fd : {from_browser[1], to_browser[0]}) ::close(fd);
}

}  // namespace
}  // namespace page_state_test
}  // namespace kavor::browser
