// The reply watcher against the substitute service, with its notifications going over a real
// session bus, and a scaled clock.
#include "desktop/reply_watcher.h"

#include <gtest/gtest.h>
#include <QTemporaryDir>

#include <algorithm>
#include <mutex>

#include "app/desktop_commands.h"
#include "common/timing.h"
#include "desktop/notifier.h"
#include "support/agent_state.h"
#include "support/notification_server.h"
#include "support/recording_host.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor::desktop {
namespace reply_watcher_test {
namespace {

using namespace std::chrono_literals;
using service::ChatMessage;
using service::Reply;
using service::TestService;
using Clock = std::chrono::steady_clock;

// Ticks of 40 ms, then 200 ms after 6 s; a request may take 240 ms, ample on loopback.
constexpr int kSpeedup = 50;

class WatchersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    common::timing::set_speedup(kSpeedup);
    ASSERT_TRUE(server_.ready()) << "run under dbus-run-session";
    state_->notifier = std::make_unique<Notifier>(
        host_, *toaster_, [this] { return dir_.filePath(QStringLiteral("notifications.json")); });
    Notifier& notifier = *state_->notifier;
    notifier_ = &notifier;
    ASSERT_TRUE(notifier.set_prefs(Prefs{true, true, true, Lang::En}).ok());
    watchers_ = &state_->watchers;
    app::install_desktop_commands(table_,
                                  app::CommandContext{endpoints(), *state_, host_, notifier, {}});
  }
  void TearDown() override {
    for (const auto& [chat, mid] : watchers_->watched()) watchers_->unwatch(chat);
    test::wait_until([] { return false; }, 50ms);
    common::timing::set_speedup(1);
  }
  common::Endpoints endpoints() const {
    return common::Endpoints(QString::fromStdString(svc_.base_url() + "/"),
                             QString::fromStdString(svc_.base_url()));
  }
  app::CommandResult watch(const std::string& chat, common::Json mid,
                           const std::string& token = "tok", const char* title = "Trip") {
    common::Json args = {{"chat", chat}, {"mid", mid}, {"token", token}};
    if (title != nullptr) args["title"] = title;
    return test::run(table_.invoke("agent_watch_reply", args));
  }
  std::size_t asked(const std::string& chat, std::int64_t mid) const {
    return svc_.requests("GET", "/chats/" + chat + "/messages/" + std::to_string(mid)).size();
  }
  bool asked_at_least(const std::string& chat, std::int64_t mid, std::size_t count,
                      std::chrono::milliseconds timeout = 10s) {
    return test::wait_until([&] { return asked(chat, mid) >= count; }, timeout);
  }
  void idle(std::chrono::milliseconds time) {
    test::wait_until([] { return false; }, time);
  }
  std::vector<std::pair<QString, std::int64_t>> watched() const { return watchers_->watched(); }

  TestService svc_;
  test::NotificationServer server_;
  QTemporaryDir dir_;
  test::RecordingHost host_;
  std::unique_ptr<Toaster> toaster_ = desktop_toaster();
  std::unique_ptr<app::AgentState> state_ = test::agent_state_in(dir_.path());
  Notifier* notifier_ = nullptr;
  Watchers* watchers_ = nullptr;
  app::CommandTable table_;
};

TEST_F(WatchersTest, RequestsAreCheckedBeforeAnythingIsWatched) {
  const std::string longest(64, 'a');
  struct Case {
    std::string chat;
    common::Json mid;
    std::string token;
    const char* error;
  };
  const std::vector<Case> refused = {
      {std::string(65, 'a'), 1, "tok", "invalid chat id"},
      {"a/b", 1, "tok", "invalid chat id"},
      {"../x", 1, "tok", "invalid chat id"},
      {"", 1, "tok", "invalid chat id"},
      {"chat one", 1, "tok", "invalid chat id"},
      {"ch\xc3\xa4t", 1, "tok", "invalid chat id"},
      {"c", 0, "tok", "invalid message id"},
      {"c", -4, "tok", "invalid message id"},
      {"c", 1.5, "tok", "invalid message id"},
      {"c", 18446744073709551615ull, "tok", "invalid message id"},
      {"c", 1, "   ", "invalid token"},
      {"c", 1, "", "invalid token"},
      {"c", 1, std::string(4097, 't'), "invalid token"},
      {"c", 1, "tok\r\nX-Injected: 1", "invalid token"},
      {"c", 1, "to\tk", "invalid token"},
  };
  for (const Case& c : refused) {
    EXPECT_EQ(watch(c.chat, c.mid, c.token).message(), std::string(c.error))
        << c.chat << " " << c.mid.dump() << " " << c.token.size();
  }
  EXPECT_EQ(watch("c", "5").message(),
            "The argument mid of command agent_watch_reply must be a number.");
  EXPECT_TRUE(watched().empty());

  svc_.put_chat(longest, "tok");
  svc_.put_chat_message(longest, ChatMessage{3, "assistant", "pending", ""});
  ASSERT_TRUE(watch(longest, 3, "  tok  ", nullptr).ok());
  ASSERT_TRUE(watch("c-_9", 1, std::string(4096, 't')).ok());
  ASSERT_TRUE(asked_at_least(longest, 3, 1));
  // The token goes out trimmed, as the bearer.
  EXPECT_EQ(svc_.requests("GET", "/chats/" + longest + "/messages/3")[0].header("authorization"),
            "Bearer tok");
  EXPECT_EQ(watched().size(), 2u);
}

