// The page interface in the real main window under Xvfb, driven from a page that uses the
// published framework API package (bundled at build time) the way the chat web application
// does: command calls, events, and the pages and frames that must get no access.
#include <gtest/gtest.h>
#include <qcorotimer.h>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>

#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "bridge/status.h"
#include "common/timing.h"
#include "common/utf8.h"
#include "platform/session_file.h"
#include "shell/application.h"
#include "shell/page_bridge.h"
#include "support/other_user.h"
#include "support/page_driver.h"
#include "support/wait.h"
#include "test_service.h"
#include "tools/command_tools.h"
#include "tools/scope.h"

namespace kavor::shell {
namespace page_bridge_test {
namespace {

using service::Reply;
using service::TestService;
using test::wait_until;

std::string read_file(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll().toStdString();
}

// The page secret, read from the script the bridge installed.
QString page_secret(QWebEnginePage* page) {
  const auto scripts = page->scripts().find(QStringLiteral("kavor-page-bridge"));
  if (scripts.isEmpty()) return {};
  const auto match = QRegularExpression(QStringLiteral("\"secret\":\"([0-9a-f]+)\""))
                         .match(scripts.first().sourceCode());
  return match.captured(1);
}

constexpr const char* kAppPage = R"(<!doctype html><html><head>
<script src="/bridge.js"></script>
<script>bridgeTest.track('early', () => bridgeTest.invoke('echo', { text: 'early' }));</script>
</head><body><p>app</p></body></html>)";

constexpr const char* kPlainPage = R"(<!doctype html><html><head>
<script src="/bridge.js"></script></head><body><p>plain</p></body></html>)";

// Tries every way into the agent from a page that must have none, and reports what happened
// (to the parent when framed, in window.report otherwise). SECRET is replaced with the real
// page secret, so that only the origin or the frame can be what keeps the calls out.
constexpr const char* kIntruderPage = R"(<!doctype html><html><head>
<script src="/qwebchannel.js"></script><script src="/bridge.js"></script></head><body><script>
var report = {
  internals: typeof window.__TAURI_INTERNALS__,
  transport: typeof (window.qt && window.qt.webChannelTransport),
  events: [],
};
try { report.parent = typeof parent.__TAURI_INTERNALS__; } catch (e) { report.parent = 'blocked'; }
bridgeTest.invoke('echo', { text: 'intruder' }).then(
  function () { report.invoke = 'resolved'; }, function () { report.invoke = 'rejected'; });
if (window.qt && qt.webChannelTransport) {
  qt.webChannelTransport.send(JSON.stringify({ type: 6, object: 'bridge', method: 'call',
    args: ['SECRET', 'intruder', 1, 'echo', '{"text":"raw"}'], id: 1000 }));
  new QWebChannel(qt.webChannelTransport, function (channel) {
    report.channel = 'open';
    var bridge = channel.objects.bridge;
    bridge.event_emitted.connect(function (name) { report.events.push(name); });
    bridge.answered.connect(function (doc, id, ok, value) { report.answer = value; });
    bridge.call('SECRET', 'intruder', 2, 'echo', '{"text":"channel"}');
  });
}
setTimeout(function () {
  if (parent !== window) parent.postMessage(JSON.stringify(report), '*');
}, 1500);
</script></body></html>)";

constexpr const char* kFramingPage = R"(<!doctype html><html><head>
<script src="/bridge.js"></script>
<script>
window.frameReport = '';
addEventListener('message', function (e) { frameReport = String(e.data); });
</script></head><body><iframe src="FRAME"></iframe></body></html>)";

// The commands the tests call. Handlers are plain coroutine functions with value parameters,
// so a call still running when the window is gone does not touch a dead lambda.
struct Counters {
  std::map<std::string, int> runs;
  int in_flight = 0;
  int most_in_flight = 0;
  std::set<std::string> released;  // tags of held calls that may finish
};

QCoro::Task<app::CommandResult> echo(Counters* counters, common::Json args) {
  ++counters->runs["echo"];
  ++counters->runs["echo:" + args["text"].get<std::string>()];
  co_return args["text"];
}

QCoro::Task<app::CommandResult> slow(Counters* counters, common::Json args) {
  ++counters->runs["slow"];
  counters->most_in_flight = std::max(counters->most_in_flight, ++counters->in_flight);
  co_await QCoro::sleepFor(std::chrono::milliseconds(args["ms"].get<int>()));
  --counters->in_flight;
  co_return args["tag"];
}

// Runs until the test releases its tag.
QCoro::Task<app::CommandResult> hold(Counters* counters, common::Json args) {
  const std::string tag = args["tag"].get<std::string>();
  ++counters->runs["hold"];
  ++counters->in_flight;
  while (counters->released.count(tag) == 0)
    co_await QCoro::sleepFor(std::chrono::milliseconds(10));
  --counters->in_flight;
  co_return common::Json(tag);
}

