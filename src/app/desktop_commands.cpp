#include "app/desktop_commands.h"

#include <qcorofuture.h>
#include <QtConcurrent/QtConcurrentRun>

#include <limits>

#include "app/agent_state.h"
#include "app/command_args.h"
#include "desktop/notifier.h"
#include "desktop/reply_watcher.h"

namespace kavor::app {

namespace {

// A JSON whole number as a message id; 0 for anything else, which the watcher refuses.
std::int64_t message_id(const common::Json& value) {
  if (value.is_number_unsigned()) {
    const auto id = value.get<std::uint64_t>();
    return id > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? 0
               : static_cast<std::int64_t>(id);
  }
  return value.is_number_integer() ? value.get<std::int64_t>() : 0;
}

}  // namespace

void install_desktop_commands(CommandTable& table, const CommandContext& context) {
  using A = ArgType;
  AgentState& state = context.state;
  common::Host& host = context.host;
  const common::Endpoints endpoints = context.endpoints;

  table.add("agent_notify",
            {{"kind", A::String}, {"chat", A::String}, {"text", A::String}, {"mid", A::String}},
            [&state](const common::Json& args) -> QCoro::Task<CommandResult> {
              const std::optional<desktop::NotifyKind> kind =
                  desktop::parse_notify_kind(args["kind"].get<std::string>());
              if (!kind) {
                co_return fail(
                    "The kind must be one of done, failed, network, approval, offline, "
                    "online, unlinked and test.");
              }
              const desktop::NotifyRequest request{*kind, text_arg(args, "chat"),
                                                   text_arg(args, "text"), text_arg(args, "mid")};
              QCoro::Task<Result<desktop::NotifyOutcome>> notifying =
                  state.loaded_notifier().notify_and_wait(request);
              const Result<desktop::NotifyOutcome> outcome = co_await notifying;
              if (!outcome.ok()) co_return outcome.error();
              co_return common::Json(outcome.value() == desktop::NotifyOutcome::Shown ? "shown"
                                                                                      : "skipped");
            });

  table.add("agent_notify_prefs", {}, [&state](const common::Json&) -> QCoro::Task<CommandResult> {
    co_return desktop::prefs_to_json(state.loaded_notifier().prefs());
  });

  table.add(
      "agent_set_notify_prefs", {{"prefs", A::Object}},
      [&state](const common::Json& args) -> QCoro::Task<CommandResult> {
        const std::optional<desktop::Prefs> prefs = desktop::prefs_from_json(args["prefs"]);
        if (!prefs) {
          co_return fail(
              "The notification settings must give enabled, sound and preview as true or "
              "false, and lang as fa or en.");
        }
        // The file is written on the shared pool: a slow or hung disk must not freeze the
        // window. The notifier outlives the pool's work (the agent drains the pool first).
        desktop::Notifier* notifier = &state.loaded_notifier();
        QFuture<Result<void>> saving =
            QtConcurrent::run([notifier, chosen = *prefs] { return notifier->set_prefs(chosen); });
        const Result<void> saved = co_await saving;
        if (!saved.ok()) {
          co_return fail("The notification settings could not be saved: " + saved.message() + ".");
        }
        co_return common::Json();
      });

  table.add("agent_watch_reply",
            {{"chat", A::String},
             {"mid", A::Number},  // any number, so that 0 gets the watcher's own refusal
             {"token", A::String},
             {"title", A::String, true}},
            [&state, &host, endpoints](const common::Json& args) -> QCoro::Task<CommandResult> {
              desktop::WatchRequest request{text_arg(args, "chat"), message_id(args["mid"]),
                                            text_arg(args, "token"), text_arg(args, "title")};
              if (const Result<void> checked = desktop::check_watch_request(request);
                  !checked.ok()) {
                co_return checked.error();
              }
              const desktop::WatchContext watch{endpoints, host, state.loaded_notifier()};
              if (const Result<void> watching = state.watchers.watch(std::move(request), watch);
                  !watching.ok()) {
                co_return watching.error();
              }
              co_return common::Json();
            });

  table.add("agent_unwatch_reply", {{"chat", A::String}},
            [&state](const common::Json& args) -> QCoro::Task<CommandResult> {
              state.watchers.unwatch(text_arg(args, "chat"));
              co_return common::Json();
            });
}

}  // namespace kavor::app
