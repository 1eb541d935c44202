// The watchdog's decisions against the substitute service, with a recording host standing for
// the window and a scaled clock. The real window's side is in tests/shell/desktop_window_test.
#include "desktop/watchdog.h"

#include <gtest/gtest.h>

#include "common/timing.h"
#include "support/recording_host.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor::desktop {
namespace watchdog_test {
namespace {

using namespace std::chrono_literals;
using service::Reply;
using service::TestService;

// Ticks of 120 ms, 45 s of silence in 1.8 s, two minutes in 4.8 s.
constexpr int kSpeedup = 25;

class WatchdogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    common::timing::set_speedup(kSpeedup);
    // The recording host answers a script at once or never, and no page loads: the limits on
    // the page may be as short as the test likes. The reason probe keeps its own.
    watchdog_.set_limits(WatchdogLimits{600ms, 800ms, kReasonProbeTimeout});
  }
  void TearDown() override {
    stop_.request_stop();
    svc_.release_held();
    test::wait_until([] { return false; }, 100ms);
    common::timing::set_speedup(1);
  }
  common::Endpoints endpoints() const {
    return common::Endpoints(QString::fromStdString(svc_.base_url() + "/"),
                             QString::fromStdString(svc_.base_url()));
  }
  QString app() const { return QString::fromStdString(svc_.base_url() + "/"); }
  static QString error_page(const char* reason) {
    return QStringLiteral("kavor://localhost/error.html#") + QLatin1String(reason);
  }
  void idle(std::chrono::milliseconds time) {
    test::wait_until([] { return false; }, time);
  }
  // Waits for the watchdog's `count`th navigation and starts its load, as the window would.
  bool navigated(std::size_t count) {
    if (!test::wait_until([&] { return host_->visited.size() >= count; })) return false;
    watchdog_.load_started(host_->visited.back() == app());
    return host_->visited.size() == count;
  }

  TestService svc_;
  std::stop_source stop_;
  Watchdog watchdog_;
  std::shared_ptr<test::RecordingHost> host_ = std::make_shared<test::RecordingHost>();
};

TEST_F(WatchdogTest, TheReasonProbeTellsOfflineServerAndCrashApart) {
  // A probe that gives up after 2 s: ample for an answer from loopback on a busy machine.
  constexpr auto kProbeLimit = 2000ms;
  struct Case {
    Reply reply;
    Recovery reason;
  };
  Reply slow = Reply::text(200, "late");
  slow.delay = kProbeLimit + 600ms;
  const std::vector<Case> cases = {
      {Reply::dropped(), Recovery::Offline},
      {slow, Recovery::Offline},
      {Reply::text(503, "busy"), Recovery::Server},
      {Reply::text(500, "bug"), Recovery::Server},
      {Reply::text(200, "<p>app</p>"), Recovery::Crash},
      {Reply::text(404, ""), Recovery::Crash},
  };
  for (const Case& c : cases) {
    // A default, not a queued answer: the HTTP client repeats a request whose connection
    // was dropped, and the repeat must meet the same fault.
    svc_.set_default("GET", "/", c.reply);
    EXPECT_EQ(recovery_name(test::run(probe_reason(endpoints(), kProbeLimit))).toStdString(),
              recovery_name(c.reason).toStdString())
        << c.reply.status << (c.reply.drop ? " dropped" : "");
  }
  // Nothing listens on port 9 of loopback.
  EXPECT_EQ(test::run(probe_reason(common::Endpoints(QStringLiteral("http://127.0.0.1:9/"),
                                                     QStringLiteral("http://127.0.0.1:9")),
                                   kProbeLimit)),
            Recovery::Offline);
  // The product's own probe waits 6 seconds, whatever the test clock.
  EXPECT_EQ(WatchdogLimits{}.reason_probe, 6000ms);
}

