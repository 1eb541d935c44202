// The desktop integration in the real program under Xvfb, with a scaled clock: the watchdog
// (heartbeats, a page that hangs in a busy loop, a load that never finishes, a minimised
// window) and the notification and reply commands.
#include <gtest/gtest.h>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "common/timing.h"
#include "desktop/reply_watcher.h"
#include "desktop/watchdog.h"
#include "shell/application.h"
#include "support/page_driver.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor::shell {
namespace desktop_window_test {
namespace {

using namespace std::chrono_literals;
using service::RecordedRequest;
using service::Reply;
using service::TestService;
using test::wait_until;
using Clock = std::chrono::steady_clock;

// Ticks of 300 ms, 45 s of silence in 4.5 s, two minutes between reloads in 12 s. The limits
// on the real page are the program's own unless a test says otherwise.
constexpr int kSpeedup = 10;
using test::kPageTimeout;

std::chrono::milliseconds real(std::chrono::milliseconds nominal) {
  return nominal / kSpeedup;
}

// Qt's coarse timers may fire up to 5% early: the least real time a nominal wait can take.
std::chrono::milliseconds at_least(std::chrono::milliseconds nominal) {
  return real(nominal) * 95 / 100;
}

// A chat page that sends the heartbeat every 20 seconds (scaled) while `beating`.
const std::string kBeatingPage = R"(<!doctype html><html><body><p>chat</p><script>
  window.beats = 0;
  window.beat = setInterval(function () {
    window.__TAURI_INTERNALS__.invoke('agent_alive').then(function () { beats++; });
  }, )" + std::to_string(20'000 / kSpeedup) +
                                 R"();
</script></body></html>)";

// A chat page that freezes in a busy loop soon after it has loaded, for longer than the
// watchdog takes to judge it, and would then go on by itself.
const std::string kHangingPage = R"(<!doctype html><html><body><p>chat</p><script>
  addEventListener('load', function () {
    setTimeout(function () {
      var end = Date.now() + 30 * 1000;
      while (Date.now() < end) {}
    }, 200);
  });
</script></body></html>)";

// A page that is stuck does not answer however long it is given: one second suffices to tell.
constexpr auto kStuckPageLimit = 1s;

const std::string kQuietPage = "<!doctype html><html><body><p>quiet chat</p></body></html>";

// A chat page that, once loaded, is stuck in a busy loop for minutes.
const std::string kFrozenPage = R"(<!doctype html><html><body><p>chat</p><script>
  addEventListener('load', function () {
    setTimeout(function () {
      var end = Date.now() + 5 * 60 * 1000;
      while (Date.now() < end) {}
    }, 200);
  });
</script></body></html>)";

class DesktopWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    common::timing::set_speedup(kSpeedup);
    svc_.set_default("GET", "/favicon.ico", Reply::text(404, ""));
  }
  void TearDown() override {
    app_.reset();
    svc_.release_held();
    common::timing::set_speedup(1);
  }

  void start(desktop::WatchdogLimits limits = {}) {
    ApplicationOptions options;
    options.endpoints = common::Endpoints(app_url(), QString::fromStdString(svc_.base_url()));
    options.opener = [](const QUrl&) { return true; };
    options.profile_name = QString();
    app_ = std::make_unique<Application>(std::move(options));
    watchdog().set_limits(limits);
    app_->set_up();
    QObject::connect(app_->main_window()->page(), &QWebEnginePage::urlChanged,
                     [this](const QUrl& url) {
                       std::lock_guard lock(mutex_);
                       urls_.emplace_back(Clock::now(), url.toString());
                     });
  }
  QString app_url() const { return QString::fromStdString(svc_.base_url() + "/"); }
  QString url() const { return app_->main_window()->page()->url().toString(); }
  desktop::Watchdog& watchdog() { return app_->state().watchdog; }
  bool in_front() {
    MainWindow* window = app_->main_window();
    window->showNormal();
    window->raise();
    window->activateWindow();
    return wait_until([&] {
      const auto state = app_->host().main_window_state();
      return state && state->in_front();
    });
  }
  bool application_loaded() {
    return wait_until([&] { return url() == app_url() && watchdog().loaded(); }, kPageTimeout);
  }
  void idle(std::chrono::milliseconds time) {
    wait_until([] { return false; }, time);
  }
  QVariant js(const QString& script) {
    return test::run_script(app_->main_window()->page(), script);
  }
  std::vector<QString> visited() {
    std::lock_guard lock(mutex_);
    std::vector<QString> out;
    for (const auto& [at, u] : urls_) out.push_back(u);
    return out;
  }
  std::string trail() {
    std::string out = "visited:";
    for (const QString& u : visited()) out += " " + u.toStdString();
    return out;
  }
  // From now on, the URL of each load of the kind (started or finished), in order.
  const std::vector<std::string>& loads(QWebEngineLoadingInfo::LoadStatus kind) {
    QObject::connect(app_->main_window()->page(), &QWebEnginePage::loadingChanged,
                     [this, kind](const QWebEngineLoadingInfo& info) {
                       if (info.status() == kind)
                         loads_.push_back(info.url().toString().toStdString());
                     });
    return loads_;
  }
  std::size_t count(const QString& u) {
    const auto all = visited();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), u));
  }

  TestService svc_;
  std::unique_ptr<Application> app_;
  std::mutex mutex_;
  std::vector<std::pair<Clock::time_point, QString>> urls_;
  std::vector<std::string> loads_;
};

TEST_F(DesktopWindowTest, APageWithAHeartbeatIsNeverProbedAndASilentOneIsAskedNotReloaded) {
  svc_.set_default("GET", "/", Reply::text(200, kBeatingPage, "text/html"));
  start();
  ASSERT_TRUE(application_loaded()) << trail();
  ASSERT_TRUE(in_front());
  const std::uint64_t loads = watchdog().load_counter();
  idle(real(100s));  // more than twice the silence a probe waits for
  EXPECT_GE(js(QStringLiteral("beats")).toInt(), 3);
  EXPECT_EQ(watchdog().liveness_probes(), 0u);

  // The heartbeat stops: the page is asked, answers, and stays.
  js(QStringLiteral("clearInterval(beat)"));
  ASSERT_TRUE(wait_until([&] { return watchdog().liveness_probes() >= 1; }, real(90s)));
  ASSERT_TRUE(wait_until([&] { return watchdog().alive_flag(); }, kPageTimeout));
  EXPECT_EQ(watchdog().load_counter(), loads);
  EXPECT_EQ(url(), app_url());
}

TEST_F(DesktopWindowTest, AHungPageIsReloadedOnceAndASecondHangSoonAfterShowsTheCrashPage) {
  svc_.set_default("GET", "/", Reply::text(200, kHangingPage, "text/html"));
  start(desktop::WatchdogLimits{kStuckPageLimit, desktop::kLoadCheckAfter,
                                desktop::kReasonProbeTimeout});
  ASSERT_TRUE(application_loaded()) << trail();
  ASSERT_TRUE(in_front());
  const QString crash = QStringLiteral("kavor://localhost/error.html#crash");
  ASSERT_TRUE(wait_until([&] { return count(crash) == 1; }, 60s)) << trail();
  // The start-page probe loaded the application once, the watchdog once more.
  EXPECT_EQ(watchdog().load_counter(), 2u) << trail();
  EXPECT_EQ(watchdog().liveness_probes(), 2u);
  EXPECT_TRUE(watchdog().last_crash_reload().has_value());
}

