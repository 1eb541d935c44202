#include "browser/launch.h"

#include <fcntl.h>
#include <unistd.h>

#include <QElapsedTimer>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "browser/display_text.h"
#include "browser/profile.h"
#include "browser/transport.h"
#include "browser/waiting.h"
#include "common/timing.h"
#include "common/utf8.h"
#include "exec/spawn.h"
#include "platform/text.h"
#include "walk/small_file.h"

namespace kavor::browser {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSandboxMessage =
    "The browser {path} cannot start its sandbox on this computer (Ubuntu and some other Linux "
    "systems block it for browsers that are not installed as a package). Install Google Chrome "
    "or Chromium from a package, or set KAVOR_AGENT_BROWSER_NO_SANDBOX=1 to run it without the "
    "sandbox.";

// The program names tried on PATH when KAVOR_AGENT_BROWSER is not set, best first.
constexpr const char* kPathCandidates[] = {
    "google-chrome-stable", "google-chrome",  "chromium",
    "chromium-browser",     "microsoft-edge", "brave-browser"};

// How often a browser that closed its pipe is looked at while it ends.
constexpr std::chrono::milliseconds kEndPoll{50};
// The part of the browser's error log searched for why it ended: what it says at its start.
constexpr std::uint64_t kErrorLogLimit = 1024 * 1024;

bool is_file(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

std::vector<fs::path> path_folders(const Environment& env) {
  std::vector<fs::path> folders;
  const std::string path = env("PATH").value_or("");
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = path.find(':', start);
    const std::string folder = path.substr(start, end == std::string::npos ? end : end - start);
    if (!folder.empty()) folders.emplace_back(folder);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return folders;
}

// `name` looked up on PATH, with ".exe" appended first, as Windows would; the first file found.
std::optional<std::string> on_path(const std::string& name, const Environment& env) {
  for (const fs::path& folder : path_folders(env)) {
    for (const std::string& candidate : {name + ".exe", name}) {
      const fs::path file = folder / candidate;
      if (is_file(file)) return file.string();
    }
  }
  return std::nullopt;
}

std::string replace_path(std::string text, const std::string& path) {
  text.replace(text.find("{path}"), 6, path);
  return text;
}

// The beginning of the browser's error log; empty when it cannot be read. The log is the
// agent's own file in the profile folder it made, whose path may pass through links.
std::string read_error_log(const std::string& path) {
  return walk::read_small_file(AT_FDCWD, path,
                               {kErrorLogLimit, walk::AtBound::Cut, walk::Links::Follow})
      .bytes;
}

}  // namespace

Environment process_environment() {
  return [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

Result<std::string> find_browser(const Environment& env) {
  const std::string chosen = trim(env("KAVOR_AGENT_BROWSER").value_or(""));
  if (!chosen.empty()) {
    if (is_file(chosen)) return chosen;
    if (std::optional<std::string> program = on_path(chosen, env)) {
      return *program;
    }
    return fail("KAVOR_AGENT_BROWSER is set to " + common::utf8_lossy(chosen) +
                ", but no browser program was found there.");
  }
#ifdef _WIN32
  for (const std::string& candidate : windows_browser_candidates(env)) {
    if (is_file(candidate)) return candidate;
  }
#else
  for (const char* name : kPathCandidates) {
    for (const fs::path& folder : path_folders(env)) {
      if (is_file(folder / name)) return (folder / name).string();
    }
  }
#endif
  return fail(
      "No Chrome-family browser was found on this computer. Install Google Chrome or "
      "Microsoft Edge, or set KAVOR_AGENT_BROWSER to the path of a Chrome, Chromium, "
      "Edge or Brave program.");
}

std::vector<std::string> windows_browser_candidates(const Environment& env) {
  static constexpr const char* kRelative[] = {
      "Google\\Chrome\\Application\\chrome.exe", "Chromium\\Application\\chrome.exe",
      "Microsoft\\Edge\\Application\\msedge.exe",
      "BraveSoftware\\Brave-Browser\\Application\\brave.exe"};
  std::vector<std::string> bases;
  for (const char* name : {"PROGRAMFILES", "PROGRAMFILES(X86)", "LOCALAPPDATA"}) {
    if (std::optional<std::string> base = env(name)) bases.push_back(*base);
  }
  std::vector<std::string> candidates;
  for (const char* relative : kRelative) {
    for (const std::string& base : bases) {
      const bool separated = !base.empty() && (base.back() == '\\' || base.back() == '/');
      candidates.push_back(base + (separated ? "" : "\\") + relative);
    }
  }
  return candidates;
}

std::vector<std::string> browser_arguments(const std::string& profile, const Environment& env) {
  std::vector<std::string> args = {
      "--headless=new",
      "--remote-debugging-pipe",
      "--no-first-run",
      "--no-default-browser-check",
      "--disable-extensions",
      "--hide-scrollbars",
      "--mute-audio",
      "--disable-crash-reporter",
      "--window-size=1280,800",
      "--user-data-dir=" + profile,
      "--crash-dumps-dir=" + (fs::path(profile) / "crashes").string(),
      // A throw-away profile that only the agent drives has no use for the browser's own
      // background work, which competes with the page for the processor while it starts:
      // fetching updates, experiments and sync, reaching the desktop's keyring for passwords
      // it never stores, services the agent never shows.
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-field-trial-config",
      "--disable-default-apps",
      "--disable-sync",
      "--no-service-autorun",
      "--password-store=basic",
      "--disable-breakpad",
      "--disable-client-side-phishing-detection",
      "--disable-features=Translate,OptimizationHints,MediaRouter,AutofillServerCommunication",
      // No page of its own at the start: the tool opens the one it drives, and a second page
      // would start a page process for nothing.
      "--no-startup-window",
  };
  // Only the exact value "1": a sandbox is not switched off by accident ("true", "yes", " 1").
  if (env("KAVOR_AGENT_BROWSER_NO_SANDBOX") == std::optional<std::string>("1")) {
    args.emplace_back("--no-sandbox");
  }
  return args;
}

QCoro::Task<Result<std::unique_ptr<BrowserInstance>>> launch(
    Environment env, Interrupt* interrupt, std::chrono::milliseconds start_limit) {
  Result<std::unique_ptr<BrowserInstance>> started = start_browser(env);
  if (!started.ok()) co_return std::move(started);
  std::unique_ptr<BrowserInstance> instance = std::move(started).value();
  QCoro::Task<Result<void>> preparing = prepare_browser(*instance, interrupt, start_limit);
  const Result<void> prepared = co_await preparing;
  if (!prepared.ok()) co_return prepared.error();
  co_return std::move(instance);
}

Result<std::unique_ptr<BrowserInstance>> start_browser(const Environment& env) {
  // 1. The program.
  const Result<std::string> program_or_message = find_browser(env);
  if (!program_or_message.ok()) return program_or_message.error();
  const std::string program = program_or_message.value();
  const std::string shown = common::utf8_lossy(program);

  // 2. The profile folder and the log of the browser's standard error.
  const Result<fs::path> made = make_profile_folder();
  if (!made.ok()) {
    return fail("Could not create a browser profile folder: " + common::utf8_lossy(made.message()));
  }
  const fs::path profile = made.value();
  const std::string log = (profile / "browser-errors.log").string();
  const int log_fd =
      ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);

  // 3. The process. The browser reads commands from the pipe at its 3 and writes to the one at
  // its 4; the agent keeps the other ends.
  int commands[2] = {-1, -1};
  int replies[2] = {-1, -1};
  const bool ready =
      null_fd >= 0 && ::pipe2(commands, O_CLOEXEC) == 0 && ::pipe2(replies, O_CLOEXEC) == 0;
  Result<std::unique_ptr<exec::Child>> started = fail(ready ? std::string() : errno_text(errno));
  if (ready) {
    exec::SpawnRequest request;
    request.process.program = program;
    request.process.args = browser_arguments(profile.string(), env);
    request.folder = profile;
    request.out_fd = null_fd;
    request.err_fd = log_fd >= 0 ? log_fd : null_fd;
    request.handed = {commands[0], replies[1]};
    request.reaper = false;
    started = exec::spawn(request);
  }
  for (const int fd : {log_fd, null_fd, commands[0], replies[1]}) {
    if (fd >= 0) ::close(fd);
  }
  if (!started.ok()) {
    for (const int fd : {commands[1], replies[0]}) {
      if (fd >= 0) ::close(fd);
    }
    remove_profile_later(profile.string());
    const std::string error = started.kind() == ErrorKind::NoProgram  ? "no such program"
                              : started.kind() == ErrorKind::NotFound ? "its profile folder is gone"
                                                                      : started.message();
    return fail("Could not start the browser " + shown + ": " + common::utf8_lossy(error));
  }
  auto instance =
      std::make_unique<BrowserInstance>(program, std::move(started).value(), profile.string());
  instance->adopt(
      std::make_unique<CdpConnection>(std::make_unique<PipeTransport>(commands[1], replies[0])));
  return instance;
}

QCoro::Task<Result<void>> prepare_browser(BrowserInstance& browser, Interrupt* interrupt,
                                          std::chrono::milliseconds start_limit) {
  const std::string shown = common::utf8_lossy(browser.program());
  const std::string log = (fs::path(browser.profile()) / "browser-errors.log").string();

  // 4. Downloads refused, as the first command: the browser is up once it answers.
  common::Json deny = common::Json::object();
  deny["behavior"] = "deny";
  QCoro::Task<CdpResult> denying =
      browser.call("Browser.setDownloadBehavior", std::move(deny), false, interrupt, start_limit);
  const CdpResult denied = co_await denying;
  if (!denied.ok()) {
    std::string message = denied.message();
    if (interrupt != nullptr && interrupt->fired()) {
      message = "The browser start was interrupted.";
    } else if (denied.kind() == ErrorKind::TimedOut) {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(start_limit);
      message = "The browser " + shown + " did not start within " +
                std::to_string(seconds.count()) + " seconds.";
    } else if (!browser.connected()) {
      // Closed without a word: most likely the browser ended. Give it a moment to be seen
      // ending, for the message that says why.
      QElapsedTimer waited;
      waited.start();
      while (browser.process_running() && waited.elapsed() < kEndGrace.count()) {
        QCoro::Task<bool> pausing = pause(kEndPoll, interrupt);
        if (!co_await pausing) break;
      }
      const std::string errors = read_error_log(log);
      message = errors.find("No usable sandbox") != std::string::npos
                    ? replace_path(kSandboxMessage, shown)
                : browser.process_running()
                    ? "Could not connect to the browser: it closed its DevTools pipe."
                    : "The browser " + shown + " stopped right after starting (" +
                          browser.exit_text() + ").";
    }
    browser.shutdown();
    co_return fail(message);
  }

  // 5. The page.
  QCoro::Task<Result<void>> preparing = browser.prepare_page(interrupt);
  Result<void> prepared = co_await preparing;
  if (!prepared.ok()) browser.shutdown();
  co_return prepared;
}

}  // namespace kavor::browser
