#include "tools/command_tools.h"

#include <algorithm>

#include <QString>

#include "common/host.h"
#include "common/utf8.h"
#include "exec/command_line.h"
#include "exec/runner.h"
#include "exec/test_command.h"
#include "exec/wsl_listing.h"
#include "platform/text.h"
#include "tools/args.h"
#include "tools/command_scope.h"
#include "tools/paths.h"

namespace kavor::tools {

namespace {

constexpr const char* kListingText = "wsl -l -v";

// Arguments reach the program as C strings, which end at the first NUL byte: what ran would
// be less than what the user approved.
Result<void> check_no_nul(const common::Json& args, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (string_arg(args, key).find('\0') != std::string::npos) {
      return fail(std::string(key) + " contains a NUL character, which no program can receive.");
    }
  }
  return {};
}

std::string shown(const fs::path& path) {
  return common::utf8_lossy(path.string());
}

// Whether a command can run in `folder`; the refusal when not.
Result<void> check_folder(const fs::path& folder) {
  std::error_code error;
  const auto status = fs::status(folder, error);
  if (!fs::exists(status)) return fail("The folder " + shown(folder) + " does not exist.");
  if (!fs::is_directory(status)) return fail(shown(folder) + " is not a folder.");
  return {};
}

QCoro::Task<ToolResult> run_streaming(exec::CommandRun run, RunContext context,
                                      exec::RunOptions options) {
  common::Host* host = context.host;
  std::string call_id = context.call_id;
  exec::OutputSink sink = [host, call_id](std::string chunk) {
    if (host == nullptr) return;
    common::Json event = common::Json::object();
    event["call_id"] = call_id;
    event["chunk"] = std::move(chunk);
    host->emit_event(QStringLiteral("agent://output"), event);
  };
  QCoro::Task<exec::RunOutcome> running =
      exec::run_command(std::move(run), context.stop, std::move(sink), std::move(options));
  exec::RunOutcome outcome = co_await running;
  co_return outcome.ok() ? text_result(std::move(outcome).value()) : outcome.error();
}

// Why a command's working folder is outside the scope, for the user.
std::string folder_reason(const fs::path& folder) {
  return "The folder '" + shown(folder) + "' is outside the workspace.";
}

// Marks a command call outside, with the reason, when its folder or its text leaves the scope.
void mark_outside(Decoded& decoded, const fs::path& folder, const Scope& scope,
                  const std::string& text) {
  if (!scope.contains(folder)) {
    decoded.outside = true;
    decoded.reason = folder_reason(folder);
  } else if (const auto reason = command_reaches_outside(text, folder, scope)) {
    decoded.outside = true;
    decoded.reason = reason->sentence;
  }
}

// A command call: `text` is what the user approves and what the scope check reads; `sent` says
// whether the assistant wrote it (a detected test command was read from the folder instead).
// With a fence, a run nobody approved keeps its writes to the scope's folders.
Decoded command_call(exec::ProcessDescription process, const std::string& text,
                     const fs::path& folder, const common::Json& args, const Scope& scope,
                     const FencePtr& fence, bool sent = true) {
  Decoded decoded;
  decoded.kind = ToolKind::Exec;
  decoded.summary = command_summary(text);
  decoded.detail = text;
  if (sent) decoded.sent_detail = text;
  decoded.lang = process.lang;
  mark_outside(decoded, folder, scope, text);
  decoded.cwd = common::utf8_lossy(display_path(folder, scope.root));
  exec::CommandRun run{std::move(process), folder, exec::clamp_timeout(int_arg(args, "timeout"))};
  std::vector<fs::path> writable{scope.root};
  for (const fs::path& extra : scope.extras) {
    if (std::find(scope.linked_out.begin(), scope.linked_out.end(), extra) ==
        scope.linked_out.end()) {
      writable.push_back(extra);
    }
  }
  decoded.run_async = [run = std::move(run), fence, writable](RunContext context) {
    exec::RunOptions options;
    if (context.fence && fence && fence->available()) {
      options.fence = fence;
      options.writable = writable;
    }
    return run_streaming(run, std::move(context), std::move(options));
  };
  return decoded;
}

fs::path working_folder(const common::Json& args, const Scope& scope) {
  return resolve_path(string_arg(args, "cwd"), scope.root);
}

// A call whose decoding failed on what it found in a working folder outside the scope. Whether
// that folder exists, or what it holds, is not the assistant's to learn before the user lets
// the call run: the failure waits behind the approval like the command would.
Decoded failing_outside(const std::string& message, const std::string& text, const fs::path& folder,
                        const Scope& scope) {
  Decoded decoded;
  decoded.kind = ToolKind::Exec;
  decoded.summary = command_summary(text);
  decoded.detail = text;
  decoded.sent_detail = text;
  decoded.lang = "bash";
  decoded.outside = true;
  decoded.reason = folder_reason(folder);
  decoded.cwd = common::utf8_lossy(display_path(folder, scope.root));
  decoded.run = [message](const common::StopFlag&) -> ToolResult { return fail(message); };
  return decoded;
}

}  // namespace

