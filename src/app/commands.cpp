#include "app/commands.h"

#include <qcorofuture.h>
#include <QDir>
#include <QFileInfo>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>

#include "app/agent_state.h"
#include "app/command_args.h"
#include "app/desktop_commands.h"
#include "app/import_commands.h"
#include "app/mention_commands.h"
#include "bridge/status.h"
#include "common/build_config.h"
#include "common/host.h"
#include "desktop/notifications.h"
#include "desktop/watchdog.h"
#include "device/device_store.h"
#include "platform/os_info.h"
#include "tools/approvals.h"
#include "tools/project_context.h"

namespace kavor::app {

namespace {

// What a command that was waiting answers once the program is ending.
constexpr const char* kClosing = "Kavor Agent is closing.";

std::optional<QString> optional_text_arg(const common::Json& args, const char* key) {
  const auto it = args.find(key);
  if (it == args.end() || !it->is_string()) return std::nullopt;
  return QString::fromStdString(it->get<std::string>());
}

bool scheme_is(const QUrl& url, std::initializer_list<const char*> schemes) {
  const QString scheme = url.scheme().toLower();
  for (const char* s : schemes) {
    if (scheme == QLatin1String(s)) return true;
  }
  return false;
}

// A picker's answer for the page: the chosen full path, or null when the user cancelled.
CommandResult picked_path(const std::optional<QString>& path) {
  return path ? common::Json(path->toStdString()) : common::Json(nullptr);
}

// Commands that wait (for the service, the credential store) are coroutines of their own that
// take everything they use as parameters, kept in their frame. A coroutine lambda would read its
// captures from the lambda object in the command table after every wait, and the table is gone
// once the agent has ended.
QCoro::Task<CommandResult> link_command(AgentState& state, common::Endpoints endpoints,
                                        std::stop_token shutdown, QString token) {
  auto& store = state.device_store();
  QCoro::Task<Result<void>> linking =
      device::link_device(store, std::move(endpoints), std::move(token), shutdown);
  const Result<void> linked = co_await linking;
  if (shutdown.stop_requested()) co_return fail(kClosing);
  if (!linked.ok()) co_return linked.error();
  co_return agent_info(state);
}

QCoro::Task<CommandResult> unlink_command(AgentState& state, common::Endpoints endpoints,
                                          desktop::Notifications& notifications,
                                          std::stop_token shutdown, std::optional<QString> token) {
  auto& store = state.device_store();
  QCoro::Task<> unlinking =
      device::unlink_device(store, std::move(endpoints), std::move(token), shutdown);
  co_await unlinking;
  if (shutdown.stop_requested()) co_return fail(kClosing);
  // Notifications already shown belong to the old link.
  notifications.clear_shown();
  co_return agent_info(state);
}

// The registration may still be read from a slow keyring at start: the page's question waits
// for it without holding the event loop.
QCoro::Task<CommandResult> agent_info_command(AgentState& state) {
  if (state.device) {
    QFuture<void> loading = state.device->loaded();
    co_await loading;
  }
  co_return agent_info(state);
}

}  // namespace

common::Json agent_info(const AgentState& state) {
  const platform::OsValues& os = platform::os_values();
  common::Json info = common::Json::object();
  info["version"] = common::build::kVersion;
  info["os"] = os.os.toStdString();
  info["os_version"] = os.os_version.toStdString();
  info["os_id"] = os.os_id.toStdString();
  info["os_build"] = os.os_build.toStdString();
  info["arch"] = os.arch.toStdString();
  common::Json device = nullptr;
  if (const device::DeviceStore* store = state.device.get()) {
    if (const auto credentials = store->credentials()) {
      device = common::Json::object();
      device["id"] = credentials->device_id.toStdString();
      device["name"] = credentials->device_name.toStdString();
    }
  }
  info["device"] = device;
  info["connected"] = state.status.online.load();
  return info;
}

QString path_status(const QString& path) {
  const QString trimmed = path.trimmed();
  if (trimmed.isEmpty() || !QDir::isAbsolutePath(trimmed)) return QStringLiteral("invalid");
  const QFileInfo info(trimmed);  // follows links
  if (!info.exists()) return QStringLiteral("missing");
  return info.isDir() ? QStringLiteral("ok") : QStringLiteral("not_folder");
}

QCoro::Task<CommandResult> path_status_command(QString path,
                                               std::function<QString(const QString&)> check) {
  // The worker answers either way: an exception left in the future would never reach the page.
  QFuture<CommandResult> checking = QtConcurrent::run([path, check]() -> CommandResult {
    const QString failed = QStringLiteral("Checking the folder failed: ");
    try {
      return common::Json(check(path).toStdString());
    } catch (const std::exception& e) {
      return fail((failed + QString::fromLocal8Bit(e.what())).toStdString());
    } catch (...) {
      return fail((failed + QStringLiteral("unknown error")).toStdString());
    }
  });
  CommandResult result = co_await checking;
  co_return result;
}

void install_commands(CommandTable& table, CommandContext ctx) {
  using A = ArgType;
  AgentState& state = ctx.state;
  common::Host& host = ctx.host;
  const common::Endpoints endpoints = ctx.endpoints;
  desktop::Notifications& notifications = ctx.notifications;
  const std::stop_token shutdown = ctx.shutdown;

  table.add("agent_info", {}, [&state](const common::Json&) { return agent_info_command(state); });

  table.add("agent_link", {{"token", A::String}},
            [&state, endpoints, shutdown](const common::Json& args) {
              return link_command(state, endpoints, shutdown, text_arg(args, "token"));
            });

  table.add("agent_unlink", {{"token", A::String, true}},
            [&state, endpoints, &notifications, shutdown](const common::Json& args) {
              return unlink_command(state, endpoints, notifications, shutdown,
                                    optional_text_arg(args, "token"));
            });

  table.add("agent_alive", {}, [&state](const common::Json&) -> QCoro::Task<CommandResult> {
    state.watchdog.alive();
    co_return common::Json();
  });

  table.add("agent_open_url", {{"url", A::String}},
            [&host](const common::Json& args) -> QCoro::Task<CommandResult> {
              const QUrl url(text_arg(args, "url"), QUrl::StrictMode);
              if (!url.isValid() || !scheme_is(url, {"http", "https", "mailto"})) {
                co_return fail("only http, https and mailto links open outside the app");
              }
              if (const Result<void> opened = host.open_external(url); !opened.ok()) {
                co_return fail("could not open the link: " + opened.message());
              }
              co_return common::Json();
            });

  table.add("agent_pay", {{"url", A::String}},
            [&host](const common::Json& args) -> QCoro::Task<CommandResult> {
              const QUrl url(text_arg(args, "url"), QUrl::StrictMode);
              if (!url.isValid() || url.scheme().isEmpty() || url.isRelative()) {
                co_return fail("invalid payment url");
              }
              if (!scheme_is(url, {"https"})) {
                co_return fail("payment links must be https");
              }
              if (const Result<void> shown = host.open_payment(url); !shown.ok()) {
                co_return fail("could not open the payment window: " + shown.message());
              }
              co_return common::Json();
            });

  table.add("agent_path_status", {{"path", A::String}},
            [](const common::Json& args) { return path_status_command(text_arg(args, "path")); });

  table.add("agent_project_context", {{"workspace", A::String}},
            [](const common::Json& args) -> QCoro::Task<CommandResult> {
              const std::string workspace = text_arg(args, "workspace").toStdString();
              QFuture<CommandResult> reading = QtConcurrent::run([workspace]() -> CommandResult {
                try {
                  return tools::project_context(workspace);
                } catch (const std::exception& e) {
                  return fail(std::string("Reading the project context failed: ") + e.what());
                }
              });
              co_return co_await reading;
            });

  table.add("agent_pick_folder", {}, [&host](const common::Json&) -> QCoro::Task<CommandResult> {
    const QString title = QStringLiteral("پوشهی کاری را انتخاب کنید");
    QCoro::Task<std::optional<QString>> picking = host.pick_folder(title);
    const std::optional<QString> folder = co_await picking;
    co_return picked_path(folder);
  });

  table.add("chatgpt_pick_export", {}, [&host](const common::Json&) -> QCoro::Task<CommandResult> {
    const QString title = QStringLiteral("ChatGPT export");
    const QString filter = QStringLiteral("ChatGPT export (zip)");
    const QString extension = QStringLiteral("zip");
    QCoro::Task<std::optional<QString>> picking = host.pick_file(title, filter, extension);
    const std::optional<QString> file = co_await picking;
    co_return picked_path(file);
  });

  table.add("agent_set_mode", {{"chat", A::String}, {"mode", A::String}},
            [&state](const common::Json& args) -> QCoro::Task<CommandResult> {
              const auto mode = tools::parse_mode(args["mode"].get<std::string>());
              if (!mode) {
                co_return fail("The mode must be one of ask, auto, readonly and everything.");
              }
              state.approvals.set_mode(args["chat"].get<std::string>(), *mode);
              co_return common::Json();
            });
  table.add("agent_pending", {}, [&state](const common::Json&) -> QCoro::Task<CommandResult> {
    co_return state.approvals.pending();
  });
  table.add("agent_decide", {{"callId", A::String}, {"answer", A::String}},
            [&state](const common::Json& args) -> QCoro::Task<CommandResult> {
              const auto answer = tools::parse_answer(args["answer"].get<std::string>());
              if (!answer) {
                co_return fail("The answer must be one of allow, always and deny.");
              }
              co_return common::Json(
                  state.approvals.decide_call(args["callId"].get<std::string>(), *answer));
            });
  table.add("agent_stop", {{"callId", A::String}},
            [&state](const common::Json& args) -> QCoro::Task<CommandResult> {
              co_return common::Json(state.approvals.stop(args["callId"].get<std::string>()));
            });
  install_desktop_commands(table, ctx);
  install_import_commands(table, ctx);
  install_mention_commands(table, state.mentions);
}

}  // namespace kavor::app
