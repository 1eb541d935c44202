#include "tools/approvals.h"

#include <qcorosignal.h>

#include "common/host.h"
#include "common/timing.h"
#include "desktop/notifications.h"

namespace kavor::tools {

std::optional<Mode> parse_mode(const std::string& text) {
  if (text == "ask") return Mode::Ask;
  if (text == "auto") return Mode::Auto;
  if (text == "readonly") return Mode::Readonly;
  if (text == "everything") return Mode::Everything;
  return std::nullopt;
}

std::optional<Answer> parse_answer(const std::string& text) {
  if (text == "allow") return Answer::Allow;
  if (text == "always") return Answer::Always;
  if (text == "deny") return Answer::Deny;
  return std::nullopt;
}

Verdict decide(Mode mode, const CallInfo& info, bool always_allowed) {
  // Memory stays inside the workspace by construction; only a read-only chat asks about it.
  if (info.memory) return mode == Mode::Readonly ? Verdict::Ask : Verdict::Run;
  switch (mode) {
    case Mode::Ask:
      return !info.outside && (info.kind == ToolKind::Read || always_allowed) ? Verdict::Run
                                                                              : Verdict::Ask;
    case Mode::Auto:
      return info.outside ? Verdict::Ask : Verdict::Run;
    case Mode::Readonly:
      if (info.kind != ToolKind::Read) return Verdict::Refuse;
      return info.outside ? Verdict::Ask : Verdict::Run;
    case Mode::Everything:
      return Verdict::Run;
  }
  return Verdict::Ask;
}

Json call_event(const CallInfo& info, const std::string& state, const std::string& output,
                const std::optional<ToolImage>& image) {
  Json event = to_json(info);
  event["state"] = state;
  event["output"] = output;
  event["image"] = image.has_value();
  if (image) {
    event["image_data"] = image->data;
    event["image_mime"] = image->mime;
  }
  return event;
}

void Approvals::set_mode(const std::string& chat, Mode mode) {
  std::lock_guard lock(modes_mutex_);
  modes_[chat] = mode;
}

Mode Approvals::mode(const std::string& chat) const {
  std::lock_guard lock(modes_mutex_);
  const auto it = modes_.find(chat);
  return it == modes_.end() ? Mode::Ask : it->second;
}

bool Approvals::always_allowed(const std::string& chat, const std::string& tool) const {
  std::lock_guard lock(always_mutex_);
  return always_.count({chat, tool}) != 0;
}

QCoro::Task<GateOutcome> Approvals::gate(CallInfo info, Host& host, Notifications& notifications) {
  const Verdict verdict = decide(mode(info.chat), info, always_allowed(info.chat, info.tool));
  if (verdict == Verdict::Run) co_return GateOutcome{true, {}};
  if (verdict == Verdict::Refuse) co_return GateOutcome{false, kReadonlyRefusal};

  host.emit_event(QStringLiteral("agent://call"), call_event(info, "pending", ""));
  auto slot = std::make_shared<ReplySlot>();
  {
    std::lock_guard lock(pending_mutex_);
    pending_[info.call_id] = Pending{info, slot};
  }
  notifications.notify(NotifyRequest{NotifyKind::Approval, QString::fromStdString(info.chat),
                                     QString::fromStdString(info.summary),
                                     QString::fromStdString(info.call_id)});

  const auto timeout = timing::scaled(kApprovalTimeout);
  const std::optional<int> reply = co_await qCoro(slot.get(), &ReplySlot::answered, timeout);
  {
    std::lock_guard lock(pending_mutex_);
    const auto it = pending_.find(info.call_id);
    if (it != pending_.end() && it->second.slot == slot) pending_.erase(it);
  }
  // Without the slot in the table a late answer finds nobody waiting.
  slot->blockSignals(true);

  if (!reply) co_return GateOutcome{false, kNoAnswerRefusal};
  switch (static_cast<Answer>(*reply)) {
    case Answer::Always: {
      std::lock_guard lock(always_mutex_);
      always_.insert({info.chat, info.tool});
    }
      co_return GateOutcome{true, {}};
    case Answer::Allow:
      co_return GateOutcome{true, {}};
    case Answer::Deny:
      break;
  }
  co_return GateOutcome{false, {}};
}

Json Approvals::pending() const {
  std::lock_guard lock(pending_mutex_);
  Json out = Json::array();
  for (const auto& [id, entry] : pending_) out.push_back(to_json(entry.info));
  return out;
}

bool Approvals::decide_call(const std::string& call_id, Answer answer) {
  std::shared_ptr<ReplySlot> slot;
  {
    std::lock_guard lock(pending_mutex_);
    const auto it = pending_.find(call_id);
    if (it == pending_.end()) return false;
    slot = it->second.slot;
    pending_.erase(it);
  }
  if (slot->signalsBlocked()) return false;
  // Queued: the waiting task resumes from the event loop, not inside this command.
  QMetaObject::invokeMethod(
      slot.get(), [slot, answer] { emit slot->answered(static_cast<int>(answer)); },
      Qt::QueuedConnection);
  return true;
}

StopFlag Approvals::add_stop_flag(const std::string& call_id) {
  auto flag = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard lock(stop_mutex_);
  stop_flags_[call_id] = flag;
  return flag;
}

void Approvals::remove_stop_flag(const std::string& call_id) {
  std::lock_guard lock(stop_mutex_);
  stop_flags_.erase(call_id);
}

bool Approvals::stop(const std::string& call_id) {
  std::lock_guard lock(stop_mutex_);
  const auto it = stop_flags_.find(call_id);
  if (it == stop_flags_.end()) return false;
  it->second->store(true);
  return true;
}

}  // namespace kavor::tools
