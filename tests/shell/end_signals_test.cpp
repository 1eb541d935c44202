// The real program ended by a signal, as a service manager, a terminal or `kill` ends it, must
// leave what closing its window leaves: no browser of its own still running, no browser profile
// folder, and its mention indexes saved.
#include <gtest/gtest.h>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>

#include "agent_process.h"
#include "common/build_config.h"
#include "mention/index_file.h"
#include "support/wait.h"

namespace kavor::test {
namespace end_signals_test {
namespace {

using namespace std::chrono_literals;

// From start to the chat application answering scripts, on a busy machine.
constexpr auto kWindowReady = 90s;
// Launching the private browser is bounded by 45 seconds; the call itself needs a few more.
constexpr auto kBrowserCall = 75s;
// The ordered end waits for browsers to close and indexes to be written.
constexpr int kEndMs = 45'000;

const QString kApp = QString::fromUtf8(common::build::kAppUrl);

bool is_true(const std::optional<common::Json>& value) {
  return value && value->is_boolean() && value->get<bool>();
}

QString invoke(const QString& command, const QString& args_json) {
  return QStringLiteral("window.__TAURI_INTERNALS__.invoke('%1', %2)").arg(command, args_json);
}

TEST(EndSignals, TermIntAndHupEndTheProgramAsClosingItsWindowDoes) {
  std::atomic<int> results = 0;
  const auto service = start_built_in_service();
  service->set_observer({{}, [&](const std::string&) { ++results; }});

  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(::strsignal(signal));
    AgentHome home;
    ASSERT_TRUE(link_device(*service, home));
    const QString workspace = home.folder(QStringLiteral("workspace"));
    QDir().mkpath(workspace + QStringLiteral("/src"));
    const QString root = QStringLiteral("{root: '%1'}").arg(workspace);
    const QString browser_profiles = home.temp() + QStringLiteral("/kavor-agent-browser-");

    AgentProcess agent(home);
    ASSERT_TRUE(wait_until(
        [&] {
          return is_true(evaluate_in_page(home.devtools_port(), kApp,
                                          QStringLiteral("!!window.__TAURI_INTERNALS__")));
        },
        kWindowReady));

    // A browser of the chat's own, started by a browser call.
    const int before = results;
    ASSERT_TRUE(service->queue_call({{"id", "open-" + std::to_string(signal)},
                                     {"tool", "browser"},
                                     {"args", {{"action", "open"}, {"url", kApp.toStdString()}}},
                                     {"chat", "lifecycle"},
                                     {"workspace", workspace.toStdString()},
                                     {"extra", ""}}));
    ASSERT_TRUE(wait_until([&] { return results > before; }, kBrowserCall));
    ASSERT_FALSE(processes_naming(browser_profiles).empty());

    // An open index holding a change that only the end will write: saves wait 10 seconds
    // after the last change.
    ASSERT_TRUE(evaluate_in_page(home.devtools_port(), kApp,
                                 invoke(QStringLiteral("ws_index_open"), root)));
    QFile late(workspace + QStringLiteral("/src/late-change.txt"));
    ASSERT_TRUE(late.open(QIODevice::WriteOnly));
    late.close();
    ASSERT_TRUE(wait_until(
        [&] {
          const QString search =
              invoke(QStringLiteral("ws_search"),
                     QStringLiteral("{root: '%1', query: 'late-change'}").arg(workspace)) +
              QStringLiteral(".then(r => r.hits.length > 0)");
          return is_true(evaluate_in_page(home.devtools_port(), kApp, search));
        },
        30s));

    ASSERT_EQ(::kill(agent.pid(), signal), 0);
    // Its browser gone, the end is under way: a second request now must neither cut it short
    // nor run it again.
    wait_until(
        [&] {
          return processes_naming(browser_profiles).empty() ||
                 agent.process().state() == QProcess::NotRunning;
        },
        30s);
    if (agent.process().state() == QProcess::Running) ::kill(agent.pid(), signal);
    ASSERT_TRUE(agent.process().waitForFinished(kEndMs));
    EXPECT_EQ(agent.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent.process().exitCode(), 0);

    EXPECT_TRUE(wait_until([&] { return processes_naming(browser_profiles).empty(); }, 10s));
    EXPECT_TRUE(QDir(home.temp())
                    .entryList({QStringLiteral("kavor-agent-browser-*")},
                               QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                    .isEmpty());
    const mention::IndexLocation location{home.index_folder().toStdString(), true};
    const auto saved = mention::load_index_file(
        mention::index_file_path(location, workspace.toStdString()), workspace.toStdString());
    ASSERT_TRUE(saved.has_value());
    EXPECT_TRUE(
        std::any_of(saved->entries.begin(), saved->entries.end(),
                    [](const mention::Entry& e) { return e.path == "src/late-change.txt"; }));
  }
}

}  // namespace
}  // namespace end_signals_test
}  // namespace kavor::test
