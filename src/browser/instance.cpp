#include "browser/instance.h"

#include <poll.h>
#include <signal.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <thread>

#include "browser/message_fields.h"
#include "browser/profile.h"
#include "tools/paths.h"

namespace kavor::browser {

namespace {

// How long the end of the program waits for a killed browser to be gone.
constexpr std::chrono::milliseconds kReapAtExit{2'000};

// Run in every new document of the page: links that would open another tab or window open in
// this page instead, so the tool never loses sight of where the user's click went.
constexpr const char* kSameTabScript = R"JS((() => {
  window.addEventListener('click', (event) => {
    const target = event.target;
    const link = target instanceof Element ? target.closest('a[target]') : null;
    if (link) link.removeAttribute('target');
  }, true);
  window.open = function (url) {
    if (url !== undefined && url !== null && String(url) !== '') location.assign(String(url));
    return null;
  };
})();)JS";

constexpr const char* kMobileUserAgent =
    "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/{major}.0.0.0 Mobile Safari/537.36";

// Waits, at most `limit`, for `process` to end; whether it has.
bool ended_within(exec::Child& process, std::chrono::milliseconds limit) {
  if (process.poll_exit()) return true;
  if (process.exit_fd() >= 0) {
    pollfd watch{process.exit_fd(), POLLIN, 0};
    ::poll(&watch, 1, static_cast<int>(limit.count()));
  } else {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!process.poll_exit() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return process.poll_exit().has_value();
}

// A killed browser not yet collected, and what tells the event loop when it has ended.
struct Ended {
  std::unique_ptr<exec::Child> process;
  std::unique_ptr<QSocketNotifier> notifier;
};

// Killed browsers not yet collected, for `reap_ended_browsers`.
std::vector<std::unique_ptr<Ended>>& ended_processes() {
  static std::vector<std::unique_ptr<Ended>> processes;
  return processes;
}

// Collects `process` once it has ended, without waiting for it here.
void collect_when_ended(std::unique_ptr<exec::Child> process) {
  if (process->poll_exit()) return;  // collected as it is dropped
  if (process->exit_fd() < 0 || QCoreApplication::instance() == nullptr) {
    exec::abandon(std::move(process));  // collected by a later start
    return;
  }
  // What is still waiting when the application ends is collected then, while Qt still runs.
  static const bool hooked = (qAddPostRoutine(reap_ended_browsers), true);
  static_cast<void>(hooked);
  auto ended = std::make_unique<Ended>();
  Ended* entry = ended.get();
  entry->notifier = std::make_unique<QSocketNotifier>(process->exit_fd(), QSocketNotifier::Read);
  entry->process = std::move(process);
  QObject::connect(entry->notifier.get(), &QSocketNotifier::activated, [entry] {
    entry->notifier->setEnabled(false);
    // Not from inside the notifier's own signal: on the next turn of the loop.
    QTimer::singleShot(0, [entry] {
      std::erase_if(ended_processes(), [entry](const std::unique_ptr<Ended>& e) {
        if (e.get() != entry) return false;
        e->process->poll_exit();
        return true;
      });
    });
  });
  ended_processes().push_back(std::move(ended));
}

}  // namespace

void reap_ended_browsers() {
  std::vector<std::unique_ptr<Ended>> processes = std::move(ended_processes());
  ended_processes().clear();
  for (std::unique_ptr<Ended>& ended : processes) {
    ended->notifier.reset();
    if (!ended_within(*ended->process, kReapAtExit)) exec::abandon(std::move(ended->process));
  }
}

BrowserInstance::BrowserInstance(std::string program, std::unique_ptr<exec::Child> process,
                                 std::string profile)
    : program_(std::move(program)),
      process_(std::move(process)),
      pid_(process_ ? process_->pid() : 0),
      profile_(std::move(profile)) {}

BrowserInstance::~BrowserInstance() {
  shutdown();
}

void BrowserInstance::adopt(std::unique_ptr<CdpConnection> connection) {
  connection_ = std::move(connection);
  connection_->set_event_handler([this](const CdpEvent& event) { handle_event(event); });
}

void BrowserInstance::handle_event(const CdpEvent& event) {
  // Only the page's own session feeds its state; the browser's and other targets' events
  // describe something else.
  if (session_.empty() || event.session != session_) return;
  if (event.method == "Inspector.targetCrashed") {
    page_crashed_ = true;
    connection_->fail_session(session_, kPageCrashed);
    return;
  }
  if (event.method == "Fetch.requestPaused") {
    answer_file_request(event.params);
    return;
  }
  std::optional<Answer> answer = page_.apply(event.method, event.params, Clock::now());
  // A dialog blocks the page until answered; the answer goes out without waiting, so this
  // handler never waits on the very messages it is handling.
  if (answer) connection_->send_only(answer->method, std::move(answer->params), session_);
}

