// Stands in for an agent that is killed outright: starts a browser, prints "{browser process
// id} {profile folder}" and waits, never closing it, until the test kills this program.
#include <QCoreApplication>

#include <cstdio>
#include <memory>
#include <optional>

#include "browser/launch.h"

int main(int argc, char** argv) {
  using namespace kavor::browser;
  QCoreApplication app(argc, argv);
  // Waited for through an optional: waitFor needs a result it can make empty first.
  using Launched = kavor::Result<std::unique_ptr<BrowserInstance>>;
  auto launching = []() -> QCoro::Task<std::optional<Launched>> {
    co_return co_await launch(process_environment(), nullptr);
  };
  Launched launched = *QCoro::waitFor(launching());
  if (!launched.ok()) {
    std::fprintf(stderr, "%s\n", launched.message().c_str());
    return 1;
  }
  const BrowserInstance& browser = *launched.value();
  std::printf("%lld %s\n", static_cast<long long>(browser.pid()), browser.profile().c_str());
  std::fflush(stdout);
  return QCoreApplication::exec();
}
