// Starts a command that leaves processes in several places of the tree, waits until they all
// run, and quits the event loop with the command still running, as the agent does when the
// user quits it. The processes' ids are in FOLDER/pids.
// With `fenced`, a fenced command instead leaves one process behind that no session, marker or
// cgroup holds (`sleep 303.25`, found by its arguments), and ends; the program then quits, or
// with `killed` is killed outright (no exit hook runs).
//
//   exec_shutdown_helper FOLDER [fenced [killed]]
#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "exec/runner.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 2 || argc > 4) return 2;
  const std::filesystem::path folder = argv[1];
  if (argc >= 3) {
    const bool killed = argc == 4 && std::strcmp(argv[3], "killed") == 0;
    const std::string script =
        "setsid -f env -i sh -c 'echo $$ >> pids; exec sleep 303.25'\n"
        "while [ ! -s pids ]; do sleep 0.05; done\n";
    auto fenced = kavor::exec::run_command(
        kavor::exec::CommandRun{
            {"bash", {"-c", script}, {}, "bash"}, folder, std::chrono::seconds(60)},
        {}, {}, kavor::exec::RunOptions{true, std::make_shared<kavor::exec::Fence>(), {folder}});
    // Everything the coroutine uses is a parameter, kept in its frame: a lambda's captures go
    // with the lambda, at the end of this statement.
    auto ending = [](QCoreApplication& program, QCoro::Task<kavor::exec::RunOutcome> run,
                     bool kill_it) -> QCoro::Task<> {
      co_await std::move(run);
      if (kill_it) std::raise(SIGKILL);
      program.quit();
    }(app, std::move(fenced), killed);
    return app.exec();
  }
  const std::string script =
      "sleep 300 & echo $! >> pids\n"
      "setsid -f sh -c 'echo $$ >> pids; exec sleep 301'\n"
      "(set -m; sleep 302 & echo $! >> pids)\n"
      "while [ $(wc -l < pids) -lt 3 ]; do sleep 0.05; done; touch ready; wait\n";
  auto running = kavor::exec::run_command(
      kavor::exec::CommandRun{
          {"bash", {"-c", script}, {}, "bash"}, folder, std::chrono::seconds(60)},
      {}, {});
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (std::filesystem::exists(folder / "ready")) app.quit();
  });
  poll.start(20);
  return app.exec();
}