TEST_F(WatchdogTest, OnlyALoadStillUnfinishedTwentySecondsLaterShowsTheErrorPage) {
  const auto check = [&](std::uint64_t load) {
    return run_load_check(watchdog_, host_, endpoints(), load, stop_.get_token());
  };
  // The program waits 20 seconds for a load; this test, 800 ms.
  EXPECT_EQ(WatchdogLimits{}.load_check_after, 20s);
  svc_.set_default("GET", "/", Reply::text(503, "busy"));
  auto unfinished = check(*watchdog_.load_started(true));
  idle(600ms);  // too early to judge
  EXPECT_TRUE(host_->visited.empty());
  ASSERT_TRUE(test::wait_until([&] { return unfinished.isReady(); }));
  EXPECT_EQ(host_->visited, std::vector<QString>{error_page("server")});

  svc_.set_default("GET", "/", Reply::dropped());
  auto offline = check(*watchdog_.load_started(true));
  ASSERT_TRUE(test::wait_until([&] { return offline.isReady(); }));
  EXPECT_EQ(host_->visited.back(), error_page("offline"));
  host_->visited.clear();

  // Finished in time; replaced by a newer load; or finished while the service was asked.
  svc_.set_default("GET", "/", Reply::text(200, "<p>app</p>"));
  auto finished = check(*watchdog_.load_started(true));
  watchdog_.page_loaded();
  auto replaced = check(*watchdog_.load_started(true));
  watchdog_.load_started(true);
  Reply slow = Reply::text(200, "<p>app</p>");
  slow.delay = 100ms;
  svc_.set_default("GET", "/", slow);
  ASSERT_TRUE(test::wait_until([&] { return finished.isReady() && replaced.isReady(); }));
  const std::size_t asked = svc_.requests("GET", "/").size();
  auto late = check(watchdog_.load_counter());
  ASSERT_TRUE(test::wait_until([&] { return svc_.requests("GET", "/").size() > asked; }));
  watchdog_.page_loaded();
  ASSERT_TRUE(test::wait_until([&] { return late.isReady(); }));
  EXPECT_TRUE(host_->visited.empty());
  // A local page (not the application) never gets a check.
  EXPECT_FALSE(watchdog_.load_started(false));
}

TEST_F(WatchdogTest, ASilentPageInFrontIsProbedThenReloadedOnceThenShownTheCrashPage) {
  // The program gives a page 15 seconds to answer; this test, 600 ms.
  EXPECT_EQ(WatchdogLimits{}.liveness, 15s);
  host_->window = common::Host::WindowState{true, false, true};
  svc_.set_default("GET", "/", Reply::text(200, "<p>app</p>"));
  auto task = run_watchdog(watchdog_, host_, endpoints(), stop_.get_token());

  // Not loaded yet: the load check's business.
  idle(2500ms);
  EXPECT_EQ(watchdog_.liveness_probes(), 0u);

  // Loaded, silent, but answering: asked and left alone.
  watchdog_.page_loaded();
  ASSERT_TRUE(test::wait_until([&] { return watchdog_.liveness_probes() >= 1; }));
  EXPECT_EQ(host_->scripts.front(), QStringLiteral("1"));
  EXPECT_TRUE(host_->visited.empty());
  EXPECT_TRUE(watchdog_.alive_flag());

  // Hung, while the service is fine: a fresh load of the application, past the hung page.
  host_->page_answers = false;
  ASSERT_TRUE(navigated(1));
  EXPECT_EQ(host_->replaced, std::vector<QString>{app()});
  EXPECT_FALSE(watchdog_.alive_flag());
  ASSERT_TRUE(watchdog_.last_crash_reload().has_value());
  // The fresh load hangs too, within two minutes: the crash page.
  watchdog_.page_loaded();
  ASSERT_TRUE(navigated(2));
  EXPECT_EQ(host_->visited[1], error_page("crash"));

  // Once two minutes have passed, a hang reloads again; a failing service shows its page.
  idle(5000ms);
  watchdog_.load_started(true);
  watchdog_.page_loaded();
  ASSERT_TRUE(navigated(3));
  EXPECT_EQ(host_->replaced, (std::vector<QString>{app(), app()}));
  svc_.set_default("GET", "/", Reply::text(503, "busy"));
  watchdog_.page_loaded();
  ASSERT_TRUE(navigated(4));
  EXPECT_EQ(host_->visited[3], error_page("server"));

  // A load started while the page failed to answer replaced that page: nothing to recover.
  host_->scripts.clear();
  watchdog_.page_loaded();
  ASSERT_TRUE(test::wait_until([&] { return !host_->scripts.empty(); }));
  watchdog_.load_started(true);
  idle(1000ms);
  EXPECT_EQ(host_->visited.size(), 4u);

  // Without a window nobody is asked.
  host_->has_window = false;
  watchdog_.page_loaded();
  const std::uint64_t probes = watchdog_.liveness_probes();
  idle(2500ms);
  EXPECT_EQ(watchdog_.liveness_probes(), probes);
  EXPECT_EQ(host_->visited.size(), 4u);
}

}  // namespace
}  // namespace watchdog_test
}  // namespace kavor::desktop
