// The start-page probe. The main window opens on the local loader page; the probe asks the
// chat web application every few seconds and switches the window to it as soon as it answers
// with anything below 500. Meanwhile the loader is told why it waits (#offline, #server) and,
// from the second failure on, the error page is shown, reloaded only when the reason changes.
#pragma once

#include <qcorotask.h>
#include <QUrl>

#include <chrono>
#include <memory>
#include <stop_token>

#include "common/endpoints.h"

namespace kavor::common {
class Host;
}

namespace kavor::app {

// One request may take this long before the service counts as offline.
inline constexpr std::chrono::milliseconds kProbeRequestTimeout{8'000};
// Pause between two attempts.
inline constexpr std::chrono::milliseconds kProbeInterval{5'000};

enum class ProbeReason { Ok, Offline, Server };

// Runs until the window was switched to the chat web application, or `stop` is requested.
QCoro::Task<> run_start_probe(std::shared_ptr<common::Host> host, common::Endpoints endpoints,
                              std::stop_token stop);

}  // namespace kavor::app
