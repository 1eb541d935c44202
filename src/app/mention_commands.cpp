#include "app/mention_commands.h"

#include <qcorofuture.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>

#include <cstdlib>
#include <exception>
#include <variant>

#include "common/build_config.h"
#include "common/config_dir.h"
#include "common/host.h"
#include "mention/mentions.h"
#include "tools/args.h"

namespace kavor::app {

namespace {

using mention::Mentions;

using tools::string_arg;

common::Json hit_json(const mention::Hit& hit) {
  common::Json out = common::Json::object();
  out["path"] = hit.path;
  out["is_dir"] = hit.is_dir;
  out["name_at"] = hit.name_at;
  common::Json ranges = common::Json::array();
  for (const auto& range : hit.ranges) ranges.push_back(common::Json::array({range[0], range[1]}));
  out["ranges"] = std::move(ranges);
  return out;
}

common::Json info_json(const mention::IndexInfo& info) {
  common::Json out = common::Json::object();
  out["root"] = info.root;
  out["indexing"] = info.indexing;
  out["count"] = info.count;
  out["revision"] = info.revision;
  out["truncated"] = info.truncated;
  return out;
}

common::Json reply_json(const mention::SearchReply& reply) {
  common::Json hits = common::Json::array();
  for (const auto& hit : reply.hits) hits.push_back(hit_json(hit));
  common::Json out = common::Json::object();
  out["hits"] = std::move(hits);
  out["indexing"] = reply.indexing;
  out["count"] = reply.count;
  out["revision"] = reply.revision;
  out["stale"] = reply.stale;
  return out;
}

// Runs one workspace command on the shared pool: resolves the root the page sent (which touches
// the disk, and the event loop must never wait for the disk), then runs `work` with it. A root
// that cannot be resolved answers with its message; a failure of the task itself answers
// `failed` followed by its text.
template <typename Work>
QCoro::Task<CommandResult> on_root(std::string root_text, std::string failed, Work work) {
  QFuture<CommandResult> running =
      QtConcurrent::run([root_text = std::move(root_text), failed = std::move(failed),
                         work = std::move(work)]() -> CommandResult {
        try {
          const Result<mention::Root> root = mention::resolve_root(root_text);
          if (!root.ok()) return root.error();
          return work(root.value());
        } catch (const std::exception& e) {
          return fail(failed + e.what());
        } catch (...) {
          return fail(failed + "unknown error");
        }
      });
  CommandResult result = co_await running;
  co_return result;
}

}  // namespace

mention::IndexLocation mention_index_location() {
  const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  if (!data.isEmpty() && QDir::isAbsolutePath(data)) {
    const QString folder = QDir(QDir(data).filePath(QString::fromUtf8(common::build::kAppId)))
                               .filePath("mention-index");
    return {folder.toStdString(), true};
  }
  return fallback_index_location(QDir::tempPath());
}

mention::IndexLocation fallback_index_location(const QString& temp_folder) {
  // Every user of the computer may write in the temporary folder: another one could make the
  // folder first and plant a link or an index of their own there. So the folder carries this
  // user's id and is used only when it is this user's own, as the settings fallback is; when
  // someone else holds that name, a new folder of this run serves instead.
  const QDir temp(temp_folder);
  const QString folder = temp.filePath(QStringLiteral("kavor-mention-%1").arg(::geteuid()));
  if (common::claim_private_folder(folder).ok()) return {folder.toStdString(), false};
  QByteArray fresh = QFile::encodeName(temp.filePath(QStringLiteral("kavor-mention-XXXXXX")));
  if (::mkdtemp(fresh.data()) != nullptr) return {fresh.toStdString(), false};
  // Nowhere private to keep it: the index lives in memory only.
  return {std::string(), false};
}

mention::EventSink mention_event_sink(common::Host& host, std::stop_token ended) {
  return [&host, ended](const std::string& root, std::uint64_t revision) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    common::Json payload = common::Json::object();
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

void install_mention_commands(CommandTable& table, Mentions& mentions) {
  using A = ArgType;
  using mention::Root;

  table.add("ws_index_open", {{"root", A::String}}, [&mentions](const common::Json& args) {
    return on_root(string_arg(args, "root"),
                   "Opening the index failed: ", [&mentions](const Root& root) -> CommandResult {
                     const auto info = mentions.open_info(root);
                     if (!info.ok()) return info.error();
                     return info_json(info.value());
                   });
  });

  table.add("ws_index_close", {{"root", A::String}},
            [&mentions](const common::Json& args) -> QCoro::Task<CommandResult> {
              QCoro::Task<CommandResult> closing =
                  on_root(string_arg(args, "root"), "", [&mentions](const Root& root) {
                    mentions.close(root);
                    return common::Json();
                  });
              co_await closing;
              // Closing never fails in the page's eyes.
              co_return common::Json();
            });

  table.add("ws_search", {{"root", A::String}, {"query", A::String}, {"limit", A::Number, true}},
            [&mentions](const common::Json& args) {
              std::optional<double> limit;
              if (const auto it = args.find("limit"); it != args.end() && it->is_number())
                limit = it->get<double>();
              return on_root(string_arg(args, "root"), "Search failed: ",
                             [&mentions, query = string_arg(args, "query"),
                              count = mention::clamp_limit(limit)](const Root& root) {
                               return reply_json(mentions.search(root, query, count));
                             });
            });

  table.add("ws_mention_picked", {{"root", A::String}, {"path", A::String}},
            [&mentions](const common::Json& args) {
              return on_root(
                  string_arg(args, "root"), "Saving the pick failed: ",
                  [&mentions, path = string_arg(args, "path")](const Root& root) -> CommandResult {
                    if (const auto picked = mentions.pick(root, path); !picked.ok())
                      return picked.error();
                    return common::Json();
                  });
            });
}

}  // namespace kavor::app