QCoro::Task<app::CommandResult> failing(Counters* counters) {
  ++counters->runs["fail"];
  co_return fail("That did not work.");
}

// Answers with the arguments it got, behind keys in an order no sorting would give.
QCoro::Task<app::CommandResult> shape(Counters* counters, common::Json args) {
  ++counters->runs["shape"];
  common::Json out = common::Json::object();
  out["zeta"] = 1;
  out["args"] = std::move(args);
  out["alpha"] = common::Json::array({true, nullptr, "\u00fc"});
  co_return std::move(out);
}

void add_commands(app::CommandTable& table, Counters* counters) {
  table.add("echo", {{"text", app::ArgType::String}},
            [counters](const common::Json& args) { return echo(counters, args); });
  table.add("slow", {{"ms", app::ArgType::PositiveInteger}, {"tag", app::ArgType::String}},
            [counters](const common::Json& args) { return slow(counters, args); });
  table.add("hold", {{"tag", app::ArgType::String}},
            [counters](const common::Json& args) { return hold(counters, args); });
  table.add("fail", {}, [counters](const common::Json&) { return failing(counters); });
  table.add("shape", {{"callId", app::ArgType::String}, {"count", app::ArgType::PositiveInteger}},
            [counters](const common::Json& args) { return shape(counters, args); });
}

using test::run_script;

class PageBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    common::timing::set_speedup(20);
    const std::string bundle = read_file(QStringLiteral(KAVOR_BRIDGE_TEST_PAGE));
    ASSERT_FALSE(bundle.empty()) << "the test page bundle is missing";
    const std::string channel = read_file(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    ASSERT_FALSE(channel.empty());
    for (TestService* svc : {&svc_, &other_}) {
      svc->set_default("GET", "/bridge.js", Reply::text(200, bundle, "text/javascript"));
      svc->set_default("GET", "/qwebchannel.js", Reply::text(200, channel, "text/javascript"));
      svc->set_default("GET", "/favicon.ico", Reply::text(404, ""));
    }
    svc_.set_default("GET", "/", Reply::text(200, kAppPage, "text/html"));
    svc_.set_default("GET", "/plain", Reply::text(200, kPlainPage, "text/html"));
  }
  void TearDown() override {
    app_.reset();
    common::timing::set_speedup(1);
  }

  void start(const QString& app = {}) {
    ApplicationOptions options;
    options.endpoints =
        common::Endpoints(app.isEmpty() ? app_url() : app, QString::fromStdString(svc_.base_url()));
    options.watchdog = false;  // at twenty times the speed it would judge pages too soon
    options.profile_name = QString();
    app_ = std::make_unique<Application>(std::move(options));
    add_commands(app_->commands(), &counters_);
    app_->set_up();
  }
  QString app_url() const { return QString::fromStdString(svc_.base_url() + "/"); }
  QWebEnginePage* page() const { return app_->main_window()->page(); }
  QVariant js(const QString& script) { return run_script(page(), script); }

  // Waits until the main window shows `url` with the test page's script loaded.
  bool showing(const QString& url) {
    return wait_until(
        [&] {
          return page()->url().toString() == url && !page()->isLoading() &&
                 js(QStringLiteral("!!window.bridgeTest")).toBool();
        },
        std::chrono::seconds(20));
  }
  void track(const QString& key, const QString& call) {
    js(QStringLiteral("bridgeTest.track('%1', () => %2)").arg(key, call));
  }
  // How the call recorded under `key` settled, as {"ok":..,"value"|"error":..} JSON text.
  std::string outcome(const QString& key) {
    QString text;
    wait_until([&] {
      text = js(QStringLiteral("bridgeTest.outcome('%1')").arg(key)).toString();
      return !text.isEmpty();
    });
    return text.toStdString();
  }
  int runs(const std::string& name) { return counters_.runs[name]; }

  TestService svc_;
  TestService other_;
  Counters counters_;
  std::unique_ptr<Application> app_;
};

