// Runs one command inside the workspace fence from a shell, as an unapproved shell call would
// run it, and prints what it printed and how it ended: for trying the fence by hand.
//
//   exec_fenced_run WORKSPACE COMMAND    (bash -c COMMAND in WORKSPACE)
//   exec_fenced_run --unfenced WORKSPACE COMMAND
//
// Exits with 0 when the command answered without a failure, 1 otherwise.
#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "exec/runner.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const bool fenced = !(argc == 4 && std::strcmp(argv[1], "--unfenced") == 0);
  if (argc != (fenced ? 3 : 4)) {
    std::fputs("usage: exec_fenced_run [--unfenced] WORKSPACE COMMAND\n", stderr);
    return 2;
  }
  const std::filesystem::path workspace = std::filesystem::canonical(argv[fenced ? 1 : 2]);
  kavor::exec::RunOptions options;
  if (fenced) options = {true, std::make_shared<kavor::exec::Fence>(), {workspace}};
  int code = 1;
  const std::string command = argv[fenced ? 2 : 3];
  QCoro::Task<kavor::exec::RunOutcome> running = kavor::exec::run_command(
      kavor::exec::CommandRun{
          {"bash", {"-c", command}, {}, "bash"}, workspace, std::chrono::seconds(600)},
      {}, {}, options);
  // Everything the coroutine uses is a parameter, kept in its frame: a lambda's captures go with
  // the lambda, at the end of this statement.
  auto report = [](QCoreApplication& program, QCoro::Task<kavor::exec::RunOutcome> run,
                   int& code_out) -> QCoro::Task<> {
    const kavor::exec::RunOutcome outcome = co_await std::move(run);
    std::fputs((outcome.ok() ? outcome.value() : outcome.message()).c_str(), stdout);
    std::fputs("\n", stdout);
    code_out = outcome.ok() ? 0 : 1;
    program.quit();
  }(app, std::move(running), code);
  app.exec();
  return code;
}
