// The bridge loop against the substitute service, with time running 100 times faster: one
// second of the program's waits is 10 ms here.
#include "bridge/bridge.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <mutex>
#include <stdexcept>

#include "bridge/status.h"
#include "common/http.h"
#include "common/timing.h"
#include "desktop/notifications.h"
#include "device/credential_store.h"
#include "device/device_store.h"
#include "support/recording_host.h"
#include "support/wait.h"
#include "test_service.h"
#include "tools/dispatch.h"

namespace kavor::bridge {
namespace bridge_test {
namespace {

using Clock = std::chrono::steady_clock;
using service::RecordedRequest;
using service::Reply;
using service::TestService;
using std::chrono::milliseconds;
using test::wait_until;

constexpr int kSpeedup = 100;

class RecordingNotifications : public desktop::Notifications {
 public:
  bool notify(const desktop::NotifyRequest& request) override {
    std::lock_guard lock(mutex_);
    kinds_.push_back(request.kind);
    return true;
  }
  void clear_shown() override {}
  std::vector<desktop::NotifyKind> kinds() const {
    std::lock_guard lock(mutex_);
    return kinds_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<desktop::NotifyKind> kinds_;
};

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    common::timing::set_speedup(kSpeedup);
    store_ = device::DeviceStore::load(file(), *creds_, key());
    link();
  }
  void TearDown() override {
    stop_.request_stop();
    svc_.release_held();
    if (task_) wait_until([&] { return task_->isReady(); });
    bridge_.reset();
    store_->forget();
    common::timing::set_speedup(1);
  }

  QString file() const { return dir_.filePath(QStringLiteral("device.json")); }
  device::CredentialKey key() const {
    return {QStringLiteral("kavor-bridge-test"), QString::fromStdString(svc_.base_url())};
  }
  void link() {
    ASSERT_TRUE(
        store_->save({QStringLiteral("d1"), QStringLiteral("box"), QStringLiteral("sek")}).ok());
  }
  common::Endpoints endpoints() const {
    return common::Endpoints(QString::fromStdString(svc_.base_url() + "/"),
                             QString::fromStdString(svc_.base_url()));
  }
  void start(CallRunner runner = tools::run_unknown_tool) {
    bridge_ =
        std::make_unique<Bridge>(endpoints(), *store_, status_, host_, notes_, std::move(runner));
    task_.emplace(bridge_->run(stop_.get_token()));
  }
  std::vector<bool> connection_events() const {
    std::vector<bool> out;
    for (const common::Json& v : host_.events(QStringLiteral("agent://connection")))
      out.push_back(v.get<bool>());
    return out;
  }
  std::size_t polls() const { return svc_.requests("GET", "/bridge/poll").size(); }
  // Lets `nominal` seconds of program time pass while the event loop runs.
  void pass(milliseconds nominal) {
    wait_until([] { return false; }, nominal / common::timing::speedup());
  }

  // Replies to polls from a script, and remembers when each poll arrived.
  void script_polls(std::function<Reply(int n)> reply) {
    svc_.set_handler("GET", "/bridge/poll", [this, reply](const RecordedRequest&) {
      std::lock_guard lock(times_mutex_);
      poll_times_.push_back(Clock::now());
      return reply(static_cast<int>(poll_times_.size()));
    });
  }
  std::vector<Clock::time_point> poll_times() {
    std::lock_guard lock(times_mutex_);
    return poll_times_;
  }

