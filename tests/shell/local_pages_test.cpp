// The loader and error pages in the real webview under Xvfb, served from the program's own
// assets: the language choice, every reason, the page's own retry timers and probes.
#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QWebEngineHistory>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

#include <mutex>

#include "app/command_table.h"
#include "common/timing.h"
#include "desktop/watchdog.h"
#include "shell/asset_scheme.h"
#include "shell/main_window.h"
#include "support/page_driver.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor::shell {
namespace local_pages_test {
namespace {

using namespace std::chrono_literals;
using service::Reply;
using service::TestService;
using test::wait_until;
using Clock = std::chrono::steady_clock;

constexpr int kSpeedup = 20;  // retry ticks every 400 ms; a probe still waits its 7 seconds
using test::kPageTimeout;
constexpr const char* kWebsite = "https://www.kavor.example/";

QByteArray favicon_bytes() {
  QFile file(QStringLiteral(":/assets/favicon.ico"));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What the page shows, as seen by a reader: only rendered text counts.
constexpr const char* kSnapshot = R"((function () {
  var root = document.documentElement;
  var shown = function (el) { return !!el && el.offsetParent !== null; };
  var visible = [].slice.call(document.querySelectorAll('h1')).filter(shown);
  var badge = document.querySelector('.badge');
  var code = [].slice.call(document.querySelectorAll('.code')).filter(shown);
  var status = document.querySelector('.status');
  return JSON.stringify({
    reason: root.getAttribute('data-reason') || '',
    lang: root.getAttribute('lang'), dir: root.getAttribute('dir'),
    dataLang: root.getAttribute('data-lang'),
    headings: visible.map(function (h) { return h.innerText; }).join('|'),
    badge: badge ? badge.innerText : '',
    code: code.map(function (c) { return c.textContent; }).join('|'),
    status: status ? status.innerText : '',
    accent: getComputedStyle(root).getPropertyValue('--accent').trim(),
    font: getComputedStyle(document.body).fontFamily
  });
})())";

class LocalPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    common::timing::set_speedup(kSpeedup);
    svc_.set_default("GET", "/", Reply::text(200, "<p>chat</p>", "text/html"));
    svc_.set_handler("GET", "/favicon.ico", [this](const service::RecordedRequest& request) {
      std::lock_guard lock(mutex_);
      pings_.push_back({Clock::now(), request.query});
      return favicon_;
    });
    profile_ = std::make_unique<QWebEngineProfile>();
    assets_ = std::make_unique<AssetSchemeHandler>(endpoints(), QString::fromLatin1(kWebsite));
    profile_->installUrlSchemeHandler(common::kAssetScheme, assets_.get());
    window_ = std::make_unique<MainWindow>(profile_.get(), endpoints(), watchdog_, commands_,
                                           [this](const QUrl& url) { opened_.push_back(url); });
    window_->show();
  }
  void TearDown() override {
    window_.reset();
    profile_.reset();
    common::timing::set_speedup(1);
  }
  common::Endpoints endpoints() const {
    return common::Endpoints(app_url(), QString::fromStdString(svc_.base_url()));
  }
  QString app_url() const { return QString::fromStdString(svc_.base_url() + "/"); }
  QWebEnginePage* page() const { return window_->page(); }

  // The webview's language list, as the page sees it; nothing leaves the real one.
  void languages(const QString& list_script) {
    QWebEngineScript script;
    script.setName(QStringLiteral("test-languages"));
    script.setSourceCode(
        QStringLiteral("(function(){var get=%1;"
                       "Object.defineProperty(Navigator.prototype,'languages',{get:get,"
                       "configurable:true});"
                       "Object.defineProperty(Navigator.prototype,'language',{get:function(){"
                       "var l=get();return l&&l.length?l[0]:undefined;},configurable:true});"
                       "})();")
            .arg(list_script));
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    for (const QWebEngineScript& old : page()->scripts().find(QStringLiteral("test-languages"))) {
      page()->scripts().remove(old);
    }
    page()->scripts().insert(script);
  }
  // Loads a local page; a query keeps each load a new document.
  bool open(const QString& relative) {
    const QUrl url(QStringLiteral("kavor://localhost/") + relative);
    page()->load(url);
    const auto without_fragment = [](const QUrl& u) { return u.adjusted(QUrl::RemoveFragment); };
    return wait_until(
        [&] {
          return without_fragment(page()->url()) == without_fragment(url) && !page()->isLoading() &&
                 js(QStringLiteral("document.readyState === 'complete'")).toBool();
        },
        kPageTimeout);
  }
  QVariant js(const QString& script) { return test::run_script(page(), script); }
  // Empty while the page is between documents.
  common::Json snapshot() {
    const std::optional<common::Json> shown =
        common::parse_json(js(QString::fromLatin1(kSnapshot)).toString().toStdString());
    return shown && shown->is_object() ? *shown : common::Json::object();
  }
  std::size_t pings() {
    std::lock_guard lock(mutex_);
    return pings_.size();
  }
  std::vector<Clock::time_point> ping_times() {
    std::lock_guard lock(mutex_);
    std::vector<Clock::time_point> out;
    for (const auto& p : pings_) out.push_back(p.first);
    return out;
  }
  void serve_favicon(Reply reply) {
    std::lock_guard lock(mutex_);
    favicon_ = std::move(reply);
  }
  void idle(std::chrono::milliseconds time) {
    wait_until([] { return false; }, time);
  }

  TestService svc_;
  std::mutex mutex_;
  std::vector<std::pair<Clock::time_point, std::string>> pings_;
  Reply favicon_ = Reply::text(404, "");
  desktop::Watchdog watchdog_;
  app::CommandTable commands_;
  std::vector<QUrl> opened_;
  std::unique_ptr<QWebEngineProfile> profile_;
  std::unique_ptr<AssetSchemeHandler> assets_;
  std::unique_ptr<MainWindow> window_;
};

