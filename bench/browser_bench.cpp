// Times the browser tool's own work on a real browser, for bench/run-browser, which runs the
// same steps with playwright-core in the same run:
//   start_ms      from nothing to a started browser process with its DevTools pipes
//   launch_ms     from nothing to a page ready for commands (process, first answer, page)
//   open_shot_ms  navigating to the page until its load event, then a JPEG of the viewport
//   open_tool_ms  the tool's whole `open` (load, the settle that lets late requests show, the
//                 screenshot and the result text), for reference
// One round per run; prints "name milliseconds" lines.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QUrl>

#include <cstdio>
#include <cstring>

#include "browser/actions.h"
#include "browser/launch.h"
#include "browser/page_ops.h"
#include "tools/paths.h"

using namespace kavor::browser;

namespace {

// Ends the browser however the round ends, and waits until its process is collected and its
// profile folder is gone: a round that stops early leaves no browser and no folder behind.
struct Ending {
  BrowserInstance* browser = nullptr;
  ~Ending() {
    if (browser != nullptr) browser->shutdown(true).wait();
  }
};

QCoro::Task<int> round(std::string url) {
  QElapsedTimer timer;
  timer.start();
  kavor::Result<std::unique_ptr<BrowserInstance>> started = start_browser(process_environment());
  if (!started.ok()) {
    std::fprintf(stderr, "%s\n", started.message().c_str());
    co_return 1;
  }
  std::unique_ptr<BrowserInstance> browser = std::move(started).value();
  const Ending ending{browser.get()};
  const double started_ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
  QCoro::Task<kavor::Result<void>> preparing = prepare_browser(*browser, nullptr);
  const kavor::Result<void> prepared = co_await preparing;
  if (!prepared.ok()) {
    std::fprintf(stderr, "%s\n", prepared.message().c_str());
    co_return 1;
  }
  const double launch_ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;

  // The page is a file outside any workspace: the leave a call gets once the user allowed it.
  const QUrl page(QString::fromStdString(url));
  if (page.isLocalFile()) {
    browser->allow_local_files({}, {kavor::tools::canonical_prefix(
                                       kavor::tools::normalize(page.toLocalFile().toStdString()))});
  }

  timer.restart();
  QCoro::Task<CdpResult> navigating = browser->call("Page.navigate", {{"url", url}}, true, nullptr);
  const CdpResult navigated = co_await navigating;
  const std::string refused = navigated.ok() ? navigated.value().value("errorText", "") : "";
  if (!navigated.ok() || !refused.empty()) {
    std::fprintf(stderr, "%s\n", navigated.ok() ? refused.c_str() : navigated.message().c_str());
    co_return 1;
  }
  QCoro::Task<> loading = wait_for_load(*browser, std::chrono::seconds(20), nullptr);
  co_await loading;
  QCoro::Task<kavor::Result<Shot>> shooting = screenshot(*browser, "", false, nullptr);
  const kavor::Result<Shot> shot = co_await shooting;
  if (!shot.ok()) {
    std::fprintf(stderr, "%s\n", shot.message().c_str());
    co_return 1;
  }
  const double open_shot_ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;

  timer.restart();
  BrowserArgs args;
  args.action = Action::Open;
  args.url = url + "?again";
  QCoro::Task<kavor::Result<ActionDone>> acting = run_action(*browser, args, nullptr);
  kavor::Result<ActionDone> done = co_await acting;
  if (!done.ok()) {
    std::fprintf(stderr, "%s\n", done.message().c_str());
    co_return 1;
  }
  ActionDone& result = done.value();
  QCoro::Task<kavor::tools::ToolOutput> composing =
      compose(*browser, std::move(result.text), std::move(result.shot), nullptr);
  co_await composing;
  const double open_tool_ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;

  std::printf("start_ms %.1f\nlaunch_ms %.1f\nopen_shot_ms %.1f\nopen_tool_ms %.1f\n", started_ms,
              launch_ms, open_shot_ms, open_tool_ms);
  co_return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: browser_bench PAGE_URL\n");
    return 2;
  }
  return QCoro::waitFor(round(argv[1]));
}