TEST_F(WatchersTest, OneWatcherPerChatAndAtMostEight) {
  for (int i = 1; i <= 9; ++i) {
    const std::string chat = "c" + std::to_string(i);
    svc_.put_chat(chat, "tok");
    svc_.put_chat_message(chat, ChatMessage{1, "assistant", "pending", ""});
    svc_.put_chat_message(chat, ChatMessage{2, "assistant", "pending", ""});
  }
  ASSERT_TRUE(watch("c1", 1).ok());
  ASSERT_TRUE(asked_at_least("c1", 1, 2));
  // The same message again: the first watcher simply goes on.
  ASSERT_TRUE(watch("c1", 1).ok());
  EXPECT_EQ(watched(), (std::vector<std::pair<QString, std::int64_t>>{{QStringLiteral("c1"), 1}}));
  ASSERT_TRUE(asked_at_least("c1", 1, 4));
  // Another message replaces it.
  ASSERT_TRUE(watch("c1", 2).ok());
  ASSERT_TRUE(asked_at_least("c1", 2, 2));
  const std::size_t first = asked("c1", 1);
  idle(300ms);
  EXPECT_LE(asked("c1", 1), first + 1);  // at most a request that was already on its way
  EXPECT_EQ(watched(), (std::vector<std::pair<QString, std::int64_t>>{{QStringLiteral("c1"), 2}}));

  // A ninth chat stops the watcher started first.
  for (int i = 2; i <= 9; ++i) ASSERT_TRUE(watch("c" + std::to_string(i), 1).ok());
  std::vector<QString> chats;
  for (const auto& [chat, mid] : watched()) chats.push_back(chat);
  EXPECT_EQ(chats, (std::vector<QString>{"c2", "c3", "c4", "c5", "c6", "c7", "c8", "c9"}));
  ASSERT_TRUE(asked_at_least("c9", 1, 2));
  const std::size_t evicted = asked("c1", 2);
  idle(300ms);
  EXPECT_LE(asked("c1", 2), evicted + 1);

  ASSERT_TRUE(test::run(table_.invoke("agent_unwatch_reply", {{"chat", "c5"}})).ok());
  ASSERT_TRUE(test::run(table_.invoke("agent_unwatch_reply", {{"chat", "nobody"}})).ok());
  EXPECT_EQ(watched().size(), 7u);
  EXPECT_TRUE(server_.toasts().empty());
}

