// The approval gate: per chat, how much the assistant may do without asking; the calls waiting
// for the user; and the stop flags of running calls. Nothing of it is kept on disk.
#pragma once

#include <qcorotask.h>
#include <QObject>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "tools/call_info.h"

namespace kavor {
namespace common {
class Host;
}
namespace desktop {
class Notifications;
}
}  // namespace kavor

namespace kavor::tools {

enum class Mode { Ask = 0, Auto = 1, Readonly = 2, Everything = 3 };
enum class Answer { Allow = 0, Always = 1, Deny = 2 };

std::optional<Mode> parse_mode(const std::string& text);
std::optional<Answer> parse_answer(const std::string& text);

// How long a call waits for the user before it counts as refused.
inline constexpr std::chrono::milliseconds kApprovalTimeout{540'000};

inline constexpr const char* kReadonlyRefusal =
    "The user set this conversation to read-only, so nothing may be changed or run. Explain "
    "what you would do instead.";
inline constexpr const char* kNoAnswerRefusal =
    "The user did not answer the approval request in time.";

enum class Verdict { Run, Refuse, Ask };

// The decision table, before any asking. A call the fence does not reach (CallInfo::unfenced)
// asks in "ask" and "auto" unless the user always allows its tool in that chat.
Verdict decide(Mode mode, const CallInfo& info, bool always_allowed);

struct GateOutcome {
  bool proceed = false;
  std::string denial;  // the denial text when not proceeding ("" for a plain "deny")
  // The call runs without the user having seen it, in a mode that keeps the workspace fence
  // (ask, auto): a command of it runs fenced (exec/fence.h). A call the user allowed, and any
  // call of a chat in "everything", runs as it is.
  bool fence = false;
};

// One waiting call's reply slot. Lives on the thread that runs the call tasks. The answer is
// written by whoever takes the call's pending entry out of the table, under the table's lock;
// the signal only wakes the waiting call early.
class ReplySlot : public QObject {
  Q_OBJECT
 public:
  std::optional<Answer> answer;  // guarded by the pending table's lock
 signals:
  void answered();
};

// A call in progress. Admitting a call reserves its id until the ticket is released; pending
// entries and stop flags belong to the ticket, so a second call that reuses a live id can
// neither take over the first one's approval card nor its stop flag.
struct Ticket {
  std::string call_id;
  std::uint64_t serial = 0;
};

class Approvals {
 public:
  void set_mode(const std::string& chat, Mode mode);
  Mode mode(const std::string& chat) const;
  bool always_allowed(const std::string& chat, const std::string& tool) const;

  // Reserves `call_id` for one call; nothing when a call with that id is still in progress.
  std::optional<Ticket> admit(const std::string& call_id);
  void release(const Ticket& ticket);

  // The gate: runs at once, refuses, or asks the user (event "pending", an approval
  // notification, and a wait of at most 540 seconds). Whichever of the user's answer and the
  // time-out takes the pending entry first decides. Once `shutdown` is requested the gate
  // returns without touching this object again (it may be gone by then).
  QCoro::Task<GateOutcome> gate(CallInfo info, Ticket ticket, common::Host& host,
                                desktop::Notifications& notifications, std::stop_token shutdown);

  // The CallInfo objects of every waiting call.
  common::Json pending() const;

  // Hands the user's answer to the waiting call; false when none was waiting under that id.
  bool decide_call(const std::string& call_id, Answer answer);

  // Stop flags of running calls. A stop for a call admitted but not yet running is kept, and
  // its flag is made already set: a stop pressed in that moment is never lost.
  common::StopFlag add_stop_flag(const Ticket& ticket);
  void remove_stop_flag(const Ticket& ticket);
  bool stop(const std::string& call_id);
  // Sets every stop flag (the program is ending).
  void stop_all();

 private:
  struct Pending {
    CallInfo info;
    std::uint64_t serial = 0;
    std::shared_ptr<ReplySlot> slot;
  };
  struct Running {
    std::uint64_t serial = 0;
    common::StopFlag flag;
  };

  mutable std::mutex modes_mutex_;
  std::map<std::string, Mode> modes_;
  mutable std::mutex always_mutex_;
  std::set<std::pair<std::string, std::string>> always_;
  mutable std::mutex pending_mutex_;
  std::map<std::string, Pending> pending_;
  mutable std::mutex stop_mutex_;
  std::map<std::string, Running> stop_flags_;
  std::map<std::string, std::uint64_t> early_stops_;  // by call id, the ticket's serial
  std::set<std::uint64_t> ran_;  // serials of live tickets that have had a flag
  mutable std::mutex live_mutex_;
  std::map<std::string, std::uint64_t> live_;
  std::uint64_t next_serial_ = 0;
};

// The payload of `agent://call`: the CallInfo, then state, output and the image fields.
common::Json call_event(const CallInfo& info, const std::string& state, const std::string& output,
                        const std::optional<ToolImage>& image = std::nullopt);

}  // namespace kavor::tools
