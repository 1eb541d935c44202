#include "exec/command_line.h"

#include <algorithm>

namespace kavor::exec {

namespace {

constexpr std::string_view kPosixSafe = "-_./:=@,+";

bool posix_safe(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         kPosixSafe.find(c) != std::string_view::npos;
}

// One argument as the C runtime's command-line parser reads it back.
void append_windows_arg(std::string_view arg, bool always_quote, std::string& out) {
  const bool quote =
      always_quote || arg.empty() || arg.find_first_of(" \t\"") != std::string_view::npos;
  if (!quote) {
    out.append(arg);
    return;
  }
  out.push_back('"');
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a quote follows them: then each one must be doubled,
    // and the quote itself escaped.
    if (c == '"')
      out.append(backslashes * 2 + 1, '\\');
    else
      out.append(backslashes, '\\');
    backslashes = 0;
    out.push_back(c);
  }
  // The closing quote follows: the trailing backslashes are doubled for the same reason.
  out.append(backslashes * 2, '\\');
  out.push_back('"');
}

ProcessDescription powershell(std::string program, const std::string& command) {
  return {std::move(program),
          {"-NoLogo", "-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-Command",
           "[Console]::OutputEncoding=[Text.Encoding]::UTF8; " + command},
          {},
          "powershell"};
}

}  // namespace

std::chrono::seconds clamp_timeout(std::optional<std::uint64_t> seconds) {
  const std::uint64_t value =
      std::clamp<std::uint64_t>(seconds.value_or(kDefaultTimeoutSeconds), 1, kMaxTimeoutSeconds);
  return std::chrono::seconds(static_cast<std::chrono::seconds::rep>(value));
}

ProcessDescription shell_process(Platform platform, const std::string& shell,
                                 const std::string& command) {
  const bool windows = platform == Platform::Windows;
  if (shell == "bash" || shell == "sh" || (!windows && shell.empty())) {
    return {windows ? "bash.exe" : "bash", {"-lc", command}, {}, "bash"};
  }
  if (shell == "cmd") {
    // chcp switches the console to UTF-8 so the output decodes like every other program's.
    return {"cmd.exe", {}, "/D /S /C \"chcp 65001>nul & " + command + "\"", "batch"};
  }
  return powershell(windows ? "powershell.exe" : "pwsh", command);
}

ProcessDescription wsl_listing_process() {
  return {"wsl.exe", {"-l", "-v"}, {}, "bash"};
}

ProcessDescription wsl_process(const std::string& distro, const std::string& folder,
                               const std::string& command) {
  ProcessDescription process{"wsl.exe", {}, {}, "bash"};
  if (!distro.empty()) process.args = {"-d", distro};
  for (const std::string& arg : {std::string("--cd"), folder, std::string("-e"),
                                 std::string("bash"), std::string("-lc"), command}) {
    process.args.push_back(arg);
  }
  return process;
}

ProcessDescription docker_process(std::vector<std::string> args) {
  return {"docker", std::move(args), {}, "bash"};
}

std::string posix_quote(std::string_view arg) {
  if (!arg.empty() && std::all_of(arg.begin(), arg.end(), posix_safe)) return std::string(arg);
  std::string out = "'";
  for (const char c : arg) {
    if (c == '\'')
      out += "'\\''";
    else
      out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

std::string docker_command_text(const std::vector<std::string>& args) {
  std::string out = "docker";
  for (const std::string& arg : args) {
    out.push_back(' ');
    out += posix_quote(arg);
  }
  return out;
}

std::string windows_command_line(const ProcessDescription& process) {
  std::string out;
  // The program is always quoted, so a path with blanks cannot be read as a shorter program.
  append_windows_arg(process.program, true, out);
  for (const std::string& arg : process.args) {
    out.push_back(' ');
    append_windows_arg(arg, false, out);
  }
  if (!process.raw.empty()) {
    out.push_back(' ');
    out += process.raw;
  }
  return out;
}

std::vector<std::string> taskkill_args(std::uint64_t pid) {
  return {"/PID", std::to_string(pid), "/T", "/F"};
}

}  // namespace kavor::exec
