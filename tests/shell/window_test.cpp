// The real main window under Xvfb: the start-page probe's sequence of pages, the lock script
// against real key and mouse input, and the navigation rules.
#include <gtest/gtest.h>
#include <QClipboard>
#include <QGuiApplication>
#include <QTest>
#include <QWebEngineProfile>

#include <algorithm>
#include <mutex>

#include "common/timing.h"
#include "desktop/watchdog.h"
#include "shell/application.h"
#include "support/page_driver.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor::shell {
namespace window_test {
namespace {

using service::Reply;
using service::TestService;
using test::wait_until;

constexpr const char* kAppPage = R"(<!doctype html><html><body>
<input id="field" value="hello world">
<div class="msg-body" id="msg">copy me please</div>
<div id="plain">plain text here</div>
<a id="ext" href="https://example.org/docs">docs</a>
<a id="file" href="file:///etc/hosts">hosts</a>
<a id="inapp" href="/other">other</a>
<iframe id="frame" src="/frame"></iframe>
<script>
  window.seen = [];
  document.addEventListener('keydown', function (e) {
    if (/^(Control|Shift|Alt|Meta)/.test(e.code)) return;
    seen.push((e.ctrlKey ? 'C-' : '') + (e.shiftKey ? 'S-' : '') + e.code);
  });
  document.addEventListener('contextmenu', function () { seen.push('contextmenu'); });
</script></body></html>)";

// Pages load in a real browser engine, which is slow on a busy machine.
using test::kPageTimeout;

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    common::timing::set_speedup(20);
    svc_.set_default("GET", "/", Reply::text(200, kAppPage, "text/html"));
    svc_.set_default("GET", "/frame", Reply::text(200, "<p>frame</p>", "text/html"));
    svc_.set_default("GET", "/other", Reply::text(200, "<p>other</p>", "text/html"));
    svc_.set_default("GET", "/favicon.ico", Reply::text(404, ""));
  }
  void TearDown() override { common::timing::set_speedup(1); }

  void start() {
    ApplicationOptions options;
    options.endpoints = common::Endpoints(app_url(), QString::fromStdString(svc_.base_url()));
    options.watchdog = false;  // at twenty times the speed it would judge pages too soon
    options.opener = [this](const QUrl& url) {
      std::lock_guard lock(opened_mutex_);
      opened_.push_back(url.toString());
      return true;
    };
    options.profile_name = QString();
    app_ = std::make_unique<Application>(std::move(options));
    app_->set_up();
    QObject::connect(app_->main_window()->page(), &QWebEnginePage::urlChanged,
                     [this](const QUrl& url) { urls_.push_back(url.toString()); });
  }
  // Every URL the window showed, for failure messages.
  std::string visited() const {
    std::string out = "visited:";
    for (const QString& u : urls_) out += " " + u.toStdString();
    return out + "; now " + url().toStdString();
  }
  QString app_url() const { return QString::fromStdString(svc_.base_url() + "/"); }
  QWebEnginePage* page() const { return app_->main_window()->page(); }
  QString url() const { return page()->url().toString(); }

  QVariant js(const QString& script) { return test::run_script(page(), script); }
  bool app_page_ready() {
    return wait_until(
        [&] {
          return url() == app_url() && !page()->isLoading() &&
                 js(QStringLiteral("document.readyState === 'complete' && !!window.seen")).toBool();
        },
        kPageTimeout);
  }
  void key(Qt::Key k, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QWidget* target = app_->main_window()->focusProxy();
    ASSERT_NE(target, nullptr);
    QTest::keyClick(target, k, mods);
    wait_until([] { return false; }, std::chrono::milliseconds(80));
  }
  std::vector<QString> opened() {
    std::lock_guard lock(opened_mutex_);
    return opened_;
  }

  TestService svc_;
  std::unique_ptr<Application> app_;
  std::vector<QString> urls_;
  std::mutex opened_mutex_;
  std::vector<QString> opened_;
};

TEST_F(WindowTest, ProbeShowsLoaderThenErrorPagesOncePerReasonThenTheApplication) {
  svc_.set_default("GET", "/", Reply::dropped());
  start();
  ASSERT_TRUE(
      wait_until([&] { return url().endsWith(QLatin1String("error.html#offline")); }, kPageTimeout))
      << visited();
  // While the service stays unreachable, the error page is left alone.
  wait_until([] { return false; }, std::chrono::milliseconds(800));
  svc_.set_default("GET", "/", Reply::text(503, "maintenance"));
  ASSERT_TRUE(
      wait_until([&] { return url().endsWith(QLatin1String("error.html#server")); }, kPageTimeout))
      << visited();
  wait_until([] { return false; }, std::chrono::milliseconds(800));
  svc_.set_default("GET", "/", Reply::text(200, kAppPage, "text/html"));
  ASSERT_TRUE(wait_until([&] { return url() == app_url(); }, kPageTimeout)) << visited();

  const auto count = [&](const char* suffix) {
    return std::count_if(urls_.begin(), urls_.end(),
                         [&](const QString& u) { return u.endsWith(QLatin1String(suffix)); });
  };
  EXPECT_EQ(count("index.html#offline"), 1);
  EXPECT_EQ(count("error.html#offline"), 1);
  EXPECT_EQ(count("error.html#server"), 1);
  const auto pos = [&](const char* suffix) {
    return std::find_if(urls_.begin(), urls_.end(),
                        [&](const QString& u) { return u.endsWith(QLatin1String(suffix)); }) -
           urls_.begin();
  };
  EXPECT_LT(pos("index.html#offline"), pos("error.html#offline"));
  EXPECT_LT(pos("error.html#offline"), pos("error.html#server"));
  // The error page came from the program's own assets.
  EXPECT_EQ(app_->main_window()->windowTitle(), QStringLiteral("Kavor Agent"));
}

