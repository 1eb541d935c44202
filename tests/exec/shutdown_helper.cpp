// Starts a command that leaves processes in several places of the tree, waits until they all
// run, and quits the event loop with the command still running, as the agent does when the
// user quits it. The processes' ids are in FOLDER/pids.
//
//   exec_shutdown_helper FOLDER
#include <QCoreApplication>
#include <QTimer>

#include <filesystem>
#include <fstream>

#include "exec/runner.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 2) return 2;
  const std::filesystem::path folder = argv[1];
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
