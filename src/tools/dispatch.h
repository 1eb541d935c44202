// Runs one tool call from the service and builds the result record that is posted back:
// resolve the call's folders, register its chat as running, decode the tool, pass the approval
// gate, run it, and tell the page about every state change.
#pragma once

#include <qcorotask.h>
#include <QString>
#include <QThreadPool>

#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "common/json.h"
#include "tools/call.h"
#include "tools/call_info.h"
#include "tools/scope.h"

namespace kavor {
namespace common {
class Host;
}
namespace desktop {
class Notifications;
}
}  // namespace kavor

namespace kavor::tools {

class Approvals;
class ToolTable;

// The chats with calls in progress, each with the workspace it runs in: a chat may not change
// its workspace while one of its calls runs.
class RunningChats {
 public:
  // Registers a call of `chat` in `root`; the refusal when the chat runs in another folder.
  Result<void> enter(const std::string& chat, const fs::path& root);
  void leave(const std::string& chat);
  std::size_t size() const;

 private:
  struct Entry {
    fs::path root;
    int calls = 0;
  };
  mutable std::mutex mutex_;
  std::map<std::string, Entry> chats_;
};

struct DispatchContext {
  const ToolTable& tools;
  Approvals& approvals;
  RunningChats& running;
  common::Host& host;
  desktop::Notifications& notifications;
  // Where blocking tool runs go: a pool of their own, so that long runs (a grep over a home
  // folder) never delay scope checks, decoding, linking or folder checks on the shared pool.
  QThreadPool& pool;
  // Requested when the program ends: a call resumed after that returns without touching any
  // of the above, which may be gone.
  std::stop_token shutdown;
};

// The record for a call that failed before it was decoded, or whose run escaped every other
// report: call_id, status "error", output.
common::Json failure_record(const QString& call_id, const QString& message);

// What the assistant reads when a tool throws: "The tool crashed: <what>".
std::string crash_message(const std::exception& e);

// Runs the call to its end; returns the result record (null once shutdown was requested).
QCoro::Task<common::Json> dispatch(Call call, DispatchContext context);

// Answers a call this version cannot run.
QCoro::Task<common::Json> run_unknown_tool(Call call, QString secret);

}  // namespace kavor::tools
