#include "app/mcp_main.h"

#include <QCoreApplication>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "app/agent.h"
#include "browser/tool_spec.h"
#include "common/build_config.h"
#include "mcp/event_relay.h"
#include "mcp/server.h"
#include "mcp/stdio.h"
#include "platform/end_signals.h"
#include "tools/paths.h"
#include "tools/tool_spec.h"

namespace kavor {

namespace {

constexpr const char* kUsage =
    "usage: kavor-agent mcp [--workspace DIR]... [--mode ask|auto|readonly|everything]\n"
    "                       [--http 127.0.0.1:PORT [--secret-file PATH]]\n";

// The specs of every tool the agent installs.
std::vector<tools::ToolSpec> all_tool_specs() {
  std::vector<tools::ToolSpec> specs = tools::core_tool_specs();
  specs.push_back(browser::browser_tool_spec());
  return specs;
}

}  // namespace

Result<McpOptions> parse_mcp_arguments(const std::vector<std::string>& words) {
  McpOptions options;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    const bool has_value = i + 1 < words.size();
    if (word == "--workspace" || word == "--mode" || word == "--http" || word == "--secret-file") {
      if (!has_value) return fail(word + " needs a value.");
    }
    if (word == "--workspace") {
      const Result<tools::fs::path> folder = tools::resolve_workspace(words[++i]);
      if (!folder.ok()) return folder.error_value();
      if (options.workspaces.size() == 2) {
        return fail("At most two workspace folders: the workspace and one extra folder.");
      }
      options.workspaces.push_back(folder.value().string());
    } else if (word == "--mode") {
      const std::optional<tools::Mode> mode = tools::parse_mode(words[++i]);
      if (!mode)
        return fail("The mode " + words[i] + " is none of ask, auto, readonly, everything.");
      options.mode = *mode;
    } else if (word == "--http") {
      options.http = words[++i];
    } else if (word == "--secret-file") {
      options.secret_file = words[++i];
    } else {
      return fail("Unknown argument " + word + ".");
    }
  }
  if (!options.secret_file.empty() && !options.http) return fail("--secret-file needs --http.");
  return options;
}

int mcp_main(int argc, char** argv) {
  std::vector<std::string> words;
  for (int i = 2; i < argc; ++i) words.emplace_back(argv[i]);
  Result<McpOptions> parsed = parse_mcp_arguments(words);
  if (!parsed.ok()) {
    std::fprintf(stderr, "kavor-agent mcp: %s\n%s", parsed.error().c_str(), kUsage);
    return 2;
  }
  const McpOptions options = std::move(parsed).value();

  // 1. Standard output for the protocol alone.
  const int protocol_out = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (protocol_out < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    std::fputs("kavor-agent mcp: standard output cannot be set aside for the protocol\n", stderr);
    return 1;
  }
  // A client that is gone makes a write fail instead of ending the program on the spot.
  std::signal(SIGPIPE, SIG_IGN);

  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QString::fromUtf8(build::kProgramName));

  mcp::EventRelay relay;
  Agent agent(AgentOptions{}, relay);
  agent.state().approvals.set_mode(mcp::kChat, options.mode);
  const std::vector<tools::ToolSpec> specs = all_tool_specs();
  const mcp::ServerContext context{agent.tools(),
                                   specs,
                                   agent.state().approvals,
                                   agent.state().running_chats,
                                   relay,
                                   agent.notifications(),
                                   agent.tool_pool(),
                                   agent.stop_token()};
  const mcp::ServerOptions server_options{options.workspaces, options.mode};

  // 3. The end, whatever brings it.
  bool ending = false;
  std::unique_ptr<mcp::Server> server;
  const auto end = [&] {
    if (ending) return;
    ending = true;
    if (server) server->close();
    if (!server || server->live_calls() == 0) {
      QCoreApplication::quit();
      return;
    }
    QObject::connect(server.get(), &mcp::Server::calls_ended, &app, &QCoreApplication::quit);
    QTimer::singleShot(kEndGrace, &app, &QCoreApplication::quit);
  };
  platform::EndSignals end_signals([&end](int) { end(); });

  mcp::LineReader reader(STDIN_FILENO);
  server = std::make_unique<mcp::Server>(
      context, server_options, [protocol_out, &app, &end](const Json& message, const Json&) {
        if (!mcp::write_all(protocol_out, mcp::serialize(message) + "\n")) {
          // The client is gone; ended from the event loop, not from inside a send.
          QMetaObject::invokeMethod(&app, end, Qt::QueuedConnection);
        }
      });
  QObject::connect(&reader, &mcp::LineReader::line, server.get(),
                   [&server](const QByteArray& line) {
                     server->receive_line(std::string_view(line.constData(), line.size()));
                   });
  QObject::connect(&reader, &mcp::LineReader::oversized, server.get(),
                   [&server] { server->receive_oversized(); });
  QObject::connect(&reader, &mcp::LineReader::closed, &app, end);
  reader.start();

  const int code = QCoreApplication::exec();
  server.reset();
  ::close(protocol_out);
  return code;
}

}  // namespace kavor
