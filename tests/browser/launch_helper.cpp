// Stands in for the agent in the test of a browser that must not outlive it: starts a browser,
// prints "{browser process id} {profile folder}" on a line of its own, and then waits for ever,
// until the test kills it.
#include <QCoreApplication>

#include <cstdio>

#include "browser/launch.h"

using namespace kavor::browser;

namespace {

QCoro::Task<int> start() {
  QCoro::Task<std::variant<std::unique_ptr<BrowserInstance>, std::string>> launching =
      launch(process_environment(), nullptr);
  auto launched = co_await launching;
  if (launched.index() == 1) {
    std::fprintf(stderr, "%s\n", std::get<1>(launched).c_str());
    co_return 1;
  }
  // Kept, never shut down: only the kernel ends this program.
  BrowserInstance* browser = std::get<0>(std::move(launched)).release();
  std::printf("%lld %s\n", static_cast<long long>(browser->pid()), browser->profile().c_str());
  std::fflush(stdout);
  co_return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (QCoro::waitFor(start()) != 0) return 1;
  return QCoreApplication::exec();
}
