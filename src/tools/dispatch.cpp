#include "tools/dispatch.h"

#include <qcorofuture.h>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>

#include "common/host.h"
#include "common/utf8.h"
#include "tools/approvals.h"
#include "tools/paths.h"
#include "tools/tool_table.h"

namespace kavor::tools {

namespace {

std::string unknown_tool_message(const std::string& tool) {
  return "This version of Kavor Agent does not know the tool " + tool +
         ". Ask the user to update Kavor Agent.";
}

// The result record of a decoded call: call_id, status, output, the image, then the call's
// description for the service.
common::Json decoded_record(const CallInfo& info, const std::string& status,
                            const std::string& output, const std::optional<ToolImage>& image) {
  common::Json record = common::Json::object();
  record["call_id"] = info.call_id;
  record["status"] = status;
  record["output"] = output;
  if (image) {
    record["image"] = image->data;
    record["image_mime"] = image->mime;
  }
  add_description(record, info);
  return record;
}

// Runs `work` and turns what it throws into the failure the assistant reads: a path that
// cannot be resolved safely gives its own message, anything else "The tool crashed: ...".
template <typename Answer, typename Work>
Answer guarded(const Work& work) {
  try {
    return work();
  } catch (const PathError& e) {
    return fail(e.what());
  } catch (const std::exception& e) {
    return fail(crash_message(e));
  }
}

// What the pool's part of a call gives back: whether the chat was entered in the running
// registry, and the decoded call or the message that ends it.
struct Prepared {
  bool entered = false;
  Result<Decoded> decoded = fail(std::string());
};

// Leaves the running-chats registry and releases the call id on every way out of a call,
// unless the program is ending: the state may be gone by then.
class CallGuard {
 public:
  CallGuard(DispatchContext& ctx, Ticket ticket) : ctx_(ctx), ticket_(std::move(ticket)) {}
  ~CallGuard() {
    if (ctx_.shutdown.stop_requested()) return;
    if (chat_) ctx_.running.leave(*chat_);
    ctx_.approvals.release(ticket_);
  }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;
  void entered(std::string chat) { chat_ = std::move(chat); }

