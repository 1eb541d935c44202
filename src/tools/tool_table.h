// The tools a call may name. Each tool decodes its arguments against the call's scope into
// what the user is shown (summary, detail, whether it leaves the scope) and the work to run once
// approved. Decoding may read the disk (an edit's diff is computed before approval, so the user
// approves the exact change). Decoding happens on a worker thread; running happens on the tools'
// own worker pool for blocking work (files, memory), or as a task on the event-loop thread for
// work that mostly waits (processes, a browser), so that a 30-minute command holds no thread.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <qcorotask.h>

#include "common/json.h"
#include "platform/result.h"
#include "tools/call_info.h"
#include "tools/scope.h"

namespace kavor::common {
class Host;
}

namespace kavor::tools {

// What a running tool may use besides its decoded arguments.
struct RunContext {
  std::string call_id;
  std::string chat;
  common::StopFlag stop;         // set by agent_stop; a long run watches it
  common::Host* host = nullptr;  // for live events such as command output
  // Nobody approved this call (see GateOutcome::fence): a command runs inside the fence.
  bool fence = false;
};

struct Decoded {
  ToolKind kind = ToolKind::Read;
  std::string summary;
  std::string detail;
  // What a refused call reports as its detail when it leaves the scope: only text the
  // assistant sent itself (its new text, its command), never anything read from the target,
  // which the user did not let it read. Empty by default.
  std::string sent_detail;
  std::string lang;
  bool outside = false;
  std::string reason;  // as CallInfo::reason
  std::string cwd = ".";
  bool memory = false;
  bool unfenced = false;  // as CallInfo::unfenced
  // Blocking work, run on the tools' worker pool.
  std::function<ToolResult(const common::StopFlag& stop)> run;
  // Asynchronous work, started on the event-loop thread; used instead of `run` when set. It
  // must never block that thread: it awaits processes, sockets and timers instead.
  std::function<QCoro::Task<ToolResult>(RunContext context)> run_async;
};

// The decoded call, or the message of a decoding failure.
using Decoder = std::function<Result<Decoded>(const common::Json& args, const Scope& scope)>;

class ToolTable {
 public:
  void add(std::string name, Decoder decoder) { tools_[std::move(name)] = std::move(decoder); }
  const Decoder* find(const std::string& name) const {
    const auto it = tools_.find(name);
    return it == tools_.end() ? nullptr : &it->second;
  }
  // Every tool's name, in order.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : tools_) out.push_back(entry.first);
    return out;
  }

 private:
  std::map<std::string, Decoder> tools_;
};

}  // namespace kavor::tools