TEST_F(LocalPagesTest, EveryReasonShowsItsBadgeCodeAndCopyAndAnythingElseIsACrash) {
  languages(QStringLiteral("function(){return ['en-US'];}"));
  struct Case {
    const char* fragment;
    const char* reason;
    const char* badge;
    const char* code;
    const char* heading;
    const char* accent;
  };
  const std::vector<Case> cases = {
      {"#offline", "offline", "NETWORK", "KAVOR-NET-01", "You are offline", "#b45309"},
      {"#server", "server", "SERVER", "KAVOR-SRV-02", "Kavor AI is not responding", "#b45309"},
      {"#memory", "memory", "MEMORY", "KAVOR-MEM-03", "Your computer ran out of memory", "#d93025"},
      {"#crash", "crash", "PAGE", "KAVOR-UI-04", "The page stopped unexpectedly", "#d93025"},
      {"", "crash", "PAGE", "KAVOR-UI-04", "The page stopped unexpectedly", "#d93025"},
      {"#", "crash", "PAGE", "KAVOR-UI-04", "The page stopped unexpectedly", "#d93025"},
      {"#OFFLINE", "crash", "PAGE", "KAVOR-UI-04", "The page stopped unexpectedly", "#d93025"},
      {"#__proto__", "crash", "PAGE", "KAVOR-UI-04", "The page stopped unexpectedly", "#d93025"},
      {"#constructor", "crash", "PAGE", "KAVOR-UI-04", "The page stopped unexpectedly", "#d93025"},
      {"#%3Cimg%20src=x%20onerror=document.title='owned'%3E", "crash", "PAGE", "KAVOR-UI-04",
       "The page stopped unexpectedly", "#d93025"},
      {"#offline#server", "crash", "PAGE", "KAVOR-UI-04", "The page stopped unexpectedly",
       "#d93025"},
  };
  int n = 0;
  for (const Case& c : cases) {
    // Queries are not the page's business: they change nothing.
    ASSERT_TRUE(open(QStringLiteral("error.html?reason=offline&n=%1%2")
                         .arg(++n)
                         .arg(QString::fromLatin1(c.fragment))))
        << c.fragment;
    const common::Json shown = snapshot();
    EXPECT_EQ(shown["reason"], c.reason) << c.fragment;
    EXPECT_EQ(shown["badge"], c.badge) << c.fragment;
    EXPECT_EQ(shown["code"], c.code) << c.fragment;
    EXPECT_EQ(shown["headings"], c.heading) << c.fragment;
    EXPECT_EQ(shown["accent"], c.accent) << c.fragment;
  }
  EXPECT_EQ(page()->title(), QStringLiteral("Kavor Agent"));
  EXPECT_TRUE(opened_.empty());

  // A long fragment of anything is still only a crash.
  ASSERT_TRUE(open(QStringLiteral("error.html?n=long#") + QString(100'000, QLatin1Char('x'))));
  EXPECT_EQ(snapshot()["reason"], "crash");

  // Persian: the badges and headings of the table.
  languages(QStringLiteral("function(){return ['fa-IR','en'];}"));
  ASSERT_TRUE(open(QStringLiteral("error.html?n=fa1#server")));
  common::Json shown = snapshot();
  EXPECT_EQ(shown["badge"], "سرور");
  EXPECT_EQ(shown["headings"], "سرور کاور پاسخ نمیدهد");
  EXPECT_EQ(shown["code"], "KAVOR-SRV-02");
  EXPECT_EQ(shown["status"], "تا دوباره وصل شویم صبر کنید.");
  EXPECT_NE(shown["font"].get<std::string>().find("Shabnam"), std::string::npos);
  ASSERT_TRUE(open(QStringLiteral("error.html?n=fa2#memory")));
  shown = snapshot();
  EXPECT_EQ(shown["badge"], "حافظه");
  EXPECT_EQ(shown["headings"], "حافظهی رایانه پر شده است");
  EXPECT_EQ(shown["status"], "");  // no retrying by itself
  ASSERT_TRUE(open(QStringLiteral("error.html?n=fa3#offline")));
  EXPECT_EQ(snapshot()["badge"], "شبکه");
  ASSERT_TRUE(open(QStringLiteral("error.html?n=fa4#nothing")));
  EXPECT_EQ(snapshot()["headings"], "صفحه بهطور غیرمنتظره متوقف شد");
  // The Shabnam font was loaded from the program's own assets.
  js(
      QStringLiteral("document.fonts.load('700 14px Shabnam', 'سلام');"
                     "document.fonts.load('400 14px Shabnam', 'سلام')"));
  const QString loaded_faces = QStringLiteral(
      "(function () { var out = []; document.fonts.forEach(function (f) {"
      "if (f.status === 'loaded') out.push(f.family + ' ' + f.weight); });"
      "return out.sort().join(); })()");
  EXPECT_TRUE(wait_until(
      [&] { return js(loaded_faces).toString() == QStringLiteral("Shabnam 400,Shabnam 700"); },
      kPageTimeout))
      << js(loaded_faces).toString().toStdString();

  // The window's own navigation to another reason, a change of the fragment only.
  page()->load(QUrl(QStringLiteral("kavor://localhost/error.html?n=fa4#offline")));
  EXPECT_TRUE(wait_until([&] { return snapshot()["reason"] == "offline"; }, kPageTimeout));
  EXPECT_EQ(snapshot()["badge"], "شبکه");
}

TEST_F(LocalPagesTest, TheLanguageComesFromTheFirstEntryOfTheList) {
  struct Case {
    const char* list;
    const char* lang;
  };
  const std::vector<Case> cases = {
      {"function(){return ['fa'];}", "fa"},
      {"function(){return ['fa-IR','en-US'];}", "fa"},
      {"function(){return ['PE'];}", "fa"},
      {"function(){return ['en-US','fa'];}", "en"},
      {"function(){return ['de'];}", "en"},
      {"function(){return [];}", "en"},
      {"function(){return [null];}", "en"},
      {"function(){return [' fa'];}", "en"},
      {"function(){return ['<b>fa</b>'];}", "en"},
      {"function(){return [{toString:function(){throw new Error('no');}}];}", "en"},
      {"function(){throw new Error('no list');}", "en"},
  };
  int n = 0;
  for (const Case& c : cases) {
    languages(QString::fromLatin1(c.list));
    for (const char* page_name : {"index.html", "error.html"}) {
      ASSERT_TRUE(open(QStringLiteral("%1?n=%2#offline").arg(QLatin1String(page_name)).arg(++n)));
      const common::Json shown = snapshot();
      const bool fa = std::string(c.lang) == "fa";
      EXPECT_EQ(shown["lang"], c.lang) << c.list << " " << page_name;
      EXPECT_EQ(shown["dataLang"], c.lang) << c.list;
      EXPECT_EQ(shown["dir"], fa ? "rtl" : "ltr") << c.list;
      if (std::string(page_name) == "index.html") {
        EXPECT_EQ(shown["headings"], fa ? "اتصال برقرار نشد" : "Connecting to Kavor AI failed");
      }
    }
  }

  // The webview's own list, as the program sets it up.
  page()->scripts().remove(page()->scripts().find(QStringLiteral("test-languages")).constFirst());
  profile_->setHttpAcceptLanguage(QStringLiteral("fa-IR,en;q=0.8"));
  ASSERT_TRUE(open(QStringLiteral("error.html?n=real#offline")));
  EXPECT_EQ(snapshot()["lang"], "fa");

  // The loader without a fragment is connecting; with #offline it tells why it waits. It
  // never probes anything itself.
  ASSERT_TRUE(open(QStringLiteral("index.html?n=offline#offline")));
  const std::size_t probes = pings();
  languages(QStringLiteral("function(){return ['en'];}"));
  ASSERT_TRUE(open(QStringLiteral("index.html?n=plain")));
  EXPECT_EQ(snapshot()["headings"], "Kavor Agent is connecting");
  languages(QStringLiteral("function(){return ['fa'];}"));
  ASSERT_TRUE(open(QStringLiteral("index.html?n=plain-fa")));
  EXPECT_EQ(snapshot()["headings"], "دستیار زبان کاور در حال اتصال است");
  idle(1000ms);
  EXPECT_EQ(pings(), probes);
}

TEST_F(LocalPagesTest, NetworkTroubleIsRetriedEverySixteenSecondsUntilTheChatAnswers) {
  // Ticks of 800 ms: a timer of the page and a request to the service may each run late on a
  // busy machine, and the bounds below leave them 400 ms of it.
  static constexpr int kRetrySpeedup = 10;
  common::timing::set_speedup(kRetrySpeedup);
  languages(QStringLiteral("function(){return ['en'];}"));
  const int entries_before = page()->history()->count();
  const auto opening = Clock::now();
  ASSERT_TRUE(open(QStringLiteral("error.html#offline")));
  const auto opened = Clock::now();
  EXPECT_EQ(snapshot()["status"], "Please wait while we reconnect.");
  ASSERT_TRUE(wait_until([&] { return pings() >= 3; }, kPageTimeout));
  const auto times = ping_times();
  // The 1st, 3rd and 5th ticks of 8 s probe: at 8, 24 and 40 s. The bounds tell these apart
  // from a probe at every tick (8 s apart) and from one at every third (24 s apart).
  const auto nominal = [](Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d) * kRetrySpeedup;
  };
  EXPECT_GE(nominal(times[0] - opening), 7500ms);
  EXPECT_LT(nominal(times[0] - opened), 12000ms);
  for (std::size_t i = 1; i < 3; ++i) {
    EXPECT_GE(nominal(times[i] - times[i - 1]), 12000ms) << i;
    EXPECT_LT(nominal(times[i] - times[i - 1]), 20000ms) << i;
  }
  {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(pings_[0].second.rfind("ping=", 0), 0u);
    EXPECT_NE(pings_[0].second, pings_[1].second);  // never served from a cache
  }
  EXPECT_EQ(snapshot()["status"], "Please wait while we reconnect.");

  // The service answers: the page replaces itself with the chat, leaving no entry behind.
  Reply icon = Reply::text(200, favicon_bytes().toStdString(), "image/x-icon");
  serve_favicon(icon);
  ASSERT_TRUE(wait_until([&] { return page()->url() == QUrl(app_url()); }, kPageTimeout));
  EXPECT_EQ(page()->history()->count(), entries_before + 1);
}

TEST_F(LocalPagesTest, HiddenPagesAndPageFailuresDoNotRetryByThemselves) {
  languages(QStringLiteral("function(){return ['en'];}"));
  for (const char* reason : {"memory", "crash", "bogus"}) {
    ASSERT_TRUE(open(QStringLiteral("error.html?r=%1#%1").arg(QLatin1String(reason))));
    idle(1300ms);  // three ticks
    EXPECT_EQ(pings(), 0u) << reason;
    EXPECT_EQ(js(QStringLiteral("kavorErrorPage.attempts()")).toInt(), 0) << reason;
  }

  // A minimised window hides the page: its ticks neither count nor probe. Minimised before
  // the page opens, so no tick can come first.
  window_->showMinimized();
  ASSERT_TRUE(wait_until([&] { return window_->isMinimized(); }));
  ASSERT_TRUE(open(QStringLiteral("error.html#server")));
  ASSERT_TRUE(wait_until([&] { return js(QStringLiteral("document.hidden")).toBool(); }));
  idle(1300ms);
  EXPECT_EQ(pings(), 0u);
  EXPECT_EQ(js(QStringLiteral("kavorErrorPage.attempts()")).toInt(), 0);
  window_->showNormal();
  ASSERT_TRUE(wait_until([&] { return pings() >= 1; }, kPageTimeout));
}

TEST_F(LocalPagesTest, TryAgainProbesOnceAtATimeAndAProbeThatNeverSettlesFails) {
  languages(QStringLiteral("function(){return ['en'];}"));
  ASSERT_TRUE(open(QStringLiteral("error.html#crash")));

  // Refused: back to the button, with the offline message.
  js(QStringLiteral("document.getElementById('retry').click()"));
  ASSERT_TRUE(wait_until([&] {
    return snapshot()["status"] == "Still offline; we keep trying by ourselves." &&
           !js(QStringLiteral("document.getElementById('retry').disabled")).toBool();
  }));
  EXPECT_EQ(pings(), 1u);

  // Never answered: busy meanwhile (more clicks are ignored), failed after 7 seconds.
  serve_favicon(Reply::held());
  const auto clicked = Clock::now();
  js(QStringLiteral("document.getElementById('retry').click()"));
  EXPECT_EQ(snapshot()["status"], "Checking the connection…");
  EXPECT_TRUE(js(QStringLiteral("document.getElementById('retry').disabled")).toBool());
  js(
      QStringLiteral("document.getElementById('retry').click();"
                     "document.getElementById('retry').dispatchEvent(new MouseEvent('click'))"));
  ASSERT_TRUE(wait_until(
      [&] { return snapshot()["status"] == "Still offline; we keep trying by ourselves."; }));
  // The probe's own 7 seconds, which no test clock shortens; a busy machine runs timers late.
  const auto gave_up = Clock::now() - clicked;
  EXPECT_GE(gave_up, 6500ms);
  EXPECT_LT(gave_up, 30000ms);
  EXPECT_EQ(pings(), 2u);
  // The late answer changes nothing.
  svc_.release_held(Reply::text(200, favicon_bytes().toStdString(), "image/x-icon"));
  idle(400ms);
  EXPECT_EQ(page()->url().fragment(), QStringLiteral("crash"));
  EXPECT_EQ(snapshot()["status"], "Still offline; we keep trying by ourselves.");

  // Answered: off to the chat.
  serve_favicon(Reply::text(200, favicon_bytes().toStdString(), "image/x-icon"));
  js(QStringLiteral("document.getElementById('retry').click()"));
  ASSERT_TRUE(wait_until([&] { return page()->url() == QUrl(app_url()); }, kPageTimeout));

  // The website link leaves the program.
  ASSERT_TRUE(open(QStringLiteral("error.html?n=2#crash")));
  js(QStringLiteral("document.getElementById('website').click()"));
  ASSERT_TRUE(wait_until([&] { return !opened_.empty(); }));
  EXPECT_EQ(opened_.back(), QUrl(QString::fromLatin1(kWebsite)));
  EXPECT_EQ(page()->url().fragment(), QStringLiteral("crash"));
}

// Pictures of the pages for the documentation, made only when KAVOR_SCREENSHOTS names a
// folder: the loader and the error page in both languages, in the scheme the webview runs in
// (start the tests with --force-dark-mode in KAVOR_TEST_CHROMIUM_FLAGS for the dark ones).
TEST_F(LocalPagesTest, Screenshots) {
  const QString folder = qEnvironmentVariable("KAVOR_SCREENSHOTS");
  if (folder.isEmpty()) GTEST_SKIP() << "KAVOR_SCREENSHOTS is not set";
  common::timing::set_speedup(1);
  QDir().mkpath(folder);
  window_->resize(900, 720);
  struct Shot {
    const char* name;
    const char* page;
    const char* fragment;
  };
  const Shot shots[] = {{"loader", "index.html", ""},
                        {"loader-offline", "index.html", "#offline"},
                        {"error-offline", "error.html", "#offline"},
                        {"error-crash", "error.html", "#crash"}};
  int n = 0;
  for (const char* lang : {"fa", "en"}) {
    languages(QStringLiteral("function(){return ['%1'];}").arg(QLatin1String(lang)));
    for (const Shot& shot : shots) {
      ASSERT_TRUE(open(QStringLiteral("%1?n=%2%3")
                           .arg(QLatin1String(shot.page))
                           .arg(++n)
                           .arg(QLatin1String(shot.fragment))));
      ASSERT_TRUE(wait_until(
          [&] { return js(QStringLiteral("document.fonts.status === 'loaded'")).toBool(); }));
      const bool dark =
          js(QStringLiteral("matchMedia('(prefers-color-scheme: dark)').matches")).toBool();
      idle(400ms);
      const QString file = QStringLiteral("%1/%2-%3-%4.png")
                               .arg(folder, QLatin1String(shot.name), QLatin1String(lang),
                                    dark ? QStringLiteral("dark") : QStringLiteral("light"));
      EXPECT_TRUE(window_->grab().save(file)) << file.toStdString();
    }
  }
}

}  // namespace
}  // namespace local_pages_test
}  // namespace kavor::shell
