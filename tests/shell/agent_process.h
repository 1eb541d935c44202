// The real agent program as a user runs it, for tests of what happens at its start and end.
//
// Each agent gets a home of its own: configuration, data, a runtime folder only its user may
// enter, and a temporary folder shared by everyone, as /tmp is (so a test can let another user
// plant files where such a user could). Its webview listens for a DevTools client on a loopback
// port, through which a test sees which pages the window shows and runs scripts in them.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "common/json.h"
#include "local_service.h"

namespace kavor::test {

int free_port();

class AgentHome {
 public:
  AgentHome();
  // Whatever a test saw, no process that names the home outlives it.
  ~AgentHome();

  QString folder(const QString& name) const { return root_.filePath(name); }
  QString runtime() const { return folder(QStringLiteral("runtime")); }
  QString temp() const { return folder(QStringLiteral("tmp")); }
  QString config() const;        // the agent's configuration folder (device.json)
  QString index_folder() const;  // where the agent keeps its mention indexes
  int devtools_port() const { return port_; }
  QProcessEnvironment environment() const;

 private:
  QTemporaryDir root_;
  int port_;
};

// Started and running; ended (SIGTERM, then SIGKILL) when the object goes. `extra` is added to
// the home's environment; with `read_errors` the program's stderr is kept for the test to read
// instead of passed on.
class AgentProcess {
 public:
  explicit AgentProcess(const AgentHome& home, QStringList arguments = {},
                        const QProcessEnvironment& extra = {}, bool read_errors = false);
  ~AgentProcess();
  QProcess& process() { return process_; }
  pid_t pid() const { return static_cast<pid_t>(process_.processId()); }

 private:
  QProcess process_;
};

// The webview's page targets ("url" and "webSocketDebuggerUrl" of each); empty when the port
// does not answer.
std::vector<common::Json> page_targets(int port);

// The value of `expression` (a promise is awaited) in the first page whose URL starts with
// `url_prefix`; nothing when there is no such page or the script failed.
std::optional<common::Json> evaluate_in_page(int port, const QString& url_prefix,
                                             const QString& expression);

// The processes whose command line names something below `folder`.
std::vector<pid_t> processes_naming(const QString& folder);

// The local service on the addresses the program was built with. Another test on this machine
// may hold those ports for a while: this waits for them.
std::unique_ptr<service::LocalService> start_built_in_service();

// Links a computer with the service and writes its record (secret included, as when no
// credential store is reachable) where the agent of `home` reads it.
bool link_device(const service::LocalService& service, const AgentHome& home);

}  // namespace kavor::test
