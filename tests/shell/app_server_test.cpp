// Who serves the chat application on a plain-http loopback address, in the real main window
// under Xvfb: a listener of another user of this computer (made with useradd, the listener run
// through setpriv) gets neither the page interface nor a request of the window, and the session
// secret goes only to the application's own requests on a listener of ours.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <QProcess>
#include <QWebEnginePage>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/session_file.h"
#include "shell/application.h"
#include "support/other_user.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor::shell {
namespace {

using service::Reply;
using service::TestService;
using test::wait_until;

// What a page on the port tries at once: the commands, and the service's token route.
constexpr const char* kPeerPage = R"(<!doctype html><html><head><script>
window.tried = [];
function attempt(text) {
  var agent = window.__TAURI_INTERNALS__;
  if (!agent) { tried.push('no interface'); return; }
  agent.invoke('agent_set_mode', { chat: 'victim', mode: 'everything' });
  agent.invoke('echo', { text: text }).then(
    function () { tried.push('ran ' + text); }, function () { tried.push('refused ' + text); });
}
attempt('first');
fetch('/api/session').then(function () { tried.push('fetched'); }, function () {});
</script></head><body>peer</body></html>)";

QCoro::Task<CommandResult> echo(int* runs, Json args) {
  ++*runs;
  co_return CommandResult::success(args["text"]);
}

// The loopback peer serving kPeerPage, as this user or as `other`.
class Peer {
 public:
  Peer(const test::OtherUser* other, int port) {
    QStringList words;
    if (other != nullptr) {
      words = QString::fromStdString(other->run_as()).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
    words << QStringLiteral(KAVOR_LOOPBACK_PEER) << QStringLiteral("serve")
          << QString::number(port);
    process_.start(words.takeFirst(), words);
    process_.write(kPeerPage);
    process_.closeWriteChannel();
    wait_until([&] { return log().find("port ") != std::string::npos || !running(); });
    const auto at = log().find("port ");
    port_ = at == std::string::npos ? 0 : std::stoi(log().substr(at + 5));
  }
  ~Peer() { stop(); }

  void stop() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    process_.waitForFinished(5000);
  }
  bool running() const { return process_.state() != QProcess::NotRunning; }
  int port() const { return port_; }
  // Everything it printed so far.
  const std::string& log() {
    output_ += process_.readAllStandardOutput().toStdString();
    return output_;
  }

 private:
  QProcess process_;
  std::string output_;
  int port_ = 0;
};

class AppServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kavor-app-server-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    folder_ = name;
    session_file_ = (folder_ / "session").string();
    secret_ = platform::new_session_secret();
    ASSERT_EQ(platform::write_session_secret(session_file_, secret_), "");
    qputenv(platform::kSessionFileVariable, QByteArray::fromStdString(session_file_));
  }
  void TearDown() override {
    app_.reset();
    qunsetenv(platform::kSessionFileVariable);
    std::filesystem::remove_all(folder_);
  }

  void start(const QString& app_url, const std::string& api) {
    ApplicationOptions options;
    options.endpoints = Endpoints(app_url, QString::fromStdString(api));
    // Only the check of the listener may send the window to the error page here.
    options.watchdog = false;
    options.profile_name = QString();
    app_ = std::make_unique<Application>(std::move(options));
    app_->commands().add("echo", {{"text", ArgType::String}},
                         [this](const Json& args) { return echo(&runs_, args); });
    app_->set_up();
    QObject::connect(page(), &QWebEnginePage::urlChanged, page(),
                     [this](const QUrl& url) { shown_ += url.toString().toStdString() + "\n"; });
  }
  QWebEnginePage* page() const { return app_->main_window()->page(); }
  QString js(const QString& script) {
    QString result;
    bool done = false;
    page()->runJavaScript(script, [&](const QVariant& v) {
      result = v.toString();
      done = true;
    });
    EXPECT_TRUE(wait_until([&] { return done; })) << script.toStdString();
    return result;
  }
  bool shows(const QUrl& url) {
    return wait_until([&] { return page()->url() == url && !page()->isLoading(); },
                      std::chrono::seconds(30));
  }
  QUrl error_page() const {
    return app_->endpoints().asset_url(QStringLiteral("error.html#server"));
  }

  std::filesystem::path folder_;
  std::string session_file_;
  std::string secret_;
  TestService api_;
  int runs_ = 0;
  std::string shown_;  // every URL the window showed, one a line
  std::unique_ptr<Application> app_;
};

