// The notifier against a real session bus: toasts go over D-Bus to a recording notification
// service, the window side is a recording host.
#include "desktop/notifier.h"

#include <gtest/gtest.h>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <atomic>

#include "app/desktop_commands.h"
#include "common/timing.h"
#include "desktop/reply_watcher.h"
#include "support/agent_state.h"
#include "support/notification_server.h"
#include "support/recording_host.h"
#include "support/wait.h"

namespace kavor::desktop {
namespace notifier_test {
namespace {

using Attention = common::Host::Attention;
using test::NotificationServer;

constexpr int kSpeedup = 20;  // the 4-second throttle becomes 200 ms

QString u8(const char* text) {
  return QString::fromUtf8(text);
}

class NotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    common::timing::set_speedup(kSpeedup);
    ASSERT_TRUE(server_->ready()) << "run under dbus-run-session";
    state_->notifier = Notifier::load(host_, *toaster_, [this] {
      asked_on_ = QThread::currentThread();
      return prefs_path_;
    });
    notifier_ = state_->notifier.get();
    app::install_desktop_commands(table_,
                                  app::CommandContext{endpoints_, *state_, host_, *notifier_, {}});
  }
  void TearDown() override { common::timing::set_speedup(1); }

  NotifyOutcome send(NotifyKind kind, const char* chat = "", const char* text = "",
                     const char* mid = "") {
    const Result<NotifyOutcome> outcome = test::run(notifier_->notify_and_wait(
        NotifyRequest{kind, u8(chat), u8(text), QString::fromUtf8(mid)}));
    EXPECT_TRUE(outcome.ok()) << outcome.message();
    return outcome.ok() ? outcome.value() : NotifyOutcome::Shown;
  }
  // Decides and sends the toast without waiting for the desktop's answer: requests meant to
  // fall within the repeat window must not wait on D-Bus round trips in between.
  NotifyOutcome quick(NotifyKind kind, const char* chat = "", const char* text = "",
                      const char* mid = "") {
    return notifier_->notify(NotifyRequest{kind, u8(chat), u8(text), QString::fromUtf8(mid)})
               ? NotifyOutcome::Shown
               : NotifyOutcome::Skipped;
  }
  void set(bool enabled, bool sound = true, bool preview = true, Lang lang = Lang::En) {
    ASSERT_TRUE(notifier_->set_prefs(Prefs{enabled, sound, preview, lang}).ok());
  }
  app::CommandResult call(const std::string& name, common::Json args = common::Json::object()) {
    return test::run(table_.invoke(name, args));
  }
  void pause_past_throttle() {
    test::wait_until([] { return false; },
                     common::timing::scaled(Notifier::kThrottle) + std::chrono::milliseconds(60));
  }