TEST_F(PageBridgeTest, CallsResolveWithTheResultOrRejectWithTheErrorText) {
  start();
  ASSERT_TRUE(showing(app_url()));

  EXPECT_TRUE(js(QStringLiteral("bridgeTest.isTauri()")).toBool());
  // Made while the page was still loading, before the channel was up: it waited.
  EXPECT_EQ(outcome("early"), R"({"ok":true,"value":"early"})");

  track("echo", "bridgeTest.invoke('echo', { text: 'hi \u00fc' })");
  EXPECT_EQ(outcome("echo"), R"({"ok":true,"value":"hi ü"})");

  // Keys reach the command unrenamed and whole numbers stay whole; the result keeps its order.
  track("shape", "bridgeTest.invoke('shape', { callId: 'c-1', count: 3 })");
  EXPECT_EQ(outcome("shape"), R"({"ok":true,"value":{"zeta":1,"args":{"callId":"c-1","count":3},)"
                              R"("alpha":[true,null,"ü"]}})");

  track("fail", "bridgeTest.invoke('fail')");
  EXPECT_EQ(outcome("fail"), R"({"ok":false,"error":"That did not work."})");

  // Refused before the command runs, with the refusal as the rejection.
  track("missing", "bridgeTest.invoke('echo', {})");
  track("no-args", "bridgeTest.invoke('echo')");
  track("mistyped", "bridgeTest.invoke('echo', { text: 5 })");
  track("fraction", "bridgeTest.invoke('shape', { callId: 'c-2', count: 2.5 })");
  track("not-object", "bridgeTest.invoke('echo', 'text')");
  track("unknown", "bridgeTest.invoke('nope', {})");
  EXPECT_EQ(outcome("missing"), R"({"ok":false,"error":"Command echo needs the argument text."})");
  EXPECT_EQ(outcome("no-args"), R"({"ok":false,"error":"Command echo needs the argument text."})");
  EXPECT_EQ(outcome("mistyped"),
            R"({"ok":false,"error":"The argument text of command echo must be a string."})");
  EXPECT_EQ(
      outcome("fraction"),
      R"({"ok":false,"error":"The argument count of command shape must be a positive whole number."})");
  EXPECT_EQ(outcome("not-object"),
            R"({"ok":false,"error":"The arguments of echo must be an object."})");
  EXPECT_EQ(outcome("unknown"), R"({"ok":false,"error":"Unknown command nope."})");

  EXPECT_EQ(runs("echo"), 2);
  EXPECT_EQ(runs("shape"), 1);
  EXPECT_EQ(runs("fail"), 1);
}

TEST_F(PageBridgeTest, SeveralCallsRunAtOnceAndEachAnswerSettlesItsOwnCall) {
  start();
  ASSERT_TRUE(showing(app_url()));
  // Sent together, so that only the commands' own durations decide the order of the answers.
  js(QStringLiteral(
      "bridgeTest.track('long', () => bridgeTest.invoke('slow', { ms: 700, tag: 'long' }));"
      "bridgeTest.track('short', () => bridgeTest.invoke('slow', { ms: 100, tag: 'short' }));"
      "bridgeTest.track('at-once', () => bridgeTest.invoke('echo', { text: 'now' }));"));
  EXPECT_EQ(outcome("long"), R"({"ok":true,"value":"long"})");
  EXPECT_EQ(outcome("short"), R"({"ok":true,"value":"short"})");
  EXPECT_EQ(outcome("at-once"), R"({"ok":true,"value":"now"})");
  EXPECT_EQ(js(QStringLiteral("bridgeTest.order()")).toString(),
            QStringLiteral("early at-once short long"));
  EXPECT_EQ(counters_.most_in_flight, 2);
}

TEST_F(PageBridgeTest, ListenersReceiveEmittedEventsUntilTheyUnlisten) {
  start();
  ASSERT_TRUE(showing(app_url()));
  track("a",
        "bridgeTest.listen('agent://call', bridgeTest.record('a'))"
        ".then((stop) => { window.stopA = stop; return 'listening'; })");
  track("b", "bridgeTest.listen('agent://call', bridgeTest.record('b')).then(() => 'listening')");
  track("once",
        "bridgeTest.once('agent://call', bridgeTest.record('once')).then(() => 'listening')");
  track("c",
        "bridgeTest.listen('agent://connection', bridgeTest.record('c'))"
        ".then(() => 'listening')");
  track("bad", "bridgeTest.listen('no spaces allowed', () => {})");
  for (const char* key : {"a", "b", "once", "c"}) {
    EXPECT_EQ(outcome(QString::fromLatin1(key)), R"({"ok":true,"value":"listening"})") << key;
  }
  EXPECT_EQ(outcome("bad"),
            R"({"ok":false,"error":"The event name \"no spaces allowed\" is not valid."})");

  const auto received = [&](const char* key) {
    return js(QStringLiteral("bridgeTest.events('%1')").arg(QLatin1String(key))).toString();
  };
  const auto count = [&](const char* key) {
    return js(QStringLiteral("JSON.parse(bridgeTest.events('%1')).length").arg(QLatin1String(key)))
        .toInt();
  };

  common::Json payload = common::Json::object();
  payload["id"] = "c1";
  payload["state"] = "pending";
  payload["output"] = nullptr;
  app_->host().emit_event(QStringLiteral("agent://call"), payload);
  ASSERT_TRUE(wait_until([&] { return count("a") == 1 && count("b") == 1 && count("once") == 1; }));
  // The envelope the package's listeners expect: name, the listener's event id, payload.
  EXPECT_TRUE(js(QStringLiteral("(() => { const e = JSON.parse(bridgeTest.events('a'))[0];"
                                "return Object.keys(e).sort().join() === 'event,id,payload' &&"
                                "e.event === 'agent://call' && Number.isInteger(e.id); })()"))
                  .toBool())
      << received("a").toStdString();
  EXPECT_EQ(js(QStringLiteral("JSON.stringify(JSON.parse(bridgeTest.events('b'))[0].payload)"))
                .toString(),
            QStringLiteral(R"({"id":"c1","state":"pending","output":null})"));
  EXPECT_EQ(count("c"), 0);

  js(QStringLiteral("window.stopA()"));
  payload["state"] = "running";
  app_->host().emit_event(QStringLiteral("agent://call"), payload);
  // Events arrive in order: once the later one is in, the earlier one would have been too.
  app_->host().emit_event(QStringLiteral("agent://connection"), true);
  ASSERT_TRUE(wait_until([&] { return count("c") == 1; }));
  EXPECT_EQ(count("a"), 1);     // unlistened
  EXPECT_EQ(count("once"), 1);  // removed itself after the first event
  EXPECT_EQ(count("b"), 2);
  EXPECT_EQ(js(QStringLiteral("JSON.parse(bridgeTest.events('c'))[0].payload")).toBool(), true);
}