TEST_F(WindowTest, ReachableApplicationLoadsAndALockScriptRunsInEveryFrame) {
  svc_.set_default("GET", "/", Reply::text(404, kAppPage, "text/html"));  // 404 still counts
  start();
  ASSERT_TRUE(app_page_ready());
  EXPECT_EQ(std::count_if(urls_.begin(), urls_.end(),
                          [](const QString& u) { return u.contains(QLatin1Char('#')); }),
            0);
  EXPECT_TRUE(js(QStringLiteral("window.__kavorLocked === true")).toBool());
  // The page-load hook told the watchdog: an application page started and finished loading.
  ASSERT_TRUE(wait_until([&] { return app_->state().watchdog.loaded(); }));
  EXPECT_GE(app_->state().watchdog.load_counter(), 1u);
  ASSERT_TRUE(wait_until([&] {
    return js(QStringLiteral("(function(){var f=document.getElementById('frame');"
                             "return !!(f.contentWindow && f.contentWindow.__kavorLocked);})()"))
        .toBool();
  }));
  const QSize inner = app_->main_window()->size();
  EXPECT_EQ(inner, QSize(1180, 800));
  EXPECT_EQ(app_->main_window()->minimumSize(), QSize(720, 520));
}

TEST_F(WindowTest, LockScriptBlocksBrowserShortcutsButNotEditingOrCopying) {
  start();
  ASSERT_TRUE(app_page_ready());
  app_->main_window()->activateWindow();
  app_->main_window()->setFocus();

  // Ctrl+A selects inside a text field.
  js(QStringLiteral(
      "var f=document.getElementById('field'); f.focus(); f.setSelectionRange(0,0);"));
  key(Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(js(QStringLiteral("[field.selectionStart, field.selectionEnd].join()")).toString(),
            QStringLiteral("0,11"));

  // Elsewhere it does nothing.
  js(QStringLiteral("field.blur(); getSelection().removeAllRanges(); seen.length = 0;"));
  key(Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(js(QStringLiteral("getSelection().toString()")).toString(), QString());

  // Reload, developer tools and friends never reach the page.
  key(Qt::Key_F5);
  key(Qt::Key_R, Qt::ControlModifier);
  key(Qt::Key_I, Qt::ControlModifier | Qt::ShiftModifier);
  key(Qt::Key_F12);
  key(Qt::Key_Left, Qt::AltModifier);
  key(Qt::Key_U, Qt::ControlModifier);
  key(Qt::Key_B, Qt::ControlModifier);  // not a blocked shortcut: the page sees it
  EXPECT_EQ(js(QStringLiteral("seen.join(' ')")).toString(), QStringLiteral("C-KeyB"));
  EXPECT_EQ(url(), app_url());

  // Ctrl+C inside a message copies its text.
  QGuiApplication::clipboard()->clear();
  js(QStringLiteral(
      "var r=document.createRange(); r.selectNodeContents(msg);"
      "getSelection().removeAllRanges(); getSelection().addRange(r); seen.length=0;"));
  key(Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(js(QStringLiteral("seen.join(' ')")).toString(), QStringLiteral("C-KeyC"));
  EXPECT_TRUE(wait_until(
      [] { return QGuiApplication::clipboard()->text() == QStringLiteral("copy me please"); }));

  // The context menu is cancelled before the page sees it.
  js(QStringLiteral("seen.length=0;"));
  QTest::mouseClick(app_->main_window()->focusProxy(), Qt::RightButton, {}, QPoint(40, 40));
  wait_until([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(js(QStringLiteral("seen.join(' ')")).toString(), QString());
  EXPECT_TRUE(js(QStringLiteral("(function(){var e=new MouseEvent('contextmenu',"
                                "{bubbles:true,cancelable:true}); msg.dispatchEvent(e);"
                                "return e.defaultPrevented;})()"))
                  .toBool());
}

TEST_F(WindowTest, ForeignLinksOpenOutsideAndTheWindowStaysOnTheApplication) {
  start();
  ASSERT_TRUE(app_page_ready());

  js(QStringLiteral("document.getElementById('ext').click()"));
  ASSERT_TRUE(wait_until([&] { return !opened().empty(); }));
  EXPECT_EQ(opened(), std::vector<QString>{QStringLiteral("https://example.org/docs")});

  js(QStringLiteral("document.getElementById('file').click()"));
  js(QStringLiteral("window.open('https://example.org/popup')"));
  ASSERT_TRUE(wait_until([&] { return opened().size() == 2; }));
  EXPECT_EQ(opened().back(), QStringLiteral("https://example.org/popup"));
  wait_until([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(opened().size(), 2u);  // the file link opened nothing
  EXPECT_EQ(url(), app_url());

  js(QStringLiteral("document.getElementById('inapp').click()"));
  EXPECT_TRUE(wait_until([&] { return url() == app_url() + QStringLiteral("other"); }));
}

}  // namespace
}  // namespace window_test
}  // namespace kavor::shell