  std::unique_ptr<NotificationServer> server_ = std::make_unique<NotificationServer>();
  QTemporaryDir dir_;
  QString prefs_path_ = dir_.filePath(QStringLiteral("config/notifications.json"));
  std::atomic<QThread*> asked_on_{nullptr};  // the thread that last looked up the file
  test::RecordingHost host_;
  std::unique_ptr<Toaster> toaster_ = desktop_toaster();
  common::Endpoints endpoints_{QStringLiteral("http://127.0.0.1:9/"),
                               QStringLiteral("http://127.0.0.1:9")};
  std::unique_ptr<app::AgentState> state_ = test::agent_state_in(dir_.path());
  Notifier* notifier_ = nullptr;
  app::CommandTable table_;
};

TEST_F(NotifierTest, PreferencesAndTheUsersAttentionDecideWhatIsShown) {
  set(false);
  EXPECT_EQ(send(NotifyKind::Test), NotifyOutcome::Shown);
  EXPECT_EQ(send(NotifyKind::Approval, "c1", "Edit a.txt", "call-1"), NotifyOutcome::Skipped);
  EXPECT_EQ(send(NotifyKind::Done, "c1", "All set", "7"), NotifyOutcome::Skipped);
  // The test flashed lightly, the approval urgently; the reply did nothing at all.
  EXPECT_EQ(host_.attention,
            (std::vector<Attention>{Attention::Informational, Attention::Critical}));
  ASSERT_TRUE(test::wait_until([&] { return server_->toasts().size() == 1; }));
  EXPECT_EQ(server_->toasts()[0].title, QStringLiteral("Notifications work"));

  // The user is looking at the window: only a test gets through.
  set(true);
  host_.attention.clear();
  host_.window = common::Host::WindowState{true, false, true};
  for (NotifyKind kind :
       {NotifyKind::Done, NotifyKind::Failed, NotifyKind::Network, NotifyKind::Approval,
        NotifyKind::Offline, NotifyKind::Online, NotifyKind::Unlinked}) {
    EXPECT_EQ(send(kind, "c2"), NotifyOutcome::Skipped) << notify_kind_name(kind);
  }
  EXPECT_TRUE(host_.attention.empty());
  EXPECT_EQ(send(NotifyKind::Test, "c2"), NotifyOutcome::Shown);
  // Minimised, or shown without focus, counts as looking elsewhere.
  host_.window = common::Host::WindowState{true, true, true};
  EXPECT_EQ(send(NotifyKind::Failed, "c3", "Broke"), NotifyOutcome::Shown);
  host_.window = common::Host::WindowState{true, false, false};
  EXPECT_EQ(send(NotifyKind::Online), NotifyOutcome::Shown);
  host_.has_window = false;
  EXPECT_EQ(send(NotifyKind::Offline), NotifyOutcome::Shown);
  EXPECT_EQ(host_.attention,
            (std::vector<Attention>{Attention::Informational, Attention::Critical,
                                    Attention::Informational, Attention::Informational}));
}

TEST_F(NotifierTest, OneToastPerKindAndChatWithinFourSecondsAndEachMessageOnce) {
  EXPECT_EQ(quick(NotifyKind::Network, "trip"), NotifyOutcome::Shown);
  EXPECT_EQ(quick(NotifyKind::Network, "trip"), NotifyOutcome::Skipped);
  EXPECT_EQ(quick(NotifyKind::Network, "work"), NotifyOutcome::Shown);
  EXPECT_EQ(quick(NotifyKind::Failed, "trip"), NotifyOutcome::Shown);
  EXPECT_EQ(quick(NotifyKind::Done, "trip", "ok", "m1"), NotifyOutcome::Shown);
  pause_past_throttle();
  EXPECT_EQ(quick(NotifyKind::Network, "trip"), NotifyOutcome::Shown);
  EXPECT_EQ(quick(NotifyKind::Done, "trip", "ok", "m1"), NotifyOutcome::Skipped);
  // An empty id names no message: it never makes later requests duplicates.
  EXPECT_EQ(quick(NotifyKind::Done, "a", "", ""), NotifyOutcome::Shown);
  EXPECT_EQ(quick(NotifyKind::Done, "b", "", ""), NotifyOutcome::Shown);
  // Tests are never duplicates.
  EXPECT_EQ(quick(NotifyKind::Test, "", "", "m1"), NotifyOutcome::Shown);
  pause_past_throttle();
  EXPECT_EQ(quick(NotifyKind::Test, "", "", "m1"), NotifyOutcome::Shown);

  // The remembered ids are forgotten when there are 1025 of them. Requests skipped by the
  // preferences still count as announced.
  set(false);
  for (int i = 2; i <= 1025; ++i) {
    quick(NotifyKind::Done, "bulk", "", QStringLiteral("m%1").arg(i).toUtf8().constData());
  }
  set(true);
  pause_past_throttle();
  EXPECT_EQ(quick(NotifyKind::Done, "x", "", "m1"), NotifyOutcome::Skipped);   // 1025 remembered
  EXPECT_EQ(quick(NotifyKind::Done, "y", "", "m1026"), NotifyOutcome::Shown);  // emptied first
  EXPECT_EQ(quick(NotifyKind::Done, "z", "", "m1"), NotifyOutcome::Shown);
  // After an unlink every message may be announced again.
  notifier_->clear_shown();
  pause_past_throttle();
  EXPECT_EQ(quick(NotifyKind::Done, "z", "", "m1"), NotifyOutcome::Shown);
}

TEST_F(NotifierTest, TitlesBodiesAndPreviewsInBothLanguages) {
  const Prefs en{true, true, true, Lang::En};
  const Prefs fa{true, true, true, Lang::Fa};
  const Prefs plain{true, true, false, Lang::En};
  const QString long_label = QString(61, QLatin1Char('L'));
  const QString emoji_label = QString(59, QLatin1Char('e')) + u8("\U0001F600\U0001F600");
  struct Case {
    NotifyKind kind;
    QString chat;
    QString text;
    Prefs prefs;
    QString title;
    QString body;
  };
  const std::vector<Case> cases = {
      // A reply that opens with code shows its first prose, under the chat's name.
      {NotifyKind::Done, u8("  Trip plan  "),
       u8("```python\nprint('x')\n```\n\n## Packing list\n> - [Tickets](https://t.example/a) and "
          "*passport*\r\n\n* [](x) [two](y)"),
       en, u8("Reply ready"), u8("Trip plan\nPacking list Tickets and *passport* two")},
      {NotifyKind::Done, u8(""), u8("```\nonly code, never closed\nstill code"), en,
       u8("Reply ready"), u8("Your Kavor AI reply is ready.")},
      {NotifyKind::Done, long_label, u8("ok"), en, u8("Reply ready"),
       QString(60, QLatin1Char('L')) + u8(" \u2026\nok")},
      {NotifyKind::Done, emoji_label, u8("ok"), en, u8("Reply ready"),
       QString(59, QLatin1Char('e')) + u8("\U0001F600 \u2026\nok")},
      {NotifyKind::Done, u8("c"), QString(150, QLatin1Char('w')), en, u8("Reply ready"),
       u8("c\n") + QString(140, QLatin1Char('w')) + u8(" \u2026")},
      {NotifyKind::Failed, u8("Trip"), u8("  Quota reached.  "), en, u8("The reply failed"),
       u8("Trip\nQuota reached.")},
      {NotifyKind::Failed, u8("Trip"), u8("   "), en, u8("The reply failed"),
       u8("Trip\nThe assistant could not answer. Please try again.")},
      {NotifyKind::Network, u8("Trip"), u8("ignored"), en, u8("Connection lost"),
       u8("Trip\nCannot reach the server. Check your internet connection. The reply may still "
          "arrive.")},
      {NotifyKind::Approval, u8("Trip"), u8("Run npm test"), en, u8("Waiting for your approval"),
       u8("Run npm test")},
      {NotifyKind::Approval, u8("Trip"), u8(""), fa, u8("منتظر اجازهی شما"),
       u8("دستیار برای ادامه به اجازهی شما نیاز دارد.")},
      {NotifyKind::Offline, u8("Trip"), u8("x"), fa, u8("دستیار زبان کاور آفلاین است"),
       u8("ارتباط با دستیار قطع شد و برنامه در پسزمینه دوباره تلاش میکند.")},
      {NotifyKind::Online, u8("Trip"), u8("x"), en, u8("Back online"),
       u8("Kavor Agent is connected to the assistant again.")},
      {NotifyKind::Unlinked, u8(""), u8(""), fa, u8("اتصال این رایانه قطع شد"),
       u8("برای وصل شدن دوباره وارد حساب خود شوید.")},
      {NotifyKind::Test, u8("Trip"), u8("x"), fa, u8("اعلانها کار میکنند"),
       u8("اگر این پیام را میبینید، اعلانهای دستیار زبان کاور درست تنظیم شدهاند.")},
      {NotifyKind::Done, u8("Trip"), u8("# Hi"), fa, u8("پاسخ آماده است"), u8("Trip\nHi")},
      // Texts from the page, the service or a command show what could disguise them escaped; a
      // label stays one line, a failure keeps its lines.
      {NotifyKind::Done, u8("Trip\u202Egnp.exe"), u8("Hello\u200Fworld\x1B[2K"), en,
       u8("Reply ready"), u8("Trip<U+202E>gnp.exe\nHello<U+200F>world<U+001B>[2K")},
      {NotifyKind::Failed, u8("Trip\nBack online"), u8("Line one\nline\rtwo"), en,
       u8("The reply failed"), u8("Trip<U+000A>Back online\nLine one\nline<U+000D>two")},
      // Without previews every body is the fixed one.
      {NotifyKind::Done, u8("Trip"), u8("Hi"), plain, u8("Reply ready"),
       u8("Your Kavor AI reply is ready.")},
      {NotifyKind::Failed, u8("Trip"), u8("Quota"), plain, u8("The reply failed"),
       u8("The assistant could not answer. Please try again.")},
      {NotifyKind::Approval, u8("Trip"), u8("Run"), plain, u8("Waiting for your approval"),
       u8("The assistant needs your approval to continue.")},
  };
  for (const Case& c : cases) {
    const NotifyText text = compose(NotifyRequest{c.kind, c.chat, c.text, {}}, c.prefs);
    EXPECT_EQ(text.title, c.title) << c.text.toStdString();
    EXPECT_EQ(text.body, c.body) << c.text.toStdString();
  }
  for (const char* name :
       {"done", "failed", "network", "approval", "offline", "online", "unlinked", "test"}) {
    EXPECT_STREQ(notify_kind_name(*parse_notify_kind(name)), name);
  }
  EXPECT_FALSE(parse_notify_kind("Done"));
  EXPECT_FALSE(parse_notify_kind(""));
}

TEST_F(NotifierTest, ToastsReachTheDesktopServiceWithTheirSoundAndSafeMarkup) {
  set(true, /*sound=*/true);
  EXPECT_EQ(send(NotifyKind::Done, "Trip", "<a href='x'>Fish</a> & chips", "1"),
            NotifyOutcome::Shown);
  set(true, /*sound=*/false);
  EXPECT_EQ(send(NotifyKind::Unlinked), NotifyOutcome::Shown);
  ASSERT_TRUE(test::wait_until([&] { return server_->toasts().size() == 2; }));
  const auto toasts = server_->toasts();
  EXPECT_EQ(toasts[0].app, QStringLiteral("Kavor Agent"));
  EXPECT_EQ(toasts[0].title, QStringLiteral("Reply ready"));
  // This service shows bodies as plain text: nothing to escape.
  EXPECT_EQ(toasts[0].body, QStringLiteral("Trip\n<a href='x'>Fish</a> & chips"));
  EXPECT_EQ(toasts[0].hints.value(QStringLiteral("sound-name")).toString(),
            QStringLiteral("message-new-instant"));
  EXPECT_FALSE(toasts[0].hints.contains(QStringLiteral("suppress-sound")));
  EXPECT_EQ(toasts[0].hints.value(QStringLiteral("desktop-entry")).toString(),
            QStringLiteral("io.kavor.agent"));
  EXPECT_TRUE(toasts[1].hints.value(QStringLiteral("suppress-sound")).toBool());
  EXPECT_FALSE(toasts[1].hints.contains(QStringLiteral("sound-name")));

  // The service is replaced, while the agent runs, by one that reads markup: the same toaster
  // asks again and escapes the text, so it shows exactly what was written.
  QDBusServiceWatcher owners(QStringLiteral("org.freedesktop.Notifications"),
                             QDBusConnection::sessionBus(),
                             QDBusServiceWatcher::WatchForOwnerChange);
  QString owner;
  QObject::connect(&owners, &QDBusServiceWatcher::serviceOwnerChanged,
                   [&owner](const QString&, const QString&, const QString& now) { owner = now; });
  server_.reset();
  server_ = std::make_unique<NotificationServer>(
      QStringList{QStringLiteral("body"), QStringLiteral("body-markup")});
  ASSERT_TRUE(server_->ready());
  // The toaster hears of the new owner in the same delivery as this watcher.
  ASSERT_TRUE(test::wait_until([&] { return owner == server_->unique_name(); }));
  QCoreApplication::processEvents();
  EXPECT_EQ(send(NotifyKind::Failed, "<i>Trip</i>", "1 < 2 && <b>bold</b>", "2"),
            NotifyOutcome::Shown);
  ASSERT_TRUE(test::wait_until([&] { return server_->toasts().size() == 1; }));
  EXPECT_EQ(server_->toasts()[0].body,
            QStringLiteral("&lt;i&gt;Trip&lt;/i&gt;\n1 &lt; 2 &amp;&amp; &lt;b&gt;bold&lt;/b&gt;"));

  // A refused toast is not retried; the page hears why.
  server_->refuse(QStringLiteral("Too many notifications."));
  const app::CommandResult refused =
      call("agent_notify", {{"kind", "test"}, {"chat", ""}, {"text", ""}, {"mid", ""}});
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(refused.message(), "Too many notifications.");
  EXPECT_EQ(server_->toasts().size(), 1u);
}

TEST_F(NotifierTest, PreferencesFileSurvivesDamageAndIsWrittenCompactInOrder) {
  const Prefs defaults;
  EXPECT_EQ(notifier_->prefs(), defaults);  // no file yet
  QDir().mkpath(QFileInfo(prefs_path_).path());
  const auto write = [&](const QByteArray& bytes) {
    QFile file(prefs_path_);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
  };
  const std::vector<QByteArray> damaged = {
      "",
      "{",
      "null",
      "[true,true,true,\"en\"]",
      "{\"enabled\":\"no\"}",
      "{\"enabled\":false,\"lang\":\"de\"}",
      "{\"enabled\":false,\"lang\":null}",
      "{\"sound\":0}",
      QByteArray("\xff\xfe{\"enabled\":false}"),
      "{\"enabled\":false}" + QByteArray(70 * 1024, ' '),  // too large for a preferences file
  };
  for (const QByteArray& bytes : damaged) {
    write(bytes);
    EXPECT_EQ(load_prefs(prefs_path_), defaults) << bytes.left(60).toStdString();
  }
  // Not a file at all: a folder, a pipe nobody writes to, a device that never ends.
  QFile::remove(prefs_path_);
  ASSERT_TRUE(QDir().mkpath(prefs_path_));
  EXPECT_EQ(load_prefs(prefs_path_), defaults);
  ASSERT_TRUE(QDir().rmdir(prefs_path_));
  ASSERT_EQ(::mkfifo(QFile::encodeName(prefs_path_).constData(), 0600), 0);
  EXPECT_EQ(load_prefs(prefs_path_), defaults);
  QFile::remove(prefs_path_);
  ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), prefs_path_));
  EXPECT_EQ(load_prefs(prefs_path_), defaults);
  QFile::remove(prefs_path_);

  write("{\"lang\":\"en\",\"extra\":[1],\"preview\":false}");
  EXPECT_EQ(load_prefs(prefs_path_), (Prefs{true, true, false, Lang::En}));

  // Through the commands, as the page changes them; the file is written off the window's
  // thread, which a slow disk must not freeze.
  const common::Json prefs = {
      {"enabled", false}, {"sound", true}, {"preview", true}, {"lang", "en"}};
  ASSERT_TRUE(call("agent_set_notify_prefs", {{"prefs", prefs}}).ok());
  EXPECT_NE(asked_on_.load(), QThread::currentThread());
  QFile file(prefs_path_);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(),
            QByteArray(R"({"enabled":false,"sound":true,"preview":true,"lang":"en"})"));
  EXPECT_EQ(call("agent_notify_prefs").value().dump(), prefs.dump());
  EXPECT_EQ(Notifier::load(host_, *toaster_, [this] { return prefs_path_; })->prefs(),
            (Prefs{false, true, true, Lang::En}));

  for (const common::Json& bad : {common::Json{{"enabled", 1}}, common::Json{{"lang", "EN"}},
                                  common::Json{{"preview", nullptr}}}) {
    EXPECT_EQ(call("agent_set_notify_prefs", {{"prefs", bad}}).message(),
              "The notification settings must give enabled, sound and preview as "
              "true or false, and lang as fa or en.")
        << bad.dump();
  }
  EXPECT_EQ(notifier_->prefs(), (Prefs{false, true, true, Lang::En}));  // unchanged

  // A folder that cannot hold the file: the new choice holds for now, the page hears why.
  prefs_path_ = QStringLiteral("/proc/kavor-nowhere/notifications.json");
  const app::CommandResult failed =
      call("agent_set_notify_prefs", {{"prefs", common::Json::object()}});
  EXPECT_FALSE(failed.ok());
  EXPECT_TRUE(failed.message().starts_with("The notification settings could not be saved: "))
      << failed.message();
  EXPECT_EQ(notifier_->prefs(), defaults);
}

TEST_F(NotifierTest, NotifyCommandChecksTheKindAndAnswersShownOrSkipped) {
  const auto notify = [&](const char* kind, const char* mid) {
    return call("agent_notify", {{"kind", kind}, {"chat", "c"}, {"text", "t"}, {"mid", mid}});
  };
  for (const char* bad : {"Done", "", "toast", "done "}) {
    EXPECT_EQ(notify(bad, "").message(),
              "The kind must be one of done, failed, network, approval, offline, "
              "online, unlinked and test.")
        << bad;
  }
  EXPECT_EQ(notify("done", "5").value(), "shown");
  EXPECT_EQ(notify("done", "5").value(), "skipped");
  EXPECT_EQ(call("agent_notify", {{"kind", "done"}, {"chat", "c"}, {"text", "t"}}).message(),
            "Command agent_notify needs the argument mid.");
  EXPECT_TRUE(test::wait_until([&] { return server_->toasts().size() == 1; }));
}

}  // namespace
}  // namespace notifier_test
}  // namespace kavor::desktop