TEST_F(PageBridgeTest, AnswersForAReplacedPageGoNowhereAndAClosedWindowIsNoProblem) {
  start();
  ASSERT_TRUE(showing(app_url()));
  js(QStringLiteral("location.href = '/plain?first'"));
  ASSERT_TRUE(showing(app_url() + QStringLiteral("plain?first")));
  // The first call of each document: the same call number in both.
  track("old", "bridgeTest.invoke('hold', { tag: 'old' })");
  ASSERT_TRUE(wait_until([&] { return runs("hold") == 1; }));
  js(QStringLiteral("location.href = '/plain?second'"));
  ASSERT_TRUE(showing(app_url() + QStringLiteral("plain?second")));
  track("new", "bridgeTest.invoke('hold', { tag: 'new' })");
  ASSERT_TRUE(wait_until([&] { return runs("hold") == 2; }));

  counters_.released.insert("old");
  ASSERT_TRUE(wait_until([&] { return counters_.in_flight == 1; }));
  track("marker", "bridgeTest.invoke('echo', { text: 'marker' })");
  EXPECT_EQ(outcome("marker"), R"({"ok":true,"value":"marker"})");
  EXPECT_EQ(js(QStringLiteral("bridgeTest.outcome('new')")).toString(), QString());
  counters_.released.insert("new");
  EXPECT_EQ(outcome("new"), R"({"ok":true,"value":"new"})");

  // A call still running when the window goes away finishes without anyone to answer.
  track("orphan", "bridgeTest.invoke('hold', { tag: 'orphan' })");
  ASSERT_TRUE(wait_until([&] { return runs("hold") == 3; }));
  app_.reset();
  counters_.released.insert("orphan");
  EXPECT_TRUE(wait_until([&] { return counters_.in_flight == 0; }));
}

TEST_F(PageBridgeTest, AFramedPageOfAnotherOriginGetsNoAccess) {
  svc_.set_default("GET", "/framed",
                   Reply::text(200,
                               QString::fromLatin1(kFramingPage)
                                   .replace(QLatin1String("FRAME"),
                                            QString::fromStdString(other_.base_url() + "/frame"))
                                   .toStdString(),
                               "text/html"));
  start();
  const std::string secret = page_secret(page()).toStdString();
  ASSERT_FALSE(secret.empty());
  other_.set_default(
      "GET", "/frame",
      Reply::text(200,
                  QString::fromLatin1(kIntruderPage)
                      .replace(QLatin1String("SECRET"), QString::fromStdString(secret))
                      .toStdString(),
                  "text/html"));
  ASSERT_TRUE(showing(app_url()));
  js(QStringLiteral("location.href = '/framed'"));
  ASSERT_TRUE(showing(app_url() + QStringLiteral("framed")));

  track("listen",
        "bridgeTest.listen('agent://call', bridgeTest.record('main'))"
        ".then(() => 'listening')");
  EXPECT_EQ(outcome("listen"), R"({"ok":true,"value":"listening"})");
  app_->host().emit_event(QStringLiteral("agent://call"), common::Json::object());
  EXPECT_TRUE(wait_until([&] {
    return js(QStringLiteral("JSON.parse(bridgeTest.events('main')).length")).toInt() == 1;
  }));
  QString report;
  ASSERT_TRUE(wait_until([&] {
    report = js(QStringLiteral("frameReport")).toString();
    return !report.isEmpty();
  }));
  const common::Json seen = common::Json::parse(report.toStdString());
  EXPECT_EQ(seen["internals"], "undefined") << report.toStdString();
  EXPECT_EQ(seen["parent"], "blocked");
  EXPECT_EQ(seen["invoke"], "rejected");
  // Qt WebEngine installs the channel transport in main frames only: the frame has no way to
  // the bridge, and nothing of the application's traffic reaches it.
  EXPECT_EQ(seen["transport"], "undefined");
  EXPECT_FALSE(seen.contains("channel"));
  EXPECT_EQ(seen["events"], common::Json::array());
  EXPECT_FALSE(seen.contains("answer"));
  EXPECT_EQ(runs("echo:raw"), 0);
  EXPECT_EQ(runs("echo:channel"), 0);
  EXPECT_EQ(runs("echo:intruder"), 0);

  // The same raw message from the application page itself runs, but only with the secret.
  // (The page's channel client cannot match the raw call's response and reports an error for
  // it; later calls are not affected.)
  const auto raw_call = [&](const std::string& with_secret) {
    js(QStringLiteral("qt.webChannelTransport.send(JSON.stringify({ type: 6, object: 'bridge',"
                      "method: 'call', args: ['%1', 'raw', 1, 'echo', '{\"text\":\"raw\"}'],"
                      "id: 1000 }))")
           .arg(QString::fromStdString(with_secret)));
  };
  raw_call("0123456789abcdef");
  track("first", "bridgeTest.invoke('echo', { text: 'first' })");
  EXPECT_EQ(outcome("first"), R"({"ok":true,"value":"first"})");
  EXPECT_EQ(runs("echo:raw"), 0);
  raw_call(secret);
  EXPECT_TRUE(wait_until([&] { return runs("echo:raw") == 1; }));
  track("second", "bridgeTest.invoke('echo', { text: 'second' })");
  EXPECT_EQ(outcome("second"), R"({"ok":true,"value":"second"})");
}

