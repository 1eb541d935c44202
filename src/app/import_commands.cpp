#include "app/import_commands.h"

#include "common/host.h"
#include "importer/upload.h"

namespace kavor::app {

void install_import_commands(CommandTable& table, const CommandContext& context) {
  common::Host& host = context.host;
  const common::Endpoints endpoints = context.endpoints;
  const std::stop_token shutdown = context.shutdown;
  table.add("chatgpt_import", {{"path", ArgType::String}, {"token", ArgType::String}},
            [&host, endpoints, shutdown](const common::Json& args) -> QCoro::Task<CommandResult> {
              const QString path = QString::fromStdString(args["path"].get<std::string>());
              const QString token = QString::fromStdString(args["token"].get<std::string>());
              QCoro::Task<importer::ImportResult> importing =
                  importer::run_import(endpoints, host, path, token, {}, shutdown);
              co_return co_await importing;
            });
}

}  // namespace kavor::app