Decoder shell_tool(FencePtr fence) {
  return [fence](const common::Json& args, const Scope& scope) -> Result<Decoded> {
    const std::string command = string_arg(args, "command");
    if (blank(command)) return fail("command is empty.");
    if (const Result<void> plain = check_no_nul(args, {"command", "cwd"}); !plain.ok())
      return plain.error();
    const fs::path folder = working_folder(args, scope);
    if (const Result<void> usable = check_folder(folder); !usable.ok()) {
      if (scope.contains(folder)) return usable.error();
      return failing_outside(usable.message(), command, folder, scope);
    }
    return command_call(
        exec::shell_process(exec::this_platform(), string_arg(args, "shell"), command), command,
        folder, args, scope, fence);
  };
}

Decoder run_tests_tool(FencePtr fence) {
  return [fence](const common::Json& args, const Scope& scope) -> Result<Decoded> {
    if (const Result<void> plain = check_no_nul(args, {"command", "cwd"}); !plain.ok())
      return plain.error();
    const fs::path folder = working_folder(args, scope);
    std::string command = string_arg(args, "command");
    const bool sent = !blank(command);
    if (const Result<void> usable = check_folder(folder); !usable.ok()) {
      if (scope.contains(folder)) return usable.error();
      return failing_outside(usable.message(), command, folder, scope);
    }
    if (!sent) {
      auto detected = exec::detect_test_command(folder);
      if (!detected) {
        const std::string message = "No test runner found in " +
                                    common::utf8_lossy(display_path(folder, scope.root)) +
                                    "; pass command.";
        if (scope.contains(folder)) return fail(message);
        return failing_outside(message, command, folder, scope);
      }
      command = std::move(*detected);
    }
    return command_call(
        exec::shell_process(exec::this_platform(), string_arg(args, "shell"), command), command,
        folder, args, scope, fence, sent);
  };
}

Decoder wsl_tool() {
  return [](const common::Json& args, const Scope& scope) -> Result<Decoded> {
    if (const Result<void> plain = check_no_nul(args, {"command", "distro", "cwd"}); !plain.ok())
      return plain.error();
    const std::string command = string_arg(args, "command");
    const fs::path folder = working_folder(args, scope);
    if (!blank(command)) {
      // Never fenced: the command runs in a virtual machine the fence does not reach.
      Decoded decoded =
          command_call(exec::wsl_process(string_arg(args, "distro"), folder.string(), command),
                       command, folder, args, scope, nullptr);
      decoded.unfenced = true;
      return decoded;
    }
    Decoded decoded;
    decoded.kind = ToolKind::Read;
    decoded.summary = kListingText;
    decoded.detail = kListingText;
    decoded.lang = "bash";
    decoded.outside = !scope.contains(folder);
    if (decoded.outside) decoded.reason = folder_reason(folder);
    decoded.cwd = common::utf8_lossy(display_path(folder, scope.root));
    // The listing does not depend on a folder; the workspace is one that exists.
    decoded.run = [root = scope.root](const common::StopFlag& stop) {
      const exec::RunOutcome outcome = exec::list_wsl_distributions(root, *stop);
      return outcome.ok() ? text_result(outcome.value()) : outcome.error();
    };
    return decoded;
  };
}

Decoder docker_tool() {
  return [](const common::Json& args, const Scope& scope) -> Result<Decoded> {
    std::vector<std::string> list;
    const common::Json& given = common::json::member(args, "args");
    if (given.is_array()) {
      for (const common::Json& item : given) {
        if (item.is_string()) list.push_back(item.get<std::string>());
      }
    }
    if (list.empty()) return fail("args is empty; pass the docker arguments as a list.");
    for (const std::string& arg : list) {
      if (arg.find('\0') != std::string::npos) {
        return fail("args contains a NUL character, which no program can receive.");
      }
    }
    if (const Result<void> plain = check_no_nul(args, {"cwd"}); !plain.ok()) return plain.error();
    const std::string text = exec::docker_command_text(list);
    // Never fenced: the work happens in the docker daemon, outside this process's tree.
    Decoded decoded = command_call(exec::docker_process(std::move(list)), text,
                                   working_folder(args, scope), args, scope, nullptr);
    decoded.unfenced = true;
    return decoded;
  };
}

void install_command_tools(ToolTable& table, FencePtr fence) {
  table.add("shell", shell_tool(fence));
  table.add("run_tests", run_tests_tool(fence));
  table.add("wsl", wsl_tool());
  table.add("docker", docker_tool());
}

}  // namespace kavor::tools