TEST_F(PageBridgeTest, APageOfAnotherOriginInTheMainFrameGetsNoAccess) {
  // The main window never navigates to another origin, so a page of its own carries the
  // bridge here, set up for the application on svc_, and is pointed at other_.
  app::CommandTable commands;
  add_commands(commands, &counters_);
  auto profile = std::make_unique<QWebEngineProfile>();
  auto view = std::make_unique<QWebEngineView>();
  auto* page = new QWebEnginePage(profile.get(), view.get());
  view->setPage(page);
  auto* bridge = new PageBridge(page, commands, QUrl(app_url()));
  const QString secret = page_secret(page);
  ASSERT_FALSE(secret.isEmpty());
  other_.set_default(
      "GET", "/",
      Reply::text(
          200,
          QString::fromLatin1(kIntruderPage).replace(QLatin1String("SECRET"), secret).toStdString(),
          "text/html"));
  svc_.set_default("GET", "/", Reply::text(200, kPlainPage, "text/html"));
  view->show();

  const auto shows = [&](const std::string& url) {
    return wait_until(
        [&] {
          return page->url().toString().toStdString() == url && !page->isLoading() &&
                 run_script(page, QStringLiteral("!!window.bridgeTest")).toBool();
        },
        std::chrono::seconds(20));
  };
  page->load(QUrl(QString::fromStdString(other_.base_url() + "/")));
  ASSERT_TRUE(shows(other_.base_url() + "/"));
  // The channel opens (this is the main frame) but every call is refused and no event or
  // answer comes back.
  ASSERT_TRUE(wait_until([&] {
    return run_script(page, QStringLiteral("report.channel")).toString() == QStringLiteral("open");
  }));
  bridge->emit_event(QStringLiteral("agent://call"), common::Json::object());
  wait_until([] { return false; }, std::chrono::milliseconds(500));
  const common::Json seen = common::Json::parse(
      run_script(page, QStringLiteral("JSON.stringify(report)")).toString().toStdString());
  EXPECT_EQ(seen["internals"], "undefined");
  EXPECT_EQ(seen["invoke"], "rejected");
  EXPECT_FALSE(run_script(page, QStringLiteral("bridgeTest.isTauri()")).toBool());
  EXPECT_EQ(seen["events"], common::Json::array());
  EXPECT_FALSE(seen.contains("answer"));
  EXPECT_EQ(runs("echo"), 0);

  // The same bridge serves the application once the page shows it.
  page->load(QUrl(app_url()));
  ASSERT_TRUE(shows(app_url().toStdString()));
  EXPECT_EQ(run_script(page, QStringLiteral("typeof window.__TAURI_INTERNALS__")).toString(),
            QStringLiteral("object"));
  run_script(page, QStringLiteral(
                       "bridgeTest.track('ok', () => bridgeTest.invoke('echo', { text: 'app' }))"));
  EXPECT_TRUE(wait_until([&] {
    return run_script(page, QStringLiteral("bridgeTest.outcome('ok')")).toString() ==
           QStringLiteral(R"({"ok":true,"value":"app"})");
  }));

  view.reset();  // the page before its profile
}

}  // namespace
}  // namespace page_bridge_test
}  // namespace kavor::shell

