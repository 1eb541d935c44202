// What a command call starts: the program, its arguments and the syntax of the text it runs.
// These are plain functions of their inputs. The Windows forms are built on every system so
// they stay tested; the forms of this system are the ones `this_platform()` selects.
//
// Shells by the name the call gives:
//   Windows   "bash", "sh"    bash.exe -lc {command}                              (bash)
//             "cmd"           cmd.exe /D /S /C "chcp 65001>nul & {command}"       (batch)
//             anything else   powershell.exe -NoLogo -NoProfile -NonInteractive
//                             -ExecutionPolicy Bypass -Command
//                             "[Console]::OutputEncoding=[Text.Encoding]::UTF8; {command}"
//   Linux     "", "bash", "sh"  bash -lc {command}                                (bash)
//             "cmd"           the same cmd.exe form, which fails to start as not installed
//             anything else   pwsh with the powershell arguments                 (powershell)
// cmd takes its command line as written (its own quoting differs from every other program's),
// so that form carries it as raw text appended to the command line rather than as arguments.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavor::exec {

namespace fs = std::filesystem;

enum class Platform { Windows, Linux };

constexpr Platform this_platform() {
#ifdef _WIN32
  return Platform::Windows;
#else
  return Platform::Linux;
#endif
}

// Time-outs the assistant may ask for, in seconds; 0 means the shortest.
inline constexpr std::uint64_t kDefaultTimeoutSeconds = 120;
inline constexpr std::uint64_t kMaxTimeoutSeconds = 1800;

// The time-out of a call: the default when absent, otherwise clamped to 1..1800 seconds.
std::chrono::seconds clamp_timeout(std::optional<std::uint64_t> seconds);

struct ProcessDescription {
  std::string program;            // a name looked up on PATH, or a path
  std::vector<std::string> args;  // each passed as one argument
  std::string raw;                // cmd only: appended to the Windows command line verbatim
  std::string lang;               // "bash", "batch" or "powershell": the syntax of the text
};

// The process that runs `command` in the shell named `shell` (matched exactly).
ProcessDescription shell_process(Platform platform, const std::string& shell,
                                 const std::string& command);

// wsl.exe -l -v: the installed distributions.
ProcessDescription wsl_listing_process();

// wsl.exe [-d {distro}] --cd {folder} -e bash -lc {command}.
ProcessDescription wsl_process(const std::string& distro, const std::string& folder,
                               const std::string& command);

// docker with the arguments as given.
ProcessDescription docker_process(std::vector<std::string> args);

// `arg` as a POSIX shell reads it back: as is when made only of ASCII letters, digits and
// -_./:=@,+ (and not empty), otherwise in single quotes with each ' written as '\''.
std::string posix_quote(std::string_view arg);

// "docker" and the arguments, each quoted as above, separated by single spaces.
std::string docker_command_text(const std::vector<std::string>& args);

// The command line a Windows process receives for `process`: the program in double quotes, each
// argument quoted when it is empty or holds a blank or a double quote (backslashes before a
// quote doubled, as the C runtime reads them back), then the raw text; all separated by spaces.
std::string windows_command_line(const ProcessDescription& process);

// taskkill's arguments for ending the process `pid` and everything it started.
std::vector<std::string> taskkill_args(std::uint64_t pid);

}  // namespace kavor::exec
