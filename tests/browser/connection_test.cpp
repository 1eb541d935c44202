// The DevTools connection's routing over a transport the test plays the browser on: replies
// matched by id, events passed on, late replies dropped, waits ended by close and interrupt.
#include "browser/connection.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "browser/transport.h"
#include "support/wait.h"

namespace kavor::browser {
namespace connection_test {
namespace {

using common::Json;

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
  EXPECT_EQ(version.value(), (Json{{"product", "Chrome/130.0"}}));
  EXPECT_EQ(navigated.message(), "Page.navigate failed: Cannot navigate");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].session, "S1");
  EXPECT_EQ(events[1].params, Json());
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
  EXPECT_EQ(kavor::test::run(std::move(next)).value(), (Json{{"fresh", true}}));

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

}  // namespace
}  // namespace connection_test
}  // namespace kavor::browser