  TestService svc_;
  QTemporaryDir dir_;
  std::unique_ptr<device::CredentialStore> creds_ = device::system_credential_store();
  std::unique_ptr<device::DeviceStore> store_;
  Status status_;
  test::RecordingHost host_;
  RecordingNotifications notes_;
  std::unique_ptr<Bridge> bridge_;
  std::optional<QCoro::Task<>> task_;
  std::stop_source stop_;
  std::mutex times_mutex_;
  std::vector<Clock::time_point> poll_times_;
};

TEST_F(BridgeTest, RepeatedQuickAnswersAnnounceTheConnectionOnce) {
  svc_.set_default("GET", "/bridge/poll", Reply::json(204, ""));
  start();
  ASSERT_TRUE(wait_until([&] { return polls() >= 8; }));
  EXPECT_EQ(connection_events(), std::vector<bool>{true});
  EXPECT_TRUE(status_.online.load());
  const auto poll = svc_.requests("GET", "/bridge/poll").front();
  EXPECT_EQ(poll.header("authorization"), "Bearer sek");
  EXPECT_EQ(poll.query, "");
  EXPECT_EQ(poll.body, "");
  EXPECT_TRUE(notes_.kinds().empty());
}

TEST_F(BridgeTest, AHeldPollMeansOnlineWithinAMoment) {
  svc_.set_default("GET", "/bridge/poll", Reply::held());
  const auto started = Clock::now();
  start();
  ASSERT_TRUE(wait_until([&] { return svc_.held_count() == 1; }));
  // 1.5 s, real time, and the poll is still open: the service holds it, the link works. (Qt's
  // coarse timers may fire up to 5 % early.)
  ASSERT_TRUE(wait_until([&] { return status_.online.load(); }));
  EXPECT_GE(Clock::now() - started, milliseconds(1'425));
  EXPECT_EQ(connection_events(), std::vector<bool>{true});
  EXPECT_EQ(polls(), 1u);
}

TEST_F(BridgeTest, AShortDropIsShownOnThePageButNotNotified) {
  // The drop must stay well inside the 20 seconds that make it long, round trips and the
  // back-off's next poll included, on a busy machine: at a tenfold clock that is 2 s of real
  // time against well under one.
  common::timing::set_speedup(10);
  std::atomic<bool> down{false};
  script_polls([&](int) { return down ? Reply::dropped() : Reply::json(204, ""); });
  start();
  ASSERT_TRUE(wait_until([&] { return status_.online.load(); }));
  down = true;
  ASSERT_TRUE(wait_until([&] { return !status_.online.load(); }));
  pass(std::chrono::seconds(3));
  down = false;
  ASSERT_TRUE(wait_until([&] { return status_.online.load(); }));
  pass(std::chrono::seconds(30));  // past the moment a stale offline check would fire
  EXPECT_EQ(connection_events(), (std::vector<bool>{true, false, true}));
  EXPECT_TRUE(notes_.kinds().empty());
}

TEST_F(BridgeTest, ALongDropIsNotifiedAfterTwentySecondsAndItsEndToo) {
  std::atomic<bool> down{false};
  script_polls([&](int) { return down ? Reply::text(503, "") : Reply::json(204, ""); });
  start();
  ASSERT_TRUE(wait_until([&] { return status_.online.load(); }));
  down = true;
  const auto dropped_at = Clock::now();
  ASSERT_TRUE(wait_until([&] { return !notes_.kinds().empty(); }));
  // Qt's coarse timers may fire up to 5 % early.
  EXPECT_GE(Clock::now() - dropped_at, milliseconds(19'000 / kSpeedup));
  EXPECT_EQ(notes_.kinds(), std::vector<desktop::NotifyKind>{desktop::NotifyKind::Offline});
  pass(std::chrono::seconds(40));
  down = false;
  ASSERT_TRUE(wait_until([&] { return notes_.kinds().size() == 2; }, std::chrono::seconds(5)));
  EXPECT_EQ(notes_.kinds().back(), desktop::NotifyKind::Online);
  EXPECT_FALSE(status_.offline_notified.load());
}

TEST_F(BridgeTest, FailuresBackOffByDoublingAndAnAnswerResetsTheDelay) {
  // Slower than the other cases: a wait of one nominal second must stay well above a poll's
  // round trip on a busy machine, or "at once" and "after a second" cannot be told apart.
  constexpr int kBackOffSpeedup = 5;
  common::timing::set_speedup(kBackOffSpeedup);
  script_polls([](int n) {
    if (n <= 5 || n == 7) return Reply::text(500, "");
    if (n == 6 || n == 8) return Reply::json(204, "");
    return Reply::held();
  });
  start();
  ASSERT_TRUE(wait_until([&] { return poll_times().size() >= 9; }, std::chrono::seconds(30)));
  const auto t = poll_times();
  const auto gap = [&](int i) {
    return std::chrono::duration_cast<milliseconds>(t[i + 1] - t[i]).count();
  };
  // Each wait at least its length (less a timer's 5 % early), and below the next doubling's
  // length, with room for a round trip.
  const auto within = [&](int i, int seconds) {
    const int wait = seconds * 1000 / kBackOffSpeedup;
    EXPECT_GE(gap(i), wait * 95 / 100) << "wait " << i + 1;
    EXPECT_LT(gap(i), wait * 3 / 2 + 250) << "wait " << i + 1;
  };
  // Waits after the five failures: 1, 2, 4, 8 and 16 s.
  const int expected[] = {1, 2, 4, 8, 16};
  for (int i = 0; i < 5; ++i) within(i, expected[i]);
  // The 204 answers at once and resets: the failure after it waits 1 s again.
  EXPECT_LT(gap(5), 1000 * 95 / 100 / kBackOffSpeedup);
  within(6, 1);
}

TEST_F(BridgeTest, ARejectedSecretForgetsTheDeviceAndWaitsForANewLink) {
  // At a fivefold clock the moments below stay seconds of real time apart on a busy machine.
  common::timing::set_speedup(5);
  std::atomic<bool> failing{false};
  script_polls([&](int n) {
    if (n == 1) return Reply::json(204, "");
    if (n == 2) return Reply::json(401, R"({"message":"gone"})");
    return failing ? Reply::text(503, "") : Reply::json(204, "");
  });
  start();
  ASSERT_TRUE(wait_until([&] { return !host_.events(QStringLiteral("agent://device")).empty(); }));
  EXPECT_TRUE(host_.events(QStringLiteral("agent://device")).front().is_null());
  EXPECT_FALSE(store_->linked());
  EXPECT_FALSE(QFile::exists(file()));
  EXPECT_EQ(notes_.kinds(), std::vector<desktop::NotifyKind>{desktop::NotifyKind::Unlinked});
  EXPECT_EQ(connection_events(), (std::vector<bool>{true, false}));

  const std::size_t after_401 = polls();
  pass(std::chrono::seconds(10));
  EXPECT_EQ(polls(), after_401);  // nothing is polled while unlinked
  // Linked again, the service fails past the moment twenty seconds after the drop (polls 0, 1,
  // 3 and 7 s after the link fail) and answers again 15 s after the link: time unlinked is not
  // time offline, so this is no drop to notify.
  failing = true;
  link();
  ASSERT_TRUE(wait_until([&] { return polls() > after_401; }));
  pass(std::chrono::seconds(11));
  failing = false;
  ASSERT_TRUE(wait_until([&] { return status_.online.load(); }));
  pass(std::chrono::seconds(10));
  EXPECT_EQ(notes_.kinds(),
            std::vector<desktop::NotifyKind>{desktop::NotifyKind::Unlinked});  // no offline notice
}

TEST_F(BridgeTest, CallsAreRunAndPostedWhileMalformedAnswersAreDropped) {
  for (const char* body : {"not json", "[]", "\"text\"", R"({"call":null})", "{}", R"({"call":5})",
                           R"({"call":{"id":"x"}})", R"({"call":{"id":1,"tool":"t"}})",
                           R"({"call":{"id":"x","tool":"t","project":"yes"}})"}) {
    svc_.enqueue("GET", "/bridge/poll", Reply::json(200, body));
  }
  svc_.enqueue(
      "GET", "/bridge/poll",
      Reply::json(200, R"({"call":{"id":"c1","tool":"teleport","args":null,"extra_key":1}})"));
  svc_.set_default("GET", "/bridge/poll", Reply::held());
  svc_.set_default("POST", "/bridge/result", Reply::json(200, "{}"));
  start();
  ASSERT_TRUE(wait_until([&] { return svc_.requests("POST", "/bridge/result").size() == 1; }));
  // Every malformed answer was followed by the next poll at once, without backing off; the
  // poll after the call may come a moment after its result.
  ASSERT_TRUE(wait_until([&] { return polls() >= 11; }));
  EXPECT_EQ(connection_events(), std::vector<bool>{true});
  EXPECT_EQ(polls(), 11u);

  const auto posted = svc_.requests("POST", "/bridge/result").front();
  EXPECT_EQ(posted.header("authorization"), "Bearer sek");
  EXPECT_EQ(
      posted.body,
      R"({"call_id":"c1","status":"error","output":"This version of Kavor Agent does not know )"
      R"(the tool teleport. Ask the user to update Kavor Agent."})");
}

// A run that throws past every report of its own still answers, so that the assistant does not
// wait for a result that never comes.
QCoro::Task<common::Json> run_throwing(tools::Call /*call*/, QString /*secret*/) {
  throw std::runtime_error("the disk went away");
  co_return common::Json();
}

TEST_F(BridgeTest, ACallWhoseRunThrowsIsAnsweredWithTheCrashRecord) {
  svc_.enqueue("GET", "/bridge/poll", Reply::json(200, R"({"call":{"id":"c2","tool":"look"}})"));
  svc_.set_default("GET", "/bridge/poll", Reply::held());
  svc_.set_default("POST", "/bridge/result", Reply::json(200, "{}"));
  start(run_throwing);
  ASSERT_TRUE(wait_until([&] { return svc_.requests("POST", "/bridge/result").size() == 1; }));
  EXPECT_EQ(svc_.requests("POST", "/bridge/result").front().body,
            R"({"call_id":"c2","status":"error","output":"The tool crashed: the disk went away"})");
}

TEST_F(BridgeTest, ResultPostsRetryUntilAcceptedTreat404AsDeliveredAndGiveUpAfterTwoMinutes) {
  common::HttpClient client;
  const common::Json record = {{"call_id", "c9"}, {"status", "ok"}, {"output", "done"}};

  svc_.enqueue("POST", "/bridge/result", Reply::json(502, ""));
  svc_.enqueue("POST", "/bridge/result", Reply::json(200, ""));
  EXPECT_TRUE(test::run(Bridge::post_result(client, endpoints(), QStringLiteral("s"), record)));
  EXPECT_EQ(svc_.requests("POST", "/bridge/result").size(), 2u);

  svc_.clear_requests();
  svc_.enqueue("POST", "/bridge/result", Reply::json(404, ""));
  EXPECT_TRUE(test::run(Bridge::post_result(client, endpoints(), QStringLiteral("s"), record)));
  EXPECT_EQ(svc_.requests("POST", "/bridge/result").size(), 1u);

  svc_.clear_requests();
  svc_.set_default("POST", "/bridge/result", Reply::json(502, ""));
  EXPECT_FALSE(test::run(Bridge::post_result(client, endpoints(), QStringLiteral("s"), record)));
  // Waits of 1, 2, 4, 8, 15 ... seconds add up to 120 after the eleventh: twelve attempts.
  EXPECT_EQ(svc_.requests("POST", "/bridge/result").size(), 12u);
}

}  // namespace
}  // namespace bridge_test
}  // namespace kavor::bridge
