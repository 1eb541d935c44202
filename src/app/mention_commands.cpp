#include "app/mention_commands.h"

#include <qcorofuture.h>
#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>
#include <variant>

#include "app/state_registry.h"
#include "common/build_config.h"
#include "common/host.h"
#include "mention/mentions.h"

namespace kavor {

namespace {

using mention::Mentions;

std::string string_arg(const Json& args, const char* key) {
  const auto it = args.find(key);
  return it != args.end() && it->is_string() ? it->get<std::string>() : std::string();
}

Json hit_json(const mention::Hit& hit) {
  Json out = Json::object();
  out["path"] = hit.path;
  out["is_dir"] = hit.is_dir;
  out["name_at"] = hit.name_at;
  Json ranges = Json::array();
  for (const auto& range : hit.ranges) ranges.push_back(Json::array({range[0], range[1]}));
  out["ranges"] = std::move(ranges);
  return out;
}

Json info_json(const mention::IndexInfo& info) {
  Json out = Json::object();
  out["root"] = info.root;
  out["indexing"] = info.indexing;
  out["count"] = info.count;
  out["revision"] = info.revision;
  out["truncated"] = info.truncated;
  return out;
}

Json reply_json(const mention::SearchReply& reply) {
  Json hits = Json::array();
  for (const auto& hit : reply.hits) hits.push_back(hit_json(hit));
  Json out = Json::object();
  out["hits"] = std::move(hits);
  out["indexing"] = reply.indexing;
  out["count"] = reply.count;
  out["revision"] = reply.revision;
  out["stale"] = reply.stale;
  return out;
}

// Runs `work` on the shared pool. Its answer: a JSON value or a message; a failure of the
// task itself becomes `failed` followed by its text.
template <typename Work>
QCoro::Task<CommandResult> off_the_loop(Work work, std::string failed) {
  QFuture<CommandResult> running = QtConcurrent::run([work = std::move(work), failed] {
    try {
      return work();
    } catch (const std::exception& e) {
      return CommandResult::failure(failed + e.what());
    } catch (...) {
      return CommandResult::failure(failed + "unknown error");
    }
  });
  CommandResult result = co_await running;
  co_return result;
}

CommandResult unavailable() {
  return CommandResult::failure(std::string(mention::kIndexUnavailable));
}

CommandResult message(const std::string& text) {
  return CommandResult::failure(text);
}

}  // namespace

mention::IndexLocation mention_index_location() {
  const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  if (!data.isEmpty() && QDir::isAbsolutePath(data)) {
    const QString folder =
        QDir(QDir(data).filePath(QString::fromUtf8(build::kAppId))).filePath("mention-index");
    return {folder.toStdString(), true};
  }
  return {QDir(QDir::tempPath()).filePath(QStringLiteral("kavor-mention")).toStdString(), false};
}

mention::EventSink mention_event_sink(Host& host, std::stop_token ended) {
  return [&host, ended](const std::string& root, std::uint64_t revision) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    Json payload = Json::object();
    payload["root"] = root;
    payload["revision"] = revision;
    QMetaObject::invokeMethod(
        app,
        [&host, ended, payload] {
          if (!ended.stop_requested()) host.emit_event(QStringLiteral("ws-index-updated"), payload);
        },
        Qt::QueuedConnection);
  };
}

void install_mention_commands(CommandTable& table, StateRegistry& state) {
  using A = ArgType;

  table.add("ws_index_open", {{"root", A::String}},
            [&state](const Json& args) -> QCoro::Task<CommandResult> {
              Mentions* mentions = state.find<Mentions>();
              if (mentions == nullptr) co_return unavailable();
              QCoro::Task<CommandResult> opening = off_the_loop(
                  [mentions, root_arg = string_arg(args, "root")]() -> CommandResult {
                    const auto root = mention::resolve_root(root_arg);
                    if (const auto* error = std::get_if<std::string>(&root)) return message(*error);
                    const auto info = mentions->open_info(std::get<mention::Root>(root));
                    if (!info.ok()) return message(info.error());
                    return CommandResult::success(info_json(info.value()));
                  },
                  "Opening the index failed: ");
              CommandResult result = co_await opening;
              co_return result;
            });

  table.add("ws_index_close", {{"root", A::String}},
            [&state](const Json& args) -> QCoro::Task<CommandResult> {
              Mentions* mentions = state.find<Mentions>();
              if (mentions == nullptr) co_return CommandResult::success();
              QCoro::Task<CommandResult> closing = off_the_loop(
                  [mentions, root_arg = string_arg(args, "root")]() -> CommandResult {
                    const auto root = mention::resolve_root(root_arg);
                    if (const auto* resolved = std::get_if<mention::Root>(&root))
                      mentions->close(*resolved);
                    return CommandResult::success();
                  },
                  "");
              co_await closing;
              // Closing never fails in the page's eyes.
              co_return CommandResult::success();
            });

  table.add("ws_search", {{"root", A::String}, {"query", A::String}, {"limit", A::Number, true}},
            [&state](const Json& args) -> QCoro::Task<CommandResult> {
              Mentions* mentions = state.find<Mentions>();
              if (mentions == nullptr) co_return unavailable();
              std::optional<double> limit;
              if (const auto it = args.find("limit"); it != args.end() && it->is_number())
                limit = it->get<double>();
              QCoro::Task<CommandResult> searching = off_the_loop(
                  [mentions, root_arg = string_arg(args, "root"), query = string_arg(args, "query"),
                   count = mention::clamp_limit(limit)]() -> CommandResult {
                    const auto root = mention::resolve_root(root_arg);
                    if (const auto* error = std::get_if<std::string>(&root)) return message(*error);
                    return CommandResult::success(
                        reply_json(mentions->search(std::get<mention::Root>(root), query, count)));
                  },
                  "Search failed: ");
              CommandResult result = co_await searching;
              co_return result;
            });

  table.add("ws_mention_picked", {{"root", A::String}, {"path", A::String}},
            [&state](const Json& args) -> QCoro::Task<CommandResult> {
              Mentions* mentions = state.find<Mentions>();
              if (mentions == nullptr) co_return unavailable();
              QCoro::Task<CommandResult> picking = off_the_loop(
                  [mentions, root_arg = string_arg(args, "root"),
                   path = string_arg(args, "path")]() -> CommandResult {
                    const auto root = mention::resolve_root(root_arg);
                    if (const auto* error = std::get_if<std::string>(&root)) return message(*error);
                    if (const auto picked = mentions->pick(std::get<mention::Root>(root), path);
                        !picked.ok())
                      return message(picked.error());
                    return CommandResult::success();
                  },
                  "Saving the pick failed: ");
              CommandResult result = co_await picking;
              co_return result;
            });
}

}  // namespace kavor