TEST_F(WatchersTest, FinishedRepliesAreAnnouncedAndAReplyThatGoesOnIsFollowed) {
  svc_.put_chat("c", "tok");
  svc_.put_chat_message("c", ChatMessage{9, "user", "", "Plan my trip"});
  svc_.put_chat_message("c", ChatMessage{10, "assistant", "pending", ""});
  ASSERT_TRUE(watch("c", 10).ok());
  ASSERT_TRUE(asked_at_least("c", 10, 2));

  // The first message fails; the reply goes on in message 13. The chat also lists a user
  // message and entries whose ids are not whole numbers, which are passed over.
  svc_.set_default("GET", "/chats/c", Reply::json(200, R"({"id":"c","messages":[
      {"id":9,"role":"user"},{"id":10,"role":"assistant","status":"error"},
      {"id":"11","role":"assistant"},{"id":12.5,"role":"assistant"},{"id":14,"role":"user"},
      {"id":15,"role":"assistant"},{"id":13,"role":"assistant","status":"pending"}]})"));
  svc_.put_chat_message("c", ChatMessage{13, "assistant", "pending", ""});
  svc_.put_chat_message("c", ChatMessage{10, "assistant", "error", "Quota reached."});
  ASSERT_TRUE(test::wait_until([&] { return server_.toasts().size() == 1; }));
  EXPECT_EQ(server_.toasts()[0].title, QStringLiteral("The reply failed"));
  EXPECT_EQ(server_.toasts()[0].body, QStringLiteral("Trip\nQuota reached."));
  ASSERT_TRUE(asked_at_least("c", 13, 2));
  EXPECT_EQ(watched(), (std::vector<std::pair<QString, std::int64_t>>{{QStringLiteral("c"), 13}}));

  // The follow-up finishes; nothing newer comes, so the watch ends after two looks.
  svc_.set_default("GET", "/chats/c",
                   Reply::json(200, R"({"messages":[{"id":13,"role":"assistant"}]})"));
  svc_.put_chat_message("c", ChatMessage{13, "assistant", "done", "## Packed\n- [list](x)"});
  ASSERT_TRUE(test::wait_until([&] { return watched().empty(); }));
  ASSERT_EQ(server_.toasts().size(), 2u);
  EXPECT_EQ(server_.toasts()[1].title, QStringLiteral("Reply ready"));
  EXPECT_EQ(server_.toasts()[1].body, QStringLiteral("Trip\nPacked list"));
  EXPECT_EQ(svc_.requests("GET", "/chats/c").size(),
            3u);  // one that found 13, two that found nothing
}

TEST_F(WatchersTest, NoRequestsWhileTheUserLooksOrNotificationsAreOff) {
  svc_.put_chat("c", "tok");
  svc_.put_chat_message("c", ChatMessage{1, "assistant", "pending", ""});
  host_.window = common::Host::WindowState{true, false, true};
  ASSERT_TRUE(watch("c", 1).ok());
  idle(400ms);  // some ten ticks
  EXPECT_EQ(asked("c", 1), 0u);

  host_.window.focused = false;
  ASSERT_TRUE(asked_at_least("c", 1, 3));
  ASSERT_TRUE(notifier_->set_prefs(Prefs{false, true, true, Lang::En}).ok());
  // A request already on its way arrives before the watcher's next look at the window.
  const int looks = host_.window_state_asked.load();
  ASSERT_TRUE(test::wait_until([&] { return host_.window_state_asked.load() > looks; }));
  const std::size_t before = asked("c", 1);
  idle(400ms);
  EXPECT_EQ(asked("c", 1), before);
  ASSERT_TRUE(notifier_->set_prefs(Prefs{true, true, true, Lang::En}).ok());
  host_.window.minimized = true;
  host_.window.focused = true;
  ASSERT_TRUE(asked_at_least("c", 1, before + 3));
}

TEST_F(WatchersTest, ARejectedTokenEndsSilentlyAndOddAnswersAreTriedAgain) {
  svc_.put_chat("c", "right");
  svc_.put_chat_message("c", ChatMessage{1, "assistant", "done", "Hi"});
  ASSERT_TRUE(watch("c", 1, "wrong").ok());
  ASSERT_TRUE(test::wait_until([&] { return watched().empty(); }));
  EXPECT_EQ(asked("c", 1), 1u);

  svc_.put_chat("d", "tok");
  svc_.put_chat_message("d", ChatMessage{1, "assistant", "done", "Finally"});
  const std::string path = "/chats/d/messages/1";
  svc_.enqueue("GET", path, Reply::text(500, "oops"));
  svc_.enqueue("GET", path, Reply::dropped());
  svc_.enqueue("GET", path, Reply::text(200, "<html>not json</html>", "text/html"));
  svc_.enqueue("GET", path, Reply::json(200, "[1,2]"));
  svc_.enqueue("GET", path, Reply::json(200, R"({"status":5,"body":"numbers are not states"})"));
  svc_.enqueue("GET", path, Reply::json(200, R"({"body":"no status yet"})"));
  svc_.enqueue("GET", path, Reply::json(404, R"({"message":"not yet"})"));
  ASSERT_TRUE(watch("d", 1).ok());
  ASSERT_TRUE(test::wait_until([&] { return watched().empty(); }));
  EXPECT_EQ(asked("d", 1), 8u);
  ASSERT_TRUE(test::wait_until([&] { return server_.toasts().size() == 1; }));
  EXPECT_EQ(server_.toasts()[0].body, QStringLiteral("Trip\nFinally"));
}

