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
    // In ask and auto, what the fence does not reach runs at once only where the user always
    // allows its tool: a container started with the host's namespaces is the whole machine,
    // whatever the text of the command.
    case Mode::Ask: {
      const bool plain_read = info.kind == ToolKind::Read && !info.unfenced;
      return !info.outside && (plain_read || always_allowed) ? Verdict::Run : Verdict::Ask;
    }
    case Mode::Auto:
      return info.outside || (info.unfenced && !always_allowed) ? Verdict::Ask : Verdict::Run;
    case Mode::Readonly:
      if (info.kind != ToolKind::Read) return Verdict::Refuse;
      return info.outside ? Verdict::Ask : Verdict::Run;
    case Mode::Everything:
      return Verdict::Run;
  }
  return Verdict::Ask;
}

common::Json call_event(const CallInfo& info, const std::string& state, const std::string& output,
                        const std::optional<ToolImage>& image) {
  common::Json event = to_json(info);
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

std::optional<Ticket> Approvals::admit(const std::string& call_id) {
  std::lock_guard lock(live_mutex_);
  const auto [it, added] = live_.try_emplace(call_id, next_serial_ + 1);
  if (!added) return std::nullopt;
  ++next_serial_;
  return Ticket{call_id, it->second};
}

void Approvals::release(const Ticket& ticket) {
  {
    std::lock_guard lock(stop_mutex_);
    const auto early = early_stops_.find(ticket.call_id);
    if (early != early_stops_.end() && early->second == ticket.serial) early_stops_.erase(early);
    ran_.erase(ticket.serial);
  }
  std::lock_guard lock(live_mutex_);
  const auto it = live_.find(ticket.call_id);
  if (it != live_.end() && it->second == ticket.serial) live_.erase(it);
}

QCoro::Task<GateOutcome> Approvals::gate(CallInfo info, Ticket ticket, common::Host& host,
                                         desktop::Notifications& notifications,
                                         std::stop_token shutdown) {
  const Mode chat_mode = mode(info.chat);
  const Verdict verdict = decide(chat_mode, info, always_allowed(info.chat, info.tool));
  if (verdict == Verdict::Run) co_return GateOutcome{true, {}, chat_mode != Mode::Everything};
  if (verdict == Verdict::Refuse) co_return GateOutcome{false, kReadonlyRefusal};

  // 1. Show the card, 2. enter the pending table, 3. ask for a notification.
  host.emit_event(QStringLiteral("agent://call"), call_event(info, "pending", ""));
  auto slot = std::make_shared<ReplySlot>();
  {
    std::lock_guard lock(pending_mutex_);
    pending_.insert_or_assign(info.call_id, Pending{info, ticket.serial, slot});
  }
  notifications.notify(desktop::NotifyRequest{
      desktop::NotifyKind::Approval, QString::fromStdString(info.chat),
      QString::fromStdString(info.summary), QString::fromStdString(info.call_id)});

  // 4. Wait for the answer or the time-out, whichever wakes the call first.
  const auto timeout = common::timing::scaled(kApprovalTimeout);
  co_await qCoro(slot.get(), &ReplySlot::answered, timeout);
  if (shutdown.stop_requested()) co_return GateOutcome{false, kNoAnswerRefusal};

  // 5. Whoever took the entry out of the table decides: still there means nobody answered.
  std::optional<Answer> answer;
  {
    std::lock_guard lock(pending_mutex_);
    const auto it = pending_.find(info.call_id);
    if (it != pending_.end() && it->second.slot == slot) {
      pending_.erase(it);
    } else {
      answer = slot->answer;
    }
  }

  // 6. The outcome.
  if (!answer) co_return GateOutcome{false, kNoAnswerRefusal};
  switch (*answer) {
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

common::Json Approvals::pending() const {
  std::lock_guard lock(pending_mutex_);
  common::Json out = common::Json::array();
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
    slot->answer = answer;
    pending_.erase(it);
  }
  // Queued: the waiting task resumes from the event loop, not inside this command.
  QMetaObject::invokeMethod(
      slot.get(), [slot] { emit slot->answered(); }, Qt::QueuedConnection);
  return true;
}

common::StopFlag Approvals::add_stop_flag(const Ticket& ticket) {
  std::lock_guard lock(stop_mutex_);
  const auto early = early_stops_.find(ticket.call_id);
  const bool stopped = early != early_stops_.end() && early->second == ticket.serial;
  if (early != early_stops_.end()) early_stops_.erase(early);
  ran_.insert(ticket.serial);
  auto flag = std::make_shared<std::atomic<bool>>(stopped);
  stop_flags_.insert_or_assign(ticket.call_id, Running{ticket.serial, flag});
  return flag;
}

void Approvals::remove_stop_flag(const Ticket& ticket) {
  std::lock_guard lock(stop_mutex_);
  const auto it = stop_flags_.find(ticket.call_id);
  if (it != stop_flags_.end() && it->second.serial == ticket.serial) stop_flags_.erase(it);
}

bool Approvals::stop(const std::string& call_id) {
  std::lock_guard lock(stop_mutex_);
  const auto it = stop_flags_.find(call_id);
  if (it != stop_flags_.end()) {
    it->second.flag->store(true);
    return true;
  }
  // Admitted, not yet running: kept for its flag. (Lock order: stops, then live calls.)
  std::lock_guard live_lock(live_mutex_);
  const auto live = live_.find(call_id);
  if (live == live_.end() || ran_.count(live->second) != 0) return false;
  early_stops_.insert_or_assign(call_id, live->second);
  return true;
}

void Approvals::stop_all() {
  std::lock_guard lock(stop_mutex_);
  for (auto& [id, running] : stop_flags_) running.flag->store(true);
}

}  // namespace kavor::tools