void BrowserInstance::allow_local_files(std::vector<std::filesystem::path> folders,
                                        std::vector<std::filesystem::path> files) {
  std::lock_guard lock(local_mutex_);
  local_folders_ = std::move(folders);
  local_files_ = std::move(files);
}

void BrowserInstance::answer_file_request(const common::Json& params) {
  bool allowed = false;
  // A file: address names its file by the path alone: a query or a fragment leaves it the same
  // file. A host other than the computer's own names no file the browser would load here, and
  // read as a path it would name another one than the browser would.
  const QUrl url(QString::fromStdString(str(member(params, "request"), "url")));
  const QString host = url.host();
  if (url.isLocalFile() &&
      (host.isEmpty() || host.compare("localhost", Qt::CaseInsensitive) == 0)) {
    try {
      const tools::fs::path file =
          tools::canonical_prefix(tools::normalize(url.toLocalFile().toStdString()));
      std::lock_guard lock(local_mutex_);
      allowed = std::any_of(local_folders_.begin(), local_folders_.end(),
                            [&](const auto& folder) { return tools::path_within(file, folder); }) ||
                std::find(local_files_.begin(), local_files_.end(), file) != local_files_.end();
    } catch (const tools::PathError&) {
      // Too many links on the way: not judged, not loaded.
    }
  }
  common::Json answer = common::Json::object();
  answer["requestId"] = str(params, "requestId");
  if (!allowed) answer["errorReason"] = "BlockedByClient";
  connection_->send_only(allowed ? "Fetch.continueRequest" : "Fetch.failRequest", std::move(answer),
                         session_);
}

QCoro::Task<CdpResult> BrowserInstance::call(std::string method, common::Json params, bool for_page,
                                             Interrupt* interrupt,
                                             std::chrono::milliseconds limit) {
  if (!connection_) co_return fail(kConnectionClosed);
  if (for_page && page_crashed_) co_return fail(kPageCrashed);
  QCoro::Task<CdpResult> sending = connection_->call(
      std::move(method), std::move(params), for_page ? session_ : std::string(), interrupt, limit);
  CdpResult result = co_await sending;
  co_return result;
}

QCoro::Task<CdpResult> BrowserInstance::evaluate(std::string expression, bool repl_mode,
                                                 Interrupt* interrupt,
                                                 std::chrono::milliseconds limit) {
  common::Json params = common::Json::object();
  params["expression"] = std::move(expression);
  params["awaitPromise"] = true;
  params["returnByValue"] = true;
  params["userGesture"] = true;
  if (repl_mode) params["replMode"] = true;
  QCoro::Task<CdpResult> evaluating =
      call("Runtime.evaluate", std::move(params), true, interrupt, limit);
  CdpResult result = co_await evaluating;
  co_return result;
}

QCoro::Task<Result<void>> BrowserInstance::prepare_page(Interrupt* interrupt) {
  // 1-2. One page, attached in flat mode so its commands and events carry its session id.
  common::Json target_params = common::Json::object();
  target_params["url"] = "about:blank";
  QCoro::Task<CdpResult> creating =
      call("Target.createTarget", std::move(target_params), false, interrupt);
  const CdpResult created = co_await creating;
  if (!created.ok()) co_return created.error();
  target_id_ = str(created.value(), "targetId");
  common::Json attach_params = common::Json::object();
  attach_params["targetId"] = target_id_;
  attach_params["flatten"] = true;
  QCoro::Task<CdpResult> attaching =
      call("Target.attachToTarget", std::move(attach_params), false, interrupt);
  const CdpResult attached = co_await attaching;
  if (!attached.ok()) co_return attached.error();
  session_ = str(attached.value(), "sessionId");

  // 3. The main frame, which the page state follows.
  QCoro::Task<CdpResult> tree_call =
      call("Page.getFrameTree", common::Json::object(), true, interrupt);
  const CdpResult tree = co_await tree_call;
  if (!tree.ok()) co_return tree.error();
  const std::string main_frame = str(member(member(tree.value(), "frameTree"), "frame"), "id");
  if (main_frame.empty()) co_return fail("The browser did not open a page.");
  page_.reset(main_frame);

  // 4. The domains whose events feed the page state.
  for (const char* domain : {"Page.enable", "Runtime.enable", "Log.enable", "Network.enable"}) {
    QCoro::Task<CdpResult> enabling = call(domain, common::Json::object(), true, interrupt);
    const CdpResult enabled = co_await enabling;
    if (!enabled.ok()) co_return enabled.error();
  }

  // Requests for local files wait for the tool's answer (allow_local_files).
  common::Json fetch_params = common::Json::object();
  fetch_params["patterns"] = common::Json::array({common::Json{{"urlPattern", "file://*"}}});
  QCoro::Task<CdpResult> fetching = call("Fetch.enable", std::move(fetch_params), true, interrupt);
  const CdpResult fetch_enabled = co_await fetching;
  if (!fetch_enabled.ok()) co_return fetch_enabled.error();

  // 5. Every link stays in this page.
  common::Json script = common::Json::object();
  script["source"] = kSameTabScript;
  QCoro::Task<CdpResult> adding =
      call("Page.addScriptToEvaluateOnNewDocument", std::move(script), true, interrupt);
  const CdpResult added = co_await adding;
  if (!added.ok()) co_return added.error();

  // 6. The user agents: the desktop one without the headless mark, and the major version for
  // the phone's.
  QCoro::Task<CdpResult> version_call =
      call("Browser.getVersion", common::Json::object(), false, interrupt);
  const CdpResult version = co_await version_call;
  if (!version.ok()) co_return version.error();
  desktop_user_agent_ = str(version.value(), "userAgent");
  for (std::size_t at = desktop_user_agent_.find("HeadlessChrome"); at != std::string::npos;
       at = desktop_user_agent_.find("HeadlessChrome", at)) {
    desktop_user_agent_.replace(at, 14, "Chrome");
  }
  const std::string product = str(version.value(), "product");
  const std::size_t slash = product.find('/');
  if (slash != std::string::npos) {
    const std::string major = product.substr(slash + 1, product.find('.', slash + 1) - slash - 1);
    if (!major.empty()) major_version_ = major;
  }

  // 7. The starting viewport.
  QCoro::Task<Result<void>> sizing = apply_viewport(kDefaultWidth, kDefaultHeight, interrupt);
  Result<void> sized = co_await sizing;
  co_return sized;
}

