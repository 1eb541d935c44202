// The entry of the command suites: it starts as the agent does, making the keeper of fenced runs
// first thing and answering as a keeper made anew, so that the suites run what the agent runs.
#include <gtest/gtest.h>
#include <QCoreApplication>

#include <cstring>

#include "exec/run_keeper.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], kavor::exec::kKeeperArgument) == 0) {
    return kavor::exec::keep_fenced_runs();
  }
  kavor::exec::start_run_keeper(true);
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
