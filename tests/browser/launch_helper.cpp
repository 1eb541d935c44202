// Stands in for an agent that is killed outright: starts a browser, prints "{browser process
// id} {profile folder}" and waits, never closing it, until the test kills this program.
#include <QCoreApplication>

#include <cstdio>

#include "browser/launch.h"

int main(int argc, char** argv) {
  using namespace kavor::browser;
  QCoreApplication app(argc, argv);
  auto launched = QCoro::waitFor(launch(process_environment(), nullptr));
  if (launched.index() == 1) {
    std::fprintf(stderr, "%s\n", std::get<1>(launched).c_str());
    return 1;
  }
  const BrowserInstance& browser = *std::get<0>(launched);
  std::printf("%lld %s\n", static_cast<long long>(browser.pid()), browser.profile().c_str());
  std::fflush(stdout);
  return QCoreApplication::exec();
}
