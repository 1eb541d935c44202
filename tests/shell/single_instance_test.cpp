// A second start hands over to the running program: in-process for the window's reaction,
// and with the real executable for the process-level behaviour.
#include "shell/single_instance.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QWebEngineProfile>

#include "app/command_table.h"
#include "common/json.h"
#include "desktop/watchdog.h"
#include "shell/main_window.h"
#include "support/wait.h"

namespace kavor::shell {
namespace {

using test::wait_until;

TEST(SingleInstance, ASecondStartBringsTheFirstWindowForward) {
  QWebEngineProfile profile;
  Watchdog watchdog;
  CommandTable commands;
  MainWindow window(
      &profile,
      Endpoints(QStringLiteral("http://127.0.0.1:9/"), QStringLiteral("http://127.0.0.1:9")),
      watchdog, commands, [](const QUrl&) {});
  window.showMinimized();
  ASSERT_TRUE(wait_until([&] { return window.isMinimized(); }));

  const QString name =
      QStringLiteral("kavor-agent-test-%1").arg(QCoreApplication::applicationPid());
  SingleInstance first(name);
  int knocks = 0;
  ASSERT_TRUE(first.listen([&] {
    ++knocks;
    window.bring_forward();
  }));
  SingleInstance second(name);
  EXPECT_TRUE(second.activate_running());
  ASSERT_TRUE(wait_until([&] { return knocks == 1; }));
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());

  // Nobody listening under another name: that start is the first one.
  EXPECT_FALSE(SingleInstance(name + QStringLiteral("-other")).activate_running());
}

int free_port() {
  QTcpServer server;
  server.listen(QHostAddress::LocalHost, 0);
  return server.serverPort();
}

// The page targets the running program's webview exposes on its debugging port.
int page_targets(int port) {
  QNetworkAccessManager manager;
  QNetworkReply* reply =
      manager.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/json/list").arg(port))));
  wait_until([&] { return reply->isFinished(); });
  const auto list = parse_json(reply->readAll().toStdString());
  reply->deleteLater();
  if (!list || !list->is_array()) return -1;
  int pages = 0;
  for (const auto& target : *list) pages += target.value("type", "") == "page" ? 1 : 0;
  return pages;
}

TEST(SingleInstance, TheRealProgramStartedTwiceKeepsOneWindow) {
  QTemporaryDir root;
  const int port = free_port();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("HOME"), root.path());
  env.insert(QStringLiteral("TMPDIR"), root.path());
  env.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(QStringLiteral("config")));
  env.insert(QStringLiteral("XDG_DATA_HOME"), root.filePath(QStringLiteral("data")));
  env.insert(QStringLiteral("QTWEBENGINE_REMOTE_DEBUGGING"),
             QStringLiteral("127.0.0.1:%1").arg(port));

  QProcess first;
  first.setProcessEnvironment(env);
  first.start(QStringLiteral(KAVOR_AGENT_BINARY), {});
  ASSERT_TRUE(first.waitForStarted());
  ASSERT_TRUE(wait_until([&] { return page_targets(port) == 1; }, std::chrono::seconds(30)));

  QProcess second;
  second.setProcessEnvironment(env);
  second.start(QStringLiteral(KAVOR_AGENT_BINARY), {QStringLiteral("--ignored-argument")});
  ASSERT_TRUE(second.waitForFinished(15000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);

  EXPECT_EQ(first.state(), QProcess::Running);
  EXPECT_EQ(page_targets(port), 1);
  first.terminate();
  if (!first.waitForFinished(10000)) first.kill();
}

}  // namespace
}  // namespace kavor::shell