namespace kavor::shell {
namespace page_bridge_test {
namespace {

// The whole program as the chat application sees it: the real commands and the bridge loop
// against the substitute service.
TEST_F(PageBridgeTest, TheApplicationLinksThisComputerAndHearsTheConnectionComeUp) {
  svc_.set_default("POST", "/bridge/devices",
                   Reply::json(200, R"({"device":{"id":"d9"},"secret":"sek"})"));
  svc_.set_default("GET", "/bridge/poll", Reply::held());
  svc_.set_default("DELETE", "/bridge/devices/{id}", Reply::json(204, ""));
  start();
  ASSERT_TRUE(showing(app_url()));

  track("info", "bridgeTest.invoke('agent_info')");
  const common::Json info = common::Json::parse(outcome("info"));
  ASSERT_TRUE(info["ok"].get<bool>()) << info.dump();
  EXPECT_EQ(info["value"]["version"], "0.7.3");
  EXPECT_EQ(info["value"]["os"], "linux");
  EXPECT_TRUE(info["value"]["device"].is_null());
  EXPECT_EQ(info["value"]["connected"], false);

  track("listen",
        "bridgeTest.listen('agent://connection', bridgeTest.record('conn'))"
        ".then((stop) => { window.stopConn = stop; return 'ok'; })");
  ASSERT_EQ(outcome("listen"), R"({"ok":true,"value":"ok"})");
  const auto heard = [&] {
    return js(QStringLiteral("bridgeTest.events('conn')")).toString().toStdString();
  };

  track("link", "bridgeTest.invoke('agent_link', {token: ' link-token '})");
  const common::Json linked = common::Json::parse(outcome("link"));
  ASSERT_TRUE(linked["ok"].get<bool>()) << linked.dump();
  EXPECT_EQ(linked["value"]["device"]["id"], "d9");
  EXPECT_EQ(svc_.requests("POST", "/bridge/devices").front().header("authorization"),
            "Bearer link-token");

  // The next poll is held open by the service; 1.5 s into it the connection counts as up, and
  // the page hears so. The bound leaves a second for the news to reach the page on a busy
  // machine; a connection announced only when the poll ends would miss it by far.
  ASSERT_TRUE(wait_until([&] { return svc_.held_count() == 1; }));
  const auto held_at = std::chrono::steady_clock::now();
  ASSERT_TRUE(wait_until([&] { return heard() != "[]"; }, std::chrono::seconds(5)));
  EXPECT_LT(std::chrono::steady_clock::now() - held_at, std::chrono::milliseconds(2500));
  EXPECT_EQ(common::Json::parse(heard())[0]["payload"], true);
  EXPECT_EQ(svc_.requests("GET", "/bridge/poll").front().header("authorization"), "Bearer sek");

  // After unlistening, a change of the connection reaches the page no more.
  js(QStringLiteral("window.stopConn()"));
  track("after", "bridgeTest.invoke('agent_info')");  // a round trip: the unlisten has landed
  ASSERT_TRUE(common::Json::parse(outcome("after"))["ok"].get<bool>());
  svc_.set_default("GET", "/bridge/poll", Reply::text(500, ""));
  svc_.release_held(Reply::text(500, ""));
  ASSERT_TRUE(wait_until([&] { return !app_->state().status.online.load(); }));
  wait_until([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(common::Json::parse(heard()).size(), 1u);
}

}  // namespace
}  // namespace page_bridge_test
}  // namespace kavor::shell

namespace kavor::shell {
namespace page_bridge_test {
namespace {

// What the command of the test below prints: whole copies of a block (about 5 MB) of lines of
// every length from empty to two thousand characters, with one line longer than any read and
// one longer than the pipe holds, made of characters of one to four bytes and of those JSON
// text must escape. It writes in pieces whose sizes end most of them inside a character, so
// characters reach the agent split across reads. It leaves in FOLDER the SHA-256 and the length
// of all it wrote, and its first and last 15,000 bytes.
//   python3 gen.py BYTES FOLDER
constexpr const char* kFloodScript = R"(import hashlib, os, sys
total, folder = int(sys.argv[1]), sys.argv[2]
alphabet = 'a\u00e9\u20ac\U0001d11e "\\\t\x01\u4e2dz'
lines = [''.join(alphabet[(n + k) % len(alphabet)] for k in range(n)) for n in range(2048)]
lines += ['\u20ac' * 40000, 'x\U0001d11e' * 300000]
block = ('\n'.join(lines) + '\n').encode()
sizes = [1, 2, 3, 4093, 5, 8191, 8193, 65537, 131101, 7, 1048583]
digest, written, turn = hashlib.sha256(), 0, 0
while written < total:
    view = memoryview(block)
    while view:
        piece = view[:sizes[turn % len(sizes)]]
        turn += 1
        view = view[len(piece):]
        digest.update(piece)
        written += len(piece)
        while piece:
            piece = piece[os.write(1, piece):]
with open(os.path.join(folder, 'expected'), 'w') as out:
    out.write('%s %d' % (digest.hexdigest(), written))
with open(os.path.join(folder, 'head'), 'wb') as out:
    out.write(block[:15000])
with open(os.path.join(folder, 'tail'), 'wb') as out:
    out.write(block[-15000:])
)";

// Bytes the command prints: enough for thousands of reads and events, within the suite's time
// on a busy machine.
constexpr std::size_t kFloodBytes = 100'000'000;

// The page's side: the chunks of call "big" gathered into a Blob (which holds them as UTF-8,
// outside the script's heap), and at the event of call "end" their length and SHA-256, as JSON
// text in window.flood.result.
constexpr const char* kFloodListener = R"((() => {
  const flood = { parts: [], blob: new Blob([]), events: 0, result: '' };
  window.flood = flood;
  const fold = () => { flood.blob = new Blob([flood.blob, ...flood.parts]); flood.parts = []; };
  return bridgeTest.listen('agent://output', (event) => {
    if (event.payload.call_id === 'big') {
      flood.events += 1;
      flood.parts.push(event.payload.chunk);
      if (flood.parts.length === 256) fold();
      return;
    }
    fold();
    flood.blob.arrayBuffer()
      .then((bytes) => crypto.subtle.digest('SHA-256', bytes))
      .then((digest) => {
        const hex = Array.from(new Uint8Array(digest), (b) => b.toString(16).padStart(2, '0'));
        flood.result = JSON.stringify({ sha256: hex.join(''), bytes: flood.blob.size });
      }, (error) => { flood.result = JSON.stringify({ error: String(error) }); });
  }).then(() => 'listening');
})())";

QCoro::Task<> answer_into(QCoro::Task<tools::ToolResult> call,
                          std::shared_ptr<std::optional<tools::ToolResult>> answer) {
  answer->emplace(co_await std::move(call));
}

// A command's live output, as the page receives it through the window, is every byte the
// command printed, in order, whatever the lengths of its lines and wherever its reads cut its
// characters; the assistant's answer keeps the head and the tail with the count of what was
// cut between them.
TEST_F(PageBridgeTest, ThePageReceivesEveryByteOfACommandsOutputInOrder) {
  start();
  ASSERT_TRUE(showing(app_url()));
  track("listen", QString::fromLatin1(kFloodListener));
  ASSERT_EQ(outcome("listen"), R"({"ok":true,"value":"listening"})");

  QTemporaryDir dir;
  const std::filesystem::path folder = std::filesystem::canonical(dir.path().toStdString());
  {
    std::ofstream script(folder / "gen.py");
    script << kFloodScript;
  }
  const std::string command = "python3 gen.py " + std::to_string(kFloodBytes) + " .";
  const auto decoded = tools::shell_tool()(common::Json{{"command", command}, {"timeout", 600}},
                                           tools::Scope{folder, {}});
  ASSERT_TRUE(decoded.ok()) << decoded.message();
  // A test that fails half-way leaves no command running.
  const auto stop = std::make_shared<std::atomic<bool>>(false);
  const std::shared_ptr<void> stop_at_end(nullptr, [stop](void*) { stop->store(true); });
  const auto answer = std::make_shared<std::optional<tools::ToolResult>>();
  QCoro::Task<> running = answer_into(
      decoded.value().run_async(tools::RunContext{"big", "chat", stop, &app_->host()}), answer);
  ASSERT_TRUE(wait_until([&] { return answer->has_value(); }, std::chrono::minutes(5)));
  // Events reach the page in the order they were sent: this one comes after all of the run's.
  app_->host().emit_event(QStringLiteral("agent://output"), common::Json{{"call_id", "end"}});
  QString seen;
  ASSERT_TRUE(wait_until(
      [&] {
        seen = js(QStringLiteral("flood.result")).toString();
        return !seen.isEmpty();
      },
      std::chrono::minutes(2)));

  const auto read = [&](const char* name) {
    return read_file(QString::fromStdString((folder / name).string()));
  };
  std::istringstream expected(read("expected"));
  std::string sha256;
  std::uint64_t bytes = 0;
  expected >> sha256 >> bytes;
  ASSERT_GE(bytes, kFloodBytes);
  EXPECT_EQ(common::Json::parse(seen.toStdString()),
            (common::Json{{"sha256", sha256}, {"bytes", bytes}}));

  const tools::ToolResult& result = **answer;
  ASSERT_TRUE(result.ok()) << result.message().substr(0, 200);
  const std::string cut = "\n[... " + std::to_string(bytes - 30'000) + " bytes cut ...]\n";
  EXPECT_EQ(result.value().output,
            common::utf8_lossy(read("head")) + cut + common::utf8_lossy(read("tail")));
}

}  // namespace
}  // namespace page_bridge_test
}  // namespace kavor::shell