 private:
  DispatchContext& ctx_;
  Ticket ticket_;
  std::optional<std::string> chat_;
};

}  // namespace

Result<void> RunningChats::enter(const std::string& chat, const fs::path& root) {
  std::lock_guard lock(mutex_);
  auto it = chats_.find(chat);
  if (it == chats_.end()) {
    chats_.emplace(chat, Entry{root, 1});
    return {};
  }
  if (it->second.root != root) {
    return fail(
        "The project folder of this chat changed while it is running. Wait for the running steps "
        "to finish, then run it again.");
  }
  ++it->second.calls;
  return {};
}

void RunningChats::leave(const std::string& chat) {
  std::lock_guard lock(mutex_);
  auto it = chats_.find(chat);
  if (it != chats_.end() && --it->second.calls <= 0) chats_.erase(it);
}

std::size_t RunningChats::size() const {
  std::lock_guard lock(mutex_);
  return chats_.size();
}

common::Json failure_record(const QString& call_id, const QString& message) {
  common::Json record = common::Json::object();
  record["call_id"] = call_id.toStdString();
  record["status"] = "error";
  record["output"] = message.toStdString();
  return record;
}

std::string crash_message(const std::exception& e) {
  return std::string("The tool crashed: ") + e.what();
}

QCoro::Task<common::Json> dispatch(Call call, DispatchContext ctx) {
  const std::string call_id = call.id.toStdString();
  const std::string chat = call.chat.toStdString();
  const std::string tool = call.tool.toStdString();
  const auto answer_failure = [&call](const std::string& message) {
    return failure_record(call.id, QString::fromStdString(message));
  };

  // 0. One call per id at a time: a second call with a live id would otherwise share the
  // first one's approval card and stop flag.
  std::optional<Ticket> ticket = ctx.approvals.admit(call_id);
  if (!ticket) {
    co_return answer_failure("A call with the id " + call_id +
                             " is already in progress, so this one was not run.");
  }
  CallGuard guard(ctx, *ticket);

  // 1. to 3. in one trip to the pool: resolving reads the disk and decoding may, and a hand-off
  // back to this thread between them would cost two thread wake-ups for nothing. The registry
  // is locked, so entering the chat from the pool is safe; the steps keep their order, and a
  // step that fails ends the trip before the next one.
  QFuture<Prepared> preparing = QtConcurrent::run(
      [call, tools = &ctx.tools, running = &ctx.running, shutdown = ctx.shutdown, tool, chat] {
        Prepared out;
        // 1. The folders the call may touch (canonicalizing reads the disk).
        Result<Scope> resolved = guarded<Result<Scope>>([&] { return resolve_scope(call); });
        if (!resolved.ok()) {
          out.decoded = resolved.error();
          return out;
        }
        const Scope& scope = resolved.value();
        // The program is ending: the registry may be gone.
        if (shutdown.stop_requested()) return out;
        // 2. One workspace per chat while it runs.
        if (const Result<void> entered = running->enter(chat, scope.root); !entered.ok()) {
          out.decoded = entered.error();
          return out;
        }
        out.entered = true;
        // 3. Decode.
        const Decoder* decoder = tools->find(tool);
        if (decoder == nullptr) {
          out.decoded = fail(unknown_tool_message(tool));
          return out;
        }
        out.decoded = guarded<Result<Decoded>>([&] { return (*decoder)(call.args, scope); });
        return out;
      });
  Prepared prepared = co_await preparing;
  if (prepared.entered) guard.entered(chat);
  if (ctx.shutdown.stop_requested()) co_return common::Json();
  if (!prepared.decoded.ok()) co_return answer_failure(prepared.decoded.message());
  Decoded decoded = std::move(prepared.decoded).value();
  // What people are shown (the card, the pending list, the notification, the record) shows
  // any character that would make it read differently as a visible escape; the tool itself
  // runs with the arguments as sent.
  CallInfo info;
  info.call_id = call_id;
  info.chat = chat;
  info.tool = tool;
  info.kind = decoded.kind;
  info.summary = common::visible_controls(decoded.summary, common::LineBreaks::Escape);
  info.detail = common::visible_controls(decoded.detail, common::LineBreaks::Keep);
  info.lang = decoded.lang;
  info.outside = decoded.outside;
  info.reason = common::visible_controls(decoded.reason, common::LineBreaks::Escape);
  info.cwd = common::visible_controls(decoded.cwd, common::LineBreaks::Escape);
  info.memory = decoded.memory;
  info.unfenced = decoded.unfenced;

  // 4. The approval gate. A refused call tells the service nothing read from a target outside
  // the scope: the user did not let the assistant read it.
  QCoro::Task<GateOutcome> gating =
      ctx.approvals.gate(info, *ticket, ctx.host, ctx.notifications, ctx.shutdown);
  const GateOutcome gate = co_await gating;
  if (ctx.shutdown.stop_requested()) co_return common::Json();
  const QString event = QStringLiteral("agent://call");
  if (!gate.proceed) {
    ctx.host.emit_event(event, call_event(info, "denied", gate.denial));
    CallInfo reported = info;
    if (info.outside)
      reported.detail = common::visible_controls(decoded.sent_detail, common::LineBreaks::Keep);
    co_return decoded_record(reported, "denied", gate.denial, std::nullopt);
  }

  // 5. Run: blocking work on the tools' pool, asynchronous work on this thread.
  ctx.host.emit_event(event, call_event(info, "running", ""));
  const common::StopFlag stop = ctx.approvals.add_stop_flag(*ticket);
  ToolResult result = ToolOutput{};  // until the run answers
  if (decoded.run_async) {
    try {
      QCoro::Task<ToolResult> running =
          decoded.run_async(RunContext{call_id, chat, stop, &ctx.host, gate.fence});
      result = co_await running;
    } catch (const PathError& e) {
      result = fail(e.what());
    } catch (const std::exception& e) {
      result = fail(crash_message(e));
    }
  } else {
    auto run = std::move(decoded.run);
    QFuture<ToolResult> running = QtConcurrent::run(&ctx.pool, [run, stop] {
      // The call may have waited for a free thread; one stopped meanwhile never starts.
      if (common::stopped(stop)) return stopped_before_start();
      return guarded<ToolResult>([&] { return run(stop); });
    });
    result = co_await running;
  }
  if (ctx.shutdown.stop_requested()) co_return common::Json();
  ctx.approvals.remove_stop_flag(*ticket);

  // 6. Report.
  if (result.ok()) {
    const ToolOutput& output = result.value();
    ctx.host.emit_event(event, call_event(info, "done", output.output, output.image));
    co_return decoded_record(info, "ok", output.output, output.image);
  }
  ctx.host.emit_event(event, call_event(info, "error", result.message()));
  co_return decoded_record(info, "error", result.message(), std::nullopt);
}

QCoro::Task<common::Json> run_unknown_tool(Call call, QString /*secret*/) {
  co_return failure_record(call.id,
                           QString::fromStdString(unknown_tool_message(call.tool.toStdString())));
}

}  // namespace kavor::tools