TEST_F(AppServerTest, ASquattedApplicationPortShowsTheServerErrorAndNothingOfTheWindowReachesIt) {
  const test::OtherUser other;
  if (!other.problem().empty()) GTEST_SKIP() << other.problem();
  for (const bool foreign : {true, false}) {
    SCOPED_TRACE(foreign ? "another user's listener" : "our own listener");
    runs_ = 0;
    shown_.clear();
    Peer peer(foreign ? &other : nullptr, 0);
    ASSERT_NE(peer.port(), 0) << peer.log();
    const QString app_url = QStringLiteral("http://127.0.0.1:%1/").arg(peer.port());
    start(app_url, api_.base_url());
    if (foreign) {
      // The start probe found the port answering; the window went to the error page instead.
      ASSERT_TRUE(shows(error_page())) << shown_;
      EXPECT_EQ(shown_.find(app_url.toStdString()), std::string::npos) << shown_;
      EXPECT_NE(peer.log().find("request GET / kavor-agent/"), std::string::npos) << peer.log();
      EXPECT_EQ(peer.log().find("Mozilla"), std::string::npos) << peer.log();
      EXPECT_EQ(peer.log().find("secret-header"), std::string::npos) << peer.log();
      EXPECT_EQ(runs_, 0);
    } else {
      ASSERT_TRUE(shows(QUrl(app_url))) << shown_;
      ASSERT_TRUE(wait_until([&] {
        return js(QStringLiteral("tried.join()")).contains(QStringLiteral("ran first"));
      })) << js(QStringLiteral("tried.join()")).toStdString();
      EXPECT_EQ(runs_, 1);
      EXPECT_TRUE(wait_until([&] { return peer.log().find("secret-header") != std::string::npos; }))
          << peer.log();
    }
    app_.reset();
  }
}

TEST_F(AppServerTest, AListenerThatChangesHandsAfterTheLoadGetsNoCallAndNoRequest) {
  const test::OtherUser other;
  if (!other.problem().empty()) GTEST_SKIP() << other.problem();
  auto own = std::make_unique<Peer>(nullptr, 0);
  const int port = own->port();
  ASSERT_NE(port, 0);
  const QString app_url = QStringLiteral("http://127.0.0.1:%1/").arg(port);
  start(app_url, api_.base_url());
  ASSERT_TRUE(shows(QUrl(app_url)));
  ASSERT_TRUE(wait_until([&] { return runs_ == 1; }));

  // Our service ends and another user takes its port while the page is still on screen.
  own.reset();
  Peer squatter(&other, port);
  ASSERT_EQ(squatter.port(), port) << squatter.log();
  js(QStringLiteral("fetch('/api/after').catch(function () {}); attempt('later')"));
  ASSERT_TRUE(shows(error_page())) << shown_;
  EXPECT_EQ(runs_, 1);
  EXPECT_EQ(squatter.log().find("/api/after"), std::string::npos) << squatter.log();
  EXPECT_EQ(squatter.log().find("secret-header"), std::string::npos) << squatter.log();
}

constexpr const char* kAppPage = R"(<!doctype html><html><body><iframe src="FRAME"></iframe>
<script>fetch('/api/from-app');</script></body></html>)";
constexpr const char* kFramePage = R"(<!doctype html><html><body><script>
fetch('APP/api/from-frame', { mode: 'no-cors' });
</script></body></html>)";

TEST_F(AppServerTest, OnlyTheApplicationsOwnRequestsCarryTheSessionSecret) {
  TestService app;
  TestService other_site;
  const std::string app_base = app.base_url();
  app.set_default("GET", "/",
                  Reply::text(200,
                              QString::fromLatin1(kAppPage)
                                  .replace(QLatin1String("FRAME"),
                                           QString::fromStdString(other_site.base_url() + "/"))
                                  .toStdString(),
                              "text/html"));
  other_site.set_default(
      "GET", "/",
      Reply::text(200,
                  QString::fromLatin1(kFramePage)
                      .replace(QLatin1String("APP"), QString::fromStdString(app_base))
                      .toStdString(),
                  "text/html"));
  start(QString::fromStdString(app_base + "/"), api_.base_url());
  const auto secret_on = [&](const std::string& path) {
    EXPECT_TRUE(
        wait_until([&] { return !app.requests("GET", path).empty(); }, std::chrono::seconds(20)))
        << path;
    const auto seen = app.requests("GET", path);
    return seen.empty() ? std::string("(no request)") : seen.front().header("x-kavor-session");
  };
  EXPECT_EQ(secret_on("/api/from-app"), secret_);
  // A page of another origin inside the application asks without it.
  EXPECT_EQ(secret_on("/api/from-frame"), "");

  // The file is read at each request: a changed secret is used at once, and a file that other
  // users could read, or none at all, gives no secret.
  struct Case {
    const char* path;
    std::function<void()> change;
    bool with_secret;
  };
  const Case cases[] = {
      {"/api/renewed",
       [&] {
         secret_ = platform::new_session_secret();
         ASSERT_EQ(platform::write_session_secret(session_file_, secret_), "");
       },
       true},
      {"/api/loose", [&] { chmod(session_file_.c_str(), 0644); }, false},
      {"/api/gone", [&] { std::filesystem::remove(session_file_); }, false},
  };
  for (const Case& c : cases) {
    c.change();
    js(QStringLiteral("fetch('%1')").arg(QLatin1String(c.path)));
    EXPECT_EQ(secret_on(c.path), c.with_secret ? secret_ : "") << c.path;
  }
}

}  // namespace
}  // namespace kavor::shell
