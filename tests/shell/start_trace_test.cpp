// The start-up trace of the real program: every milestone once, in the order the start goes
// through them, timed from the process's own start.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "agent_process.h"
#include "support/wait.h"

namespace kavor::test {
namespace start_trace_test {
namespace {

using namespace std::chrono_literals;

struct Milestone {
  std::string name;
  double ms;
};

std::vector<Milestone> milestones(const QByteArray& errors) {
  const QByteArray prefix = "kavor-agent start-trace ";
  std::vector<Milestone> out;
  for (const QByteArray& line : errors.split('\n')) {
    if (!line.startsWith(prefix)) continue;
    const QByteArray rest = line.mid(prefix.size());
    const qsizetype unit = rest.indexOf(" ms: ");
    if (unit < 0) continue;
    out.push_back({rest.mid(unit + 5).toStdString(), rest.left(unit).toDouble()});
  }
  return out;
}

TEST(StartTrace, MilestonesComeOnceInOrderFromTheProcessStart) {
  const auto service = start_built_in_service();
  AgentHome home;
  QProcessEnvironment trace;
  trace.insert(QStringLiteral("KAVOR_AGENT_TRACE_START"), QStringLiteral("1"));
  AgentProcess agent(home, {}, trace, true);
  QByteArray errors;
  const auto has = [&errors](const char* name) {
    return errors.contains(QByteArray(" ms: ") + name + '\n');
  };
  ASSERT_TRUE(wait_until(
      [&] {
        errors += agent.process().readAllStandardError();
        return has("chat page loaded") && has("chat page first script");
      },
      90s))
      << errors.toStdString();

  const std::vector<std::string> order = {
      "process start",          "main entered",     "application object made",
      "agent state made",       "web profile made", "loader requested",
      "window shown",           "set-up done",      "chat page requested",
      "chat page first script", "chat page loaded"};
  const std::vector<Milestone> seen = milestones(errors);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front().name, "process start");
  EXPECT_EQ(seen.front().ms, 0.0);
  std::size_t next = 0;
  double last = 0;
  for (const Milestone& m : seen) {
    EXPECT_GE(m.ms, last) << m.name;
    last = m.ms;
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                            [&](const Milestone& other) { return other.name == m.name; }),
              1)
        << m.name;
    if (next < order.size() && m.name == order[next]) ++next;
  }
  EXPECT_EQ(next, order.size()) << "in order up to " << (next < order.size() ? order[next] : "")
                                << "\n"
                                << errors.toStdString();
  // Main runs after the loader and the static initialisers, well within a minute.
  EXPECT_GT(seen[1].ms, 0.0);
  EXPECT_LT(seen[1].ms, 60'000.0);
}

}  // namespace
}  // namespace start_trace_test
}  // namespace kavor::test