TEST_F(DesktopWindowTest, APageFrozenForMinutesIsReloadedInANewProcessThenShownTheCrashPage) {
  // Two minutes between reloads become 24 s: room for a busy machine to end a process and
  // load the page again before the second hang is judged.
  common::timing::set_speedup(5);
  svc_.set_default("GET", "/", Reply::text(200, kFrozenPage, "text/html"));
  start(desktop::WatchdogLimits{kStuckPageLimit, desktop::kLoadCheckAfter,
                                desktop::kReasonProbeTimeout});
  ASSERT_TRUE(application_loaded()) << trail();
  ASSERT_TRUE(in_front());
  const auto& loaded = loads(QWebEngineLoadingInfo::LoadSucceededStatus);
  const std::string app = app_url().toStdString();
  const std::string crash = "kavor://localhost/error.html#crash";
  const qint64 frozen = app_->main_window()->page()->renderProcessPid();

  // The first hang: the frozen page's process is ended and the application loaded afresh.
  ASSERT_TRUE(wait_until([&] { return !loaded.empty(); }, 60s)) << trail();
  EXPECT_EQ(loaded.front(), app);
  EXPECT_NE(app_->main_window()->page()->renderProcessPid(), frozen);

  // It hangs again within two minutes: the crash page.
  ASSERT_TRUE(wait_until([&] { return loaded.size() >= 2; }, 60s)) << trail();
  EXPECT_EQ(loaded, (std::vector<std::string>{app, crash}));
  EXPECT_EQ(watchdog().liveness_probes(), 2u);
  EXPECT_EQ(watchdog().load_counter(), 2u);
}

TEST_F(DesktopWindowTest, APageWhoseProcessEndsOnItsOwnIsReplacedByTheCrashPage) {
  svc_.set_default("GET", "/", Reply::text(200, kQuietPage, "text/html"));
  start();
  ASSERT_TRUE(application_loaded()) << trail();
  QWebEnginePage* page = app_->main_window()->page();
  const auto& started = loads(QWebEngineLoadingInfo::LoadStartedStatus);
  const std::vector<std::string> crash{"kavor://localhost/error.html#crash"};
  ASSERT_EQ(::kill(static_cast<pid_t>(page->renderProcessPid()), SIGKILL), 0);
  ASSERT_TRUE(wait_until([&] { return url() == crash.front().c_str() && !page->isLoading(); }));
  EXPECT_EQ(started, crash);
  EXPECT_EQ(watchdog().load_counter(), 1u);
}

TEST_F(DesktopWindowTest, ALoadThatNeverFinishesShowsWhyTwentySecondsAfterItStarted) {
  // The chat opens; then a page of it never arrives in the webview. What the service answers
  // the agent's own reason probe is up to each phase.
  std::atomic<int> agent_answer{200};
  svc_.set_handler("GET", "/", [&](const RecordedRequest& request) {
    const int status = agent_answer.load();
    if (request.header("user-agent").rfind("kavor-agent/", 0) != 0 || status == 200) {
      return Reply::text(200, kQuietPage, "text/html");
    }
    return status == 0 ? Reply::dropped() : Reply::text(status, "down for maintenance");
  });
  svc_.set_default("GET", "/slow", Reply::held());
  // The program waits 20 seconds for a load; here 5 s, still ample for the chat's own first
  // load on a busy machine.
  constexpr auto kLoadLimit = 5s;
  start(desktop::WatchdogLimits{desktop::kLivenessLimit, kLoadLimit, desktop::kReasonProbeTimeout});
  ASSERT_TRUE(application_loaded()) << trail();
  QWebEnginePage* page = app_->main_window()->page();

  struct Phase {
    int answer;  // 0: the connection is dropped
    const char* shown;
  };
  for (const Phase& phase : {Phase{0, "kavor://localhost/error.html#offline"},
                             Phase{503, "kavor://localhost/error.html#server"}}) {
    agent_answer = phase.answer;
    const std::uint64_t loads = watchdog().load_counter();
    const auto started = Clock::now();
    app_->host().navigate_main_window(QUrl(app_url() + QStringLiteral("slow")));
    ASSERT_TRUE(wait_until([&] { return watchdog().load_counter() > loads; })) << phase.shown;
    ASSERT_TRUE(wait_until([&] { return count(QString::fromLatin1(phase.shown)) == 1; }, 30s))
        << trail();
    const auto took = Clock::now() - started;
    // Qt's coarse timers may fire up to 5% early; the service's answer is quick.
    EXPECT_GE(took, kLoadLimit * 95 / 100) << phase.shown;
    EXPECT_LT(took, kLoadLimit + 5s) << phase.shown;
    EXPECT_FALSE(watchdog().loaded());
    // The error page itself finishes loading, so the next load is seen starting.
    ASSERT_TRUE(wait_until([&] { return !page->isLoading(); })) << phase.shown;
    svc_.release_held();
  }

  // A load that replaces one still unfinished is judged from its own start, although the
  // engine reports no start for it.
  agent_answer = 0;
  const std::uint64_t loads = watchdog().load_counter();
  const auto first = Clock::now();
  app_->host().navigate_main_window(QUrl(app_url() + QStringLiteral("slow?first")));
  ASSERT_TRUE(wait_until([&] { return watchdog().load_counter() == loads + 1; }));
  idle(2s);
  app_->host().navigate_main_window(QUrl(app_url() + QStringLiteral("slow?second")));
  ASSERT_TRUE(wait_until([&] { return watchdog().load_counter() == loads + 2; }));
  const QString offline = QStringLiteral("kavor://localhost/error.html#offline");
  ASSERT_TRUE(wait_until([&] { return count(offline) == 2; }, 30s)) << trail();
  EXPECT_GE(Clock::now() - first, 2s + kLoadLimit * 95 / 100);
  svc_.release_held();
}