namespace kavor::shell {
namespace page_bridge_test {
namespace {

// Whoever listens first on a plain-http loopback address serves the application there. A page
// on such a port tries at once what a squatter would: the commands, and the service's token.
constexpr const char* kPortPage = R"(<!doctype html><html><head><script>
window.tried = [];
function attempt(text) {
  var agent = window.__TAURI_INTERNALS__;
  if (!agent) return;
  agent.invoke('agent_set_mode', { chat: 'victim', mode: 'everything' });
  agent.invoke('echo', { text: text }).then(function () { tried.push('ran ' + text); });
}
attempt('first');
fetch('/api/session').catch(function () {});
</script></head><body>port</body></html>)";

// The loopback peer serving kPortPage on `port` (0: any), as this user or as `other`.
class Listener {
 public:
  Listener(const test::OtherUser* other, int port) {
    QStringList words = QString::fromStdString(other ? other->run_as() : "")
                            .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    words << QStringLiteral(KAVOR_LOOPBACK_PEER) << QStringLiteral("serve")
          << QString::number(port);
    process_.start(words.takeFirst(), words);
    process_.write(kPortPage);
    process_.closeWriteChannel();
    wait_until([&] { return log().find("port ") != std::string::npos; });
    const auto at = log().find("port ");
    port_ = at == std::string::npos ? 0 : std::stoi(log().substr(at + 5));
  }
  ~Listener() {
    process_.terminate();
    process_.waitForFinished(5000);
  }
  int port() const { return port_; }
  QString url() const { return QStringLiteral("http://127.0.0.1:%1/").arg(port_); }
  const std::string& log() {  // every request it got, and whether it carried the secret
    output_ += process_.readAllStandardOutput().toStdString();
    return output_;
  }

