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
#include <string>
#include <vector>

#include "tools/model.h"

namespace kavor {
class Host;
class Notifications;
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

// The decision table, before any asking.
Verdict decide(Mode mode, const CallInfo& info, bool always_allowed);

struct GateOutcome {
  bool proceed = false;
  std::string denial;  // the denial text when not proceeding ("" for a plain "deny")
};

// One waiting call's reply slot. Lives on the thread that runs the call tasks.
class ReplySlot : public QObject {
  Q_OBJECT
 signals:
  void answered(int answer);
};

class Approvals {
 public:
  void set_mode(const std::string& chat, Mode mode);
  Mode mode(const std::string& chat) const;
  bool always_allowed(const std::string& chat, const std::string& tool) const;

  // The gate: runs at once, refuses, or asks the user (event "pending", an approval
  // notification, and a wait of at most 540 seconds).
  QCoro::Task<GateOutcome> gate(CallInfo info, Host& host, Notifications& notifications);

  // The CallInfo objects of every waiting call.
  Json pending() const;

  // Hands the user's answer to the waiting call; false when none was waiting under that id.
  bool decide_call(const std::string& call_id, Answer answer);

  // Stop flags of running calls.
  StopFlag add_stop_flag(const std::string& call_id);
  void remove_stop_flag(const std::string& call_id);
  bool stop(const std::string& call_id);

 private:
  struct Pending {
    CallInfo info;
    std::shared_ptr<ReplySlot> slot;
  };

  mutable std::mutex modes_mutex_;
  std::map<std::string, Mode> modes_;
  mutable std::mutex always_mutex_;
  std::set<std::pair<std::string, std::string>> always_;
  mutable std::mutex pending_mutex_;
  std::map<std::string, Pending> pending_;
  mutable std::mutex stop_mutex_;
  std::map<std::string, StopFlag> stop_flags_;
};

// The payload of `agent://call`: the CallInfo, then state, output and the image fields.
Json call_event(const CallInfo& info, const std::string& state, const std::string& output,
                const std::optional<ToolImage>& image = std::nullopt);

}  // namespace kavor::tools