TEST_F(DesktopWindowTest, AMinimisedWindowIsNeverProbedAndProbingWaitsForSilenceAfterRestoring) {
  svc_.set_default("GET", "/", Reply::text(200, kQuietPage, "text/html"));
  start();
  ASSERT_TRUE(application_loaded()) << trail();
  app_->main_window()->showMinimized();
  ASSERT_TRUE(wait_until([&] { return app_->main_window()->isMinimized(); }));
  idle(real(100s));
  EXPECT_EQ(watchdog().liveness_probes(), 0u);

  ASSERT_TRUE(in_front());
  const auto restored = Clock::now();
  ASSERT_TRUE(wait_until([&] { return watchdog().liveness_probes() >= 1; }, real(120s)));
  EXPECT_GE(Clock::now() - restored, at_least(42s));
  EXPECT_EQ(url(), app_url());
}

TEST_F(DesktopWindowTest, TheProgramAnswersTheDesktopCommands) {
  svc_.set_default("GET", "/", Reply::text(200, kQuietPage, "text/html"));
  start();
  const auto call = [&](const std::string& name, common::Json args) {
    return test::run(app_->commands().invoke(name, args));
  };
  EXPECT_EQ(call("agent_notify_prefs", common::Json::object()).value().dump(),
            R"({"enabled":true,"sound":true,"preview":true,"lang":"fa"})");
  const common::Json prefs = {
      {"enabled", true}, {"sound", false}, {"preview", true}, {"lang", "en"}};
  ASSERT_TRUE(call("agent_set_notify_prefs", {{"prefs", prefs}}).ok());
  EXPECT_EQ(call("agent_notify_prefs", common::Json::object()).value().dump(), prefs.dump());
  // These tests run without a session bus: the desktop refuses the toast, and the page hears
  // why instead of "shown".
  const app::CommandResult toast =
      call("agent_notify", {{"kind", "test"}, {"chat", ""}, {"text", ""}, {"mid", ""}});
  EXPECT_FALSE(toast.ok());
  EXPECT_FALSE(toast.message().empty());
  ASSERT_TRUE(call("agent_watch_reply", {{"chat", "c1"}, {"mid", 4}, {"token", "t"}}).ok());
  EXPECT_EQ(app_->state().watchers.watched().size(), 1u);
  ASSERT_TRUE(call("agent_unwatch_reply", {{"chat", "c1"}}).ok());
  EXPECT_TRUE(app_->state().watchers.watched().empty());
  // Closing the program while a watch waits for its next tick is harmless.
  ASSERT_TRUE(call("agent_watch_reply", {{"chat", "c2"}, {"mid", 4}, {"token", "t"}}).ok());
  app_.reset();
  idle(real(10s));
}

}  // namespace
}  // namespace desktop_window_test
}  // namespace kavor::shell