 private:
  QProcess process_;
  std::string output_;
  int port_ = 0;
};

TEST_F(PageBridgeTest, ASquattedApplicationPortShowsTheServerErrorAndNothingOfTheWindowReachesIt) {
  const test::OtherUser other;
  if (!other.problem().empty()) GTEST_SKIP() << other.problem();
  QTemporaryDir private_folder;
  const std::string session_file = private_folder.filePath(QStringLiteral("session")).toStdString();
  ASSERT_TRUE(platform::write_session_secret(session_file, platform::new_session_secret()).ok());
  qputenv(platform::kSessionFileVariable, QByteArray::fromStdString(session_file));
  for (const bool foreign : {true, false}) {
    SCOPED_TRACE(foreign ? "another user's listener" : "our own listener");
    Listener port(foreign ? &other : nullptr, 0);
    start(port.url());
    const auto shows = [&](const QUrl& url) {
      return wait_until([&] { return page()->url() == url && !page()->isLoading(); },
                        std::chrono::seconds(30));
    };
    if (foreign) {
      // The window shows the server's error page, and nothing of the program (neither the start
      // probe's request nor the webview's) reached the port.
      ASSERT_TRUE(shows(app_->endpoints().asset_url(QStringLiteral("error.html#server"))));
      EXPECT_EQ(port.log().find("request"), std::string::npos) << port.log();
      EXPECT_EQ(runs("echo"), 0);
    } else {
      ASSERT_TRUE(shows(QUrl(port.url())));
      EXPECT_TRUE(wait_until([&] { return runs("echo") == 1; }));
      EXPECT_TRUE(wait_until([&] { return port.log().find("secret-header") != std::string::npos; }))
          << port.log();
    }
    app_.reset();
  }
  qunsetenv(platform::kSessionFileVariable);
}

TEST_F(PageBridgeTest, AListenerThatChangesHandsAfterTheLoadGetsNoCallAndNoRequest) {
  const test::OtherUser other;
  if (!other.problem().empty()) GTEST_SKIP() << other.problem();
  auto own = std::make_unique<Listener>(nullptr, 0);
  const QString url = own->url();
  start(url);
  ASSERT_TRUE(wait_until([&] { return runs("echo") == 1; }, std::chrono::seconds(30)));
  // Our service ends and another user takes its port while the page is still on screen.
  own.reset();
  Listener squatter(&other, QUrl(url).port());
  ASSERT_EQ(squatter.url(), url) << squatter.log();
  js(QStringLiteral("fetch('/api/after').catch(function () {}); attempt('later')"));
  ASSERT_TRUE(wait_until([&] {
    return page()->url() == app_->endpoints().asset_url(QStringLiteral("error.html#server"));
  }));
  EXPECT_EQ(runs("echo"), 1);
  EXPECT_EQ(squatter.log().find("/api/after"), std::string::npos) << squatter.log();
}

}  // namespace
}  // namespace page_bridge_test
}  // namespace kavor::shell