TEST_F(WatchersTest, StoppedOrDiscardedWatchersLeaveNoTrace) {
  svc_.put_chat("c", "tok");
  svc_.set_default("GET", "/chats/c/messages/1", Reply::held());
  ASSERT_TRUE(watch("c", 1).ok());
  ASSERT_TRUE(asked_at_least("c", 1, 1));
  // Stopped while its request is open: the answer that arrives afterwards is ignored.
  watchers_->unwatch("c");
  svc_.release_held(Reply::json(200, R"({"status":"done","body":"late"})"));
  idle(200ms);
  EXPECT_TRUE(server_.toasts().empty());
  EXPECT_TRUE(svc_.requests("GET", "/chats/c").empty());

  // The table goes away (the program quits) while watches wait and ask.
  auto table = std::make_unique<Watchers>();
  const WatchContext context{endpoints(), host_, *notifier_};
  svc_.put_chat("d", "tok");
  svc_.put_chat_message("d", ChatMessage{1, "assistant", "pending", ""});
  ASSERT_TRUE(table->watch(WatchRequest{"c", 1, "tok", "Trip"}, context).ok());
  ASSERT_TRUE(table->watch(WatchRequest{"d", 1, "tok", "Trip"}, context).ok());
  ASSERT_TRUE(asked_at_least("c", 1, 2));
  ASSERT_TRUE(asked_at_least("d", 1, 1));
  table.reset();
  svc_.release_held(Reply::json(200, R"({"status":"done","body":"late"})"));
  const std::size_t after = asked("d", 1);
  idle(200ms);
  EXPECT_LE(asked("d", 1), after + 1);
  EXPECT_TRUE(server_.toasts().empty());
}

TEST_F(WatchersTest, TicksSlowDownAfterFiveMinutesAndTheWatchEndsAfterTwoHours) {
  // First at fifty times the speed (2 s ticks of 40 ms, 10 s ticks of 200 ms after 6 s), where
  // a request's round trip on a busy machine is small beside a tick; then, 8.5 s in, at five
  // hundred times, where the two hours end 14.4 s after the start.
  constexpr int kTicks = 50;
  constexpr int kEnd = 500;
  common::timing::set_speedup(kTicks);
  std::mutex mutex;
  std::vector<Clock::time_point> times;
  svc_.set_handler("GET", "/chats/e/messages/1", [&](const service::RecordedRequest&) {
    std::lock_guard lock(mutex);
    times.push_back(Clock::now());
    return Reply::json(200, R"({"status":"pending"})");
  });
  const auto started = Clock::now();
  ASSERT_TRUE(watch("e", 1).ok());
  constexpr auto kFastFor = 300'000ms / kTicks;
  constexpr auto kSwitch = 8500ms;
  idle(kSwitch);
  common::timing::set_speedup(kEnd);
  ASSERT_TRUE(test::wait_until([&] { return watched().empty(); }, 40s));
  const auto lasted = Clock::now() - started;
  EXPECT_GE(lasted, 7'200'000ms / kEnd);
  EXPECT_LT(lasted, 7'200'000ms / kEnd + 5s);

  std::lock_guard lock(mutex);
  ASSERT_GT(times.size(), 100u);
  const auto median_gap = [&](Clock::duration from, Clock::duration to) {
    std::vector<Clock::duration> gaps;
    for (std::size_t i = 1; i < times.size(); ++i) {
      const auto at = times[i] - started;
      if (at > from && at < to) gaps.push_back(times[i] - times[i - 1]);
    }
    if (gaps.empty()) return Clock::duration::max();
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    return gaps[gaps.size() / 2];
  };
  const auto fast = median_gap(50ms, kFastFor - 500ms);
  const auto slow = median_gap(kFastFor + 500ms, kSwitch - 100ms);
  // Lower bounds with a tenth of slack: a timer may fire a little early (Qt's coarse timers by
  // up to 5%), and each gap is seen on the service, after a request's own varying latency.
  EXPECT_GE(fast, 2000ms * 9 / 10 / kTicks);
  EXPECT_LT(fast, 10000ms / kTicks);
  EXPECT_GE(slow, 10000ms * 9 / 10 / kTicks);
  EXPECT_LT(slow, 3 * 10000ms / kTicks);
  EXPECT_TRUE(server_.toasts().empty());
}

}  // namespace
}  // namespace reply_watcher_test
}  // namespace kavor::desktop
