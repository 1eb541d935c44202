#include "browser/launch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "browser/text.h"
#include "browser/transport.h"
#include "browser/waiting.h"
#include "common/timing.h"
#include "common/utf8.h"

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

std::atomic<unsigned> g_launches{0};

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

std::string read_small_file(const std::string& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text(limit, '\0');
  in.read(text.data(), static_cast<std::streamsize>(limit));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

// Creates the profile folder, readable by its owner only from the first moment. A folder of
// that name left by an earlier process with the same id is ours to clear; anything else in the
// way (another user's folder, a link) is refused rather than used, since the browser would keep
// its cookies and its debugging port file there.
std::optional<std::string> make_profile_folder(const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder.parent_path(), error);
  if (error) return error.message();
  if (::mkdir(folder.c_str(), 0700) == 0) return std::nullopt;
  if (errno != EEXIST) return std::strerror(errno);
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
    return folder.string() + " already exists and is not a folder of this user";
  }
  fs::remove_all(folder, error);
  if (error) return error.message();
  if (::mkdir(folder.c_str(), 0700) != 0) return std::strerror(errno);
  return std::nullopt;
}

}  // namespace

Environment process_environment() {
  return [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

std::variant<std::string, std::string> find_browser(const Environment& env) {
  using Result = std::variant<std::string, std::string>;
  const std::string chosen = trim(env("KAVOR_AGENT_BROWSER").value_or(""));
  if (!chosen.empty()) {
    if (is_file(chosen)) return Result(std::in_place_index<0>, chosen);
    if (std::optional<std::string> program = on_path(chosen, env)) {
      return Result(std::in_place_index<0>, *program);
    }
    return Result(std::in_place_index<1>, "KAVOR_AGENT_BROWSER is set to " + utf8_lossy(chosen) +
                                              ", but no browser program was found there.");
  }
#ifdef _WIN32
  for (const std::string& candidate : windows_browser_candidates(env)) {
    if (is_file(candidate)) return Result(std::in_place_index<0>, candidate);
  }
#else
  for (const char* name : kPathCandidates) {
    for (const fs::path& folder : path_folders(env)) {
      if (is_file(folder / name)) return Result(std::in_place_index<0>, (folder / name).string());
    }
  }
#endif
  return Result(std::in_place_index<1>,
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
      "--remote-debugging-port=0",
      "--no-first-run",
      "--no-default-browser-check",
      "--disable-extensions",
      "--hide-scrollbars",
      "--mute-audio",
      "--disable-crash-reporter",
      "--window-size=1280,800",
      "--user-data-dir=" + profile,
      "--crash-dumps-dir=" + (fs::path(profile) / "crashes").string(),
  };
  // Only the exact value "1": a sandbox is not switched off by accident ("true", "yes", " 1").
  if (env("KAVOR_AGENT_BROWSER_NO_SANDBOX") == std::optional<std::string>("1")) {
    args.emplace_back("--no-sandbox");
  }
  args.emplace_back("about:blank");
  return args;
}

std::optional<std::string> endpoint_from_port_file(const std::string& text) {
  const std::size_t newline = text.find('\n');
  if (newline == std::string::npos) return std::nullopt;
  const std::string port_text = trim(text.substr(0, newline));
  const std::size_t second_end = text.find('\n', newline + 1);
  const std::string path = trim(text.substr(
      newline + 1, second_end == std::string::npos ? std::string::npos : second_end - newline - 1));
  if (port_text.empty() || port_text.size() > 5) return std::nullopt;
  unsigned port = 0;
  for (const char c : port_text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  if (port == 0 || port > 65535) return std::nullopt;
  if (path.size() < 10 || path.compare(0, 10, "/devtools/") != 0) return std::nullopt;
  // The path goes into a URL whose host we fix; characters that could end the path (a query,
  // a fragment, spaces, a user name) are not something a browser writes there.
  for (const char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '/' || c == '-' || c == '_' || c == '.';
    if (!plain) return std::nullopt;
  }
  return "ws://127.0.0.1:" + std::to_string(port) + path;
}

std::shared_future<bool> remove_profile_later(std::string folder) {
  auto done = std::make_shared<std::promise<bool>>();
  std::shared_future<bool> future = done->get_future().share();
  if (folder.empty()) {
    done->set_value(true);
    return future;
  }
  std::thread([folder = std::move(folder), done] {
    bool gone = false;
    for (int attempt = 0; attempt < kRemovalAttempts && !gone; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(timing::scaled(kRemovalPause));
      std::error_code error;
      fs::remove_all(folder, error);
      gone = !fs::exists(fs::symlink_status(folder, error));
    }
    done->set_value(gone);
  }).detach();
  return future;
}

QCoro::Task<std::variant<std::unique_ptr<BrowserInstance>, std::string>> launch(
    Environment env, Interrupt* interrupt) {
  using Result = std::variant<std::unique_ptr<BrowserInstance>, std::string>;

  // 1. The program.
  const std::variant<std::string, std::string> program_or_message = find_browser(env);
  if (!found(program_or_message)) co_return Result(std::get<1>(program_or_message));
  const std::string program = std::get<0>(program_or_message);
  const std::string shown = utf8_lossy(program);

  // 2. The profile folder and the log of the browser's standard error.
  const unsigned counter = ++g_launches;
  const fs::path profile =
      fs::path(QDir::tempPath().toStdString()) /
      ("kavor-agent-browser-" + std::to_string(::getpid()) + "-" + std::to_string(counter));
  if (std::optional<std::string> error = make_profile_folder(profile)) {
    co_return Result("Could not create a browser profile folder: " + utf8_lossy(*error));
  }
  const std::string log = (profile / "browser-errors.log").string();
  const std::string port_file = (profile / "DevToolsActivePort").string();

  // 3. The process, leader of a process group of its own so that closing ends all of it.
  auto process = std::make_unique<QProcess>();
  process->setProgram(QString::fromStdString(program));
  QStringList arguments;
  for (const std::string& argument : browser_arguments(profile.string(), env)) {
    arguments << QString::fromStdString(argument);
  }
  process->setArguments(arguments);
  process->setStandardInputFile(QProcess::nullDevice());
  process->setStandardOutputFile(QProcess::nullDevice());
  {
    QFile probe(QString::fromStdString(log));
    const bool writable = probe.open(QIODevice::WriteOnly | QIODevice::Truncate);
    probe.close();
    process->setStandardErrorFile(writable ? QString::fromStdString(log) : QProcess::nullDevice());
  }
  process->setChildProcessModifier([] { ::setsid(); });
  process->start();
  if (process->state() == QProcess::NotRunning) {
    const std::string error = process->errorString().toStdString();
    remove_profile_later(profile.string());
    co_return Result("Could not start the browser " + shown + ": " + error);
  }
  auto instance = std::make_unique<BrowserInstance>(program, std::move(process), profile.string());

  // 4. The DevTools endpoint, once the browser has written it.
  QElapsedTimer since_start;
  since_start.start();
  std::optional<std::string> endpoint;
  while (!endpoint) {
    endpoint = endpoint_from_port_file(read_small_file(port_file, 4096));
    if (endpoint) break;
    if (!instance->process_running()) {
      const std::string errors = read_small_file(log, 1 << 20);
      const std::string message =
          errors.find("No usable sandbox") != std::string::npos
              ? replace_path(kSandboxMessage, shown)
          : instance->failed_to_start()
              ? "Could not start the browser " + shown + ": " + instance->process_error()
              : "The browser " + shown + " stopped right after starting (" + instance->exit_text() +
                    ").";
      instance->shutdown();
      co_return Result(message);
    }
    if (since_start.elapsed() >= timing::scaled(kPortFileLimit).count()) {
      instance->shutdown();
      co_return Result("The browser " + shown + " did not start within 20 seconds.");
    }
    const bool waited = co_await pause(kPortFilePoll, interrupt);
    if (!waited) {
      instance->shutdown();
      co_return Result("The browser start was interrupted.");
    }
  }

  // 5. The WebSocket.
  auto transport = std::make_unique<WebSocketTransport>();
  QCoro::Task<std::optional<std::string>> opening =
      transport->open(QUrl(QString::fromStdString(*endpoint)), interrupt);
  const std::optional<std::string> open_error = co_await opening;
  if (open_error) {
    instance->shutdown();
    co_return Result(*open_error);
  }
  instance->adopt(std::make_unique<CdpConnection>(std::move(transport)));

  // 6. The page.
  QCoro::Task<std::optional<std::string>> preparing = instance->prepare_page(interrupt);
  const std::optional<std::string> prepare_error = co_await preparing;
  if (prepare_error) {
    instance->shutdown();
    co_return Result(*prepare_error);
  }
  co_return Result(std::move(instance));
}

}  // namespace kavor::browser