QCoro::Task<Result<void>> BrowserInstance::apply_viewport(std::uint32_t width, std::uint32_t height,
                                                          Interrupt* interrupt) {
  const bool mobile = width < kMobileBelowWidth;
  common::Json metrics = common::Json::object();
  metrics["width"] = width;
  metrics["height"] = height;
  metrics["deviceScaleFactor"] = 1;
  metrics["mobile"] = mobile;
  QCoro::Task<CdpResult> sizing =
      call("Emulation.setDeviceMetricsOverride", std::move(metrics), true, interrupt);
  const CdpResult sized = co_await sizing;
  if (!sized.ok()) co_return sized.error();

  common::Json touch = common::Json::object();
  touch["enabled"] = mobile;
  if (mobile) touch["maxTouchPoints"] = 5;
  QCoro::Task<CdpResult> touching =
      call("Emulation.setTouchEmulationEnabled", std::move(touch), true, interrupt);
  const CdpResult touched = co_await touching;
  if (!touched.ok()) co_return touched.error();

  std::string agent = desktop_user_agent_;
  if (mobile) {
    agent = kMobileUserAgent;
    agent.replace(agent.find("{major}"), 7, major_version_);
  }
  if (!agent.empty()) {
    common::Json agent_params = common::Json::object();
    agent_params["userAgent"] = agent;
    QCoro::Task<CdpResult> setting =
        call("Emulation.setUserAgentOverride", std::move(agent_params), true, interrupt);
    const CdpResult set = co_await setting;
    if (!set.ok()) co_return set.error();
  }
  width_ = width;
  height_ = height;
  co_return Result<void>();
}

bool BrowserInstance::process_running() const {
  return process_ && !process_->poll_exit();
}

std::string BrowserInstance::exit_text() const {
  if (!process_) return {};
  const std::optional<int> code = process_->poll_exit();
  if (!code) return "still running";
  if (process_->signalled()) return "ended by a signal";
  return "exit code " + std::to_string(*code);
}

bool BrowserInstance::connected() const {
  return connection_ && !connection_->closed();
}

bool BrowserInstance::alive() const {
  return process_running() && connected() && !page_crashed_;
}

std::string BrowserInstance::end_reason() const {
  return page_crashed_ ? kPageCrashed : kConnectionClosed;
}

std::shared_future<bool> BrowserInstance::shutdown(bool reap_now) {
  if (removal_) return *removal_;
  // The connection goes first, so every caller still waiting hears that it closed.
  connection_.reset();
  if (process_) {
    // The browser leads a process group of its own: one signal ends it and every helper
    // process it started. Its id cannot pass to another process meanwhile: it is collected
    // only once it has ended.
    if (pid_ > 0) ::kill(static_cast<pid_t>(-pid_), SIGKILL);
    std::unique_ptr<exec::Child> process = std::move(process_);
    if (reap_now && !ended_within(*process, kReapAtExit)) {
      exec::abandon(std::move(process));
    } else {
      collect_when_ended(std::move(process));
    }
  }
  removal_ = remove_profile_later(profile_);
  return *removal_;
}

}  // namespace kavor::browser
