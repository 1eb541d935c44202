#include "app/mcp_main.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "app/agent.h"
#include "browser/tool_shape.h"
#include "common/build_config.h"
#include "common/json_read.h"
#include "mcp/event_relay.h"
#include "mcp/http.h"
#include "mcp/server.h"
#include "mcp/stdio.h"
#include "platform/end_signals.h"
#include "platform/session_file.h"
#include "tools/paths.h"
#include "tools/tool_shape.h"

namespace kavor::app {

namespace {

constexpr const char* kUsage =
    "usage: kavor-agent mcp [--workspace DIR]... [--mode ask|auto|readonly|everything]\n"
    "                       [--http 127.0.0.1:PORT [--secret-file PATH]]\n";

// The shapes of every tool the agent installs.
std::vector<tools::ToolShape> all_tool_shapes() {
  std::vector<tools::ToolShape> shapes = tools::core_tool_shapes();
  shapes.push_back(browser::browser_tool_shape());
  return shapes;
}

// The secret of the HTTP transport: read from its file, or made and written there (readable by
// the user alone) when the file does not exist yet.
Result<std::string> http_secret(const std::string& file) {
  Result<std::string> read = platform::read_session_secret(file);
  if (read.ok() || read.error().kind() != ErrorKind::NotFound) return read;
  std::string secret = platform::new_session_secret();
  if (Result<void> written = platform::write_session_secret(file, secret); !written.ok()) {
    return written.error();
  }
  return secret;
}

// 2. The HTTP transport in place of standard input and output.
int serve_http(const McpOptions& options, const mcp::ServerContext& context,
               const mcp::ServerOptions& server_options) {
  const auto address = mcp::parse_http_address(*options.http);
  if (!address.ok()) {
    std::fprintf(stderr, "kavor-agent mcp: %s\n", address.message().c_str());
    return 2;
  }
  const std::string file =
      options.secret_file.empty()
          ? (std::filesystem::path(platform::default_session_file()).parent_path() / "mcp-secret")
                .string()
          : options.secret_file;
  const Result<std::string> secret = http_secret(file);
  if (!secret.ok()) {
    std::fprintf(stderr, "kavor-agent mcp: the secret file %s: %s\n", file.c_str(),
                 secret.message().c_str());
    return 1;
  }
  mcp::HttpTransport http(
      [&context, &server_options](mcp::Server::Send send) {
        return std::make_unique<mcp::Server>(context, server_options, std::move(send));
      },
      secret.value());
  const auto& [host, port] = address.value();
  if (const Result<void> listening = http.listen(host, port); !listening.ok()) {
    std::fprintf(stderr, "kavor-agent mcp: %s\n", listening.message().c_str());
    return 1;
  }
  const std::string shown = host == "::1" ? "[::1]" : host;
  std::fprintf(stderr, "kavor-agent mcp: listening on http://%s:%u/mcp; the secret is in %s\n",
               shown.c_str(), http.port(), file.c_str());
  // 3. A signal ends it: the sessions' calls are stopped and given kEndGrace to end.
  QElapsedTimer ending;
  QTimer grace;
  platform::EndSignals end_signals([&](int) {
    ending.start();
    grace.start(std::chrono::milliseconds(50));
  });
  QObject::connect(&grace, &QTimer::timeout, [&] {
    if (http.close_all() == 0 || ending.hasExpired(kEndGrace.count())) QCoreApplication::quit();
  });
  return QCoreApplication::exec();
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
      // A client's configuration may name the folder relative to where it starts the server.
      std::error_code ignored;
      const tools::fs::path given = tools::fs::absolute(words[++i], ignored);
      const Result<tools::fs::path> folder = tools::resolve_workspace(given.string());
      if (!folder.ok()) return folder.error();
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
    std::fprintf(stderr, "kavor-agent mcp: %s\n%s", parsed.message().c_str(), kUsage);
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
  QCoreApplication::setApplicationName(QString::fromUtf8(common::build::kProgramName));

  mcp::EventRelay relay;
  Agent agent(AgentOptions{}, relay);
  agent.state().approvals.set_mode(mcp::kChat, options.mode);
  const std::vector<tools::ToolShape> shapes = all_tool_shapes();
  const mcp::ServerContext context{agent.tools(),
                                   shapes,
                                   agent.state().approvals,
                                   agent.state().running_chats,
                                   relay,
                                   agent.notifications(),
                                   agent.tool_pool(),
                                   agent.stop_token()};
  const mcp::ServerOptions server_options{options.workspaces, options.mode};

  if (options.http) return serve_http(options, context, server_options);

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
  auto writer = std::make_unique<mcp::LineWriter>(protocol_out);
  server = std::make_unique<mcp::Server>(
      context, server_options, [&writer](const common::Json& message, const common::Json&) {
        const bool progress = common::json::text(message, "method") == "notifications/progress";
        writer->write(mcp::serialize(message) + "\n", progress);
      });
  // The client is gone.
  QObject::connect(writer.get(), &mcp::LineWriter::gone, &app, end);
  // A client that sends requests without reading the answers is read no further meanwhile.
  QObject::connect(writer.get(), &mcp::LineWriter::over, &reader,
                   [&reader] { reader.pause(true); });
  // The writer's state now, not when it drained: answers may have filled it again since.
  QObject::connect(writer.get(), &mcp::LineWriter::drained, &reader,
                   [&reader, &writer] { reader.pause(writer->backed_up()); });
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
  // What was answered before the end still reaches a client that reads, if slowly.
  writer->flush(kFlushWait);
  writer.reset();  // its thread is joined before the descriptor it writes to is closed
  ::close(protocol_out);
  return code;
}

}  // namespace kavor::app
