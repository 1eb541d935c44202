// Starting the real browser and what its page reports; start failures with small programs that
// stand in for a browser; the registry's turns, stops, reaper and dead browsers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "browser/launch.h"
#include "browser/page_ops.h"
#include "browser/registry.h"
#include "browser_support.h"
#include "common/timing.h"
#include "support/other_user.h"
#include "support/temp_tree.h"

namespace kavor::browser {
namespace launch_test {
namespace {

namespace fs = std::filesystem;
using test::html;
using test::text_of;

using Launched = Result<std::unique_ptr<BrowserInstance>>;

// A profile is removed on a thread of its own, after the browser was killed: file system work
// of its own (up to twenty tries) that a busy disk can stretch well past the usual ten seconds.
constexpr std::chrono::seconds kRemovalWait{60};

using kavor::test::read_file;

// The live processes of the session `leader` started: the browser and its helpers.
std::vector<pid_t> session_members(pid_t leader) {
  std::vector<pid_t> members;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string stat = read_file(entry.path() / "stat");
    std::istringstream fields(stat.substr(std::min(stat.size(), stat.rfind(')') + 2)));
    std::string state;
    long parent = 0, group = 0, session = 0;
    if (fields >> state >> parent >> group >> session && session == leader && state != "Z")
      members.push_back(std::stoi(entry.path().filename().string()));
  }
  return members;
}

// What each descriptor of `pid` refers to: "pipe:[inode]", "socket:[inode]", a path.
std::map<int, std::string> descriptors(pid_t pid) {
  std::map<int, std::string> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    found[std::stoi(entry.path().filename().string())] = fs::read_symlink(entry.path(), error);
  }
  return found;
}

// The listening TCP sockets of this machine, as "socket:[inode]".
std::set<std::string> listening_sockets() {
  std::set<std::string> found;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream lines(read_file(table));
    std::string field[10];
    for (std::string line; std::getline(lines, line);) {
      std::istringstream fields(line);
      for (std::string& f : field) fields >> f;
      if (field[3] == "0A") found.insert("socket:[" + field[9] + "]");
    }
  }
  return found;
}

common::Json value_of(BrowserInstance& browser, const std::string& expression) {
  const Evaluated e = kavor::test::run(evaluate_script(browser, expression, false, nullptr));
  EXPECT_EQ(e.kind, Evaluated::Kind::Value) << expression << ": " << e.message;
  return e.value.value("value", common::Json());
}

class RealBrowser : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = new service::TestService();
    service_->set_default("GET", "/favicon.ico", service::Reply::text(204, ""));
    service_->set_default("GET", "/held", service::Reply::held());
    Launched launched = kavor::test::run(launch(process_environment(), nullptr));
    ASSERT_TRUE(launched.ok()) << launched.message();
    browser_ = std::move(launched).value().release();
  }
  static void TearDownTestSuite() {
    delete browser_;
    service_->release_held();
    delete service_;
  }
  void open(const std::string& path) {
    const CdpResult r = kavor::test::run(
        browser_->call("Page.navigate", {{"url", service_->base_url() + path}}, true, nullptr));
    ASSERT_TRUE(r.ok()) << r.message();
    kavor::test::run(wait_for_load(*browser_, std::chrono::seconds(10), nullptr));
    kavor::test::run(settle_quiet(*browser_, std::chrono::seconds(3), nullptr));
  }

  static service::TestService* service_;
  static BrowserInstance* browser_;
};

service::TestService* RealBrowser::service_ = nullptr;
BrowserInstance* RealBrowser::browser_ = nullptr;

TEST_F(RealBrowser, LaunchesPrivatelyWithNoListenerNorDescriptorOfTheAgent) {
  // A socket some library of the agent left without close-on-exec (the webview's own DevTools
  // port was one).
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);

  Launched second_or_error = kavor::test::run(launch(process_environment(), nullptr));
  ASSERT_TRUE(second_or_error.ok()) << second_or_error.message();
  std::unique_ptr<BrowserInstance> second = std::move(second_or_error).value();
  const pid_t pid = static_cast<pid_t>(second->pid());
  const std::string prefix = "kavor-agent-browser-" + std::to_string(::getpid()) + "-";
  const std::string first_name = fs::path(browser_->profile()).filename().string();
  const std::string second_name = fs::path(second->profile()).filename().string();
  EXPECT_EQ(first_name.rfind(prefix, 0), 0u);
  EXPECT_EQ(second_name.rfind(prefix, 0), 0u);
  EXPECT_NE(first_name, second_name);

  struct stat info {};
  ASSERT_EQ(::stat(second->profile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  const std::string log = (fs::path(second->profile()) / "browser-errors.log").string();
  EXPECT_TRUE(fs::exists(log));
  const std::string command_line = read_file("/proc/" + std::to_string(pid) + "/cmdline");
  EXPECT_NE(command_line.find(std::string("--user-data-dir=") + second->profile()),
            std::string::npos);
  EXPECT_EQ(command_line.find("remote-debugging-port"), std::string::npos);
  EXPECT_EQ(command_line.find("remote-allow-origins"), std::string::npos);

  // The browser talks over the pipe pair at 3 and 4, whose other ends the agent holds; its
  // standard input and output are empty, its standard error is the log.
  std::set<std::string> agent_objects;
  for (const auto& [fd, target] : descriptors(::getpid())) agent_objects.insert(target);
  std::map<int, std::string> main_fds = descriptors(pid);
  EXPECT_EQ(main_fds[0], "/dev/null");
  EXPECT_EQ(main_fds[1], "/dev/null");
  EXPECT_EQ(main_fds[2], log);
  EXPECT_TRUE(main_fds[3].starts_with("pipe:") && agent_objects.count(main_fds[3])) << main_fds[3];
  EXPECT_TRUE(main_fds[4].starts_with("pipe:") && agent_objects.count(main_fds[4])) << main_fds[4];
  // No process of the browser listens on a port, nor holds another pipe or socket of the agent.
  const std::set<std::string> listening = listening_sockets();
  const std::vector<pid_t> members = session_members(pid);
  EXPECT_GE(members.size(), 2u);
  for (const pid_t member : members) {
    for (const auto& [fd, target] : descriptors(member)) {
      const bool shared = (target.starts_with("pipe:") || target.starts_with("socket:")) &&
                          agent_objects.count(target) != 0;
      EXPECT_FALSE(listening.count(target) != 0 || (shared && (member != pid || fd > 4)))
          << member << " holds " << fd << ": " << target;
    }
  }
  ::close(listener);

  const std::string profile = second->profile();
  std::shared_future<bool> removed = second->shutdown();
  EXPECT_TRUE(removed.get());
  EXPECT_FALSE(fs::exists(profile));
  EXPECT_TRUE(kavor::test::wait_until([&] { return ::kill(-pid, 0) != 0; }));
}

TEST_F(RealBrowser, ConsoleRepeatsDialogsAndFailedRequestsReachThePageState) {
  open("/favicon.ico");
  browser_->page().take_console();
  browser_->page().take_problems();
  value_of(*browser_, "for (let i = 0; i < 50; ++i) console.warn('same warning'); 1");
  // The alert would block the page until answered; the evaluation returns all the same.
  EXPECT_EQ(value_of(*browser_, "alert('x'); 'after'"), "after");
  EXPECT_EQ(value_of(*browser_, "prompt('name?', 'Ada')"), "Ada");
  const std::vector<ConsoleEntry> console = browser_->page().take_console().entries;
  ASSERT_EQ(console.size(), 3u);
  EXPECT_EQ(console[0].level, "warn");
  EXPECT_EQ(console[0].text.rfind("same warning", 0), 0u);
  EXPECT_EQ(console[0].count, 50u);
  EXPECT_EQ(console[1], (ConsoleEntry{"info", "alert dialog \"x\" was accepted", 1}));
  EXPECT_EQ(console[2], (ConsoleEntry{"info", "prompt dialog \"name?\" was accepted", 1}));
  const std::vector<ConsoleEntry> problems = browser_->page().take_problems().entries;
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].count, 50u);

  service_->set_default("GET", "/broken", html("<img src='/missing.png' alt='m'>"));
  open("/broken");
  const std::vector<ConsoleEntry> after = browser_->page().take_problems().entries;
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after[0].level, "failed");
  EXPECT_EQ(after[0].text, "404 GET " + service_->base_url() + "/missing.png");

  // A request the page itself cancels is logged as a request, not as a problem.
  browser_->page().take_console();
  browser_->page().take_network();
  value_of(*browser_,
           "(async () => { const c = new AbortController(); const f = fetch('/held', {signal: "
           "c.signal}).catch(() => 'aborted'); await new Promise((r) => setTimeout(r, 200)); "
           "c.abort(); return await f; })()");
  kavor::test::run(settle_quiet(*browser_, std::chrono::seconds(2), nullptr));
  bool logged = false;
  for (const NetworkEntry& entry : browser_->page().take_network().entries) {
    if (entry.url.find("/held") != std::string::npos) logged = logged || entry.error.has_value();
  }
  EXPECT_TRUE(logged);
  for (const ConsoleEntry& entry : browser_->page().take_console().entries) {
    EXPECT_EQ(entry.text.find("/held"), std::string::npos) << entry.text;
  }
}

TEST_F(RealBrowser, BelowFiveHundredOnePixelsThePageIsAPhone) {
  open("/favicon.ico");
  const std::string look =
      "[navigator.userAgent, navigator.maxTouchPoints, screen.width, innerWidth, "
      "matchMedia('(pointer: "
      "coarse)').matches]";
  ASSERT_TRUE(kavor::test::run(browser_->apply_viewport(500, 700, nullptr)).ok());
  common::Json phone = value_of(*browser_, look);
  EXPECT_NE(phone[0].get<std::string>().find("(Linux; Android 14; Pixel 8)"), std::string::npos);
  EXPECT_NE(phone[0].get<std::string>().find(" Mobile Safari/537.36"), std::string::npos);
  EXPECT_EQ(phone[1], 5);
  EXPECT_EQ(phone[2], 500);
  ASSERT_TRUE(kavor::test::run(browser_->apply_viewport(501, 700, nullptr)).ok());
  common::Json desktop = value_of(*browser_, look);
  EXPECT_EQ(desktop[0].get<std::string>().find("Pixel 8"), std::string::npos);
  EXPECT_EQ(desktop[0].get<std::string>().find("HeadlessChrome"), std::string::npos);
  EXPECT_NE(desktop[0].get<std::string>().find("Chrome/"), std::string::npos);
  EXPECT_EQ(desktop[1], 0);
  EXPECT_EQ(desktop[3], 501);
  ASSERT_TRUE(kavor::test::run(browser_->apply_viewport(1280, 800, nullptr)).ok());
}

// Killed outright (SIGKILL, a crash), the agent runs no code of its own: the browser it started
// ends all the same, helpers and all.
TEST(BrowserLifetime, ABrowserEndsWithTheAgentKilledOutright) {
  QProcess agent;
  agent.start(KAVOR_LAUNCH_HELPER, {});
  ASSERT_TRUE(
      kavor::test::wait_until([&] { return agent.canReadLine(); }, std::chrono::seconds(40)))
      << agent.readAllStandardError().toStdString();
  std::istringstream line(agent.readLine().toStdString());
  long long pid = 0;
  std::string profile;
  line >> pid >> profile;
  ASSERT_GT(pid, 0);
  const pid_t browser = static_cast<pid_t>(pid);
  EXPECT_GE(session_members(browser).size(), 2u);

  ::kill(static_cast<pid_t>(agent.processId()), SIGKILL);
  ASSERT_TRUE(agent.waitForFinished(10'000));
  EXPECT_TRUE(kavor::test::wait_until([&] { return session_members(browser).empty(); },
                                      std::chrono::seconds(15)));
  // Whatever this test found, nothing of it is left running; the dead agent could not remove
  // its profile folder.
  ::kill(-browser, SIGKILL);
  kavor::test::wait_until([&] { return session_members(browser).empty(); });
  if (profile.find("kavor-agent-browser-") != std::string::npos) fs::remove_all(profile);
}

// Files under `folder` (its own entries only, unless `deep`) named like the attachment below.
std::vector<std::string> attachments_in(const fs::path& folder, bool deep) {
  std::vector<std::string> found;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!deep) it.disable_recursion_pending();
    const std::string name = it->path().filename().string();
    if (name.find("autostart") != std::string::npos || name.ends_with(".crdownload"))
      found.push_back(it->path().string());
  }
  return found;
}

// A page may offer a file as an attachment, by its answer or by a link it clicks itself; in any
// mode of the chat, the browser keeps none of it, wherever a download would go.
TEST(BrowserDownloads, AnAttachmentAPageOffersLeavesNoFileAnywhere) {
  service::TestService service;
  service::Reply attachment =
      service::Reply::text(200, "[Desktop Entry]\nExec=true\n", "application/octet-stream");
  attachment.headers.emplace("Content-Disposition",
                             "attachment; filename=\"../../autostart.desktop\"");
  service.set_default("GET", "/attachment", attachment);
  service.set_default("GET", "/favicon.ico", service::Reply::text(204, ""));
  service.set_default("GET", "/offer",
                      html("<title>Offer</title><a id='get' href='/attachment?link' "
                           "download='../.autostart.desktop'>get</a>"
                           "<script>document.getElementById('get').click()</script>"));
  // The browser's Downloads folder is in a home of the test's own.
  const QTemporaryDir home;
  const QTemporaryDir workspace;
  const QByteArray real_home = qgetenv("HOME");
  qputenv("HOME", home.path().toUtf8());
  struct Restore {
    QByteArray home;
    ~Restore() { qputenv("HOME", home); }
  } restore{real_home};
  BrowserRegistry registry;

  // The page starts a download as it loads; what the open says of it does not matter here.
  static_cast<void>(test::call(registry,
                               {{"action", "open"}, {"url", service.base_url() + "/attachment"}},
                               workspace.path().toStdString()));
  ASSERT_TRUE(service.wait_for_requests("GET", "/attachment", 1, std::chrono::seconds(10)));
  const tools::ToolResult offered =
      test::call(registry, {{"action", "open"}, {"url", service.base_url() + "/offer"}},
                 workspace.path().toStdString());
  EXPECT_NE(text_of(offered).find("\"Offer\""), std::string::npos) << text_of(offered);
  BrowserInstance* browser = registry.browser_of("chat-1", "");
  ASSERT_NE(browser, nullptr);
  const std::string profile = browser->profile();
  const auto anywhere = [&] {
    std::vector<std::string> found;
    for (const auto& [folder, deep] : {std::pair{fs::path(home.path().toStdString()), true},
                                       {fs::path(profile), true},
                                       {fs::path(workspace.path().toStdString()), true},
                                       {fs::current_path(), false},
                                       {fs::temp_directory_path(), false}}) {
      for (std::string& file : attachments_in(folder, deep)) found.push_back(std::move(file));
    }
    return found;
  };
  // Given the time a download takes on this machine, nothing shows up.
  kavor::test::wait_until([&] { return !anywhere().empty(); }, std::chrono::seconds(3));
  EXPECT_EQ(anywhere(), std::vector<std::string>{});
  for (const std::string& file : anywhere()) fs::remove(file);
}

// Small programs that stand in for a browser that fails to start.
class StartFailures : public ::testing::Test {
 protected:
  std::string program(const std::string& name, const std::string& body) {
    const fs::path file = fs::path(dir_.path().toStdString()) / name;
    std::ofstream(file) << "#!/bin/sh\n" << body;
    fs::permissions(file, fs::perms::owner_all);
    return file.string();
  }
  std::string start(const std::string& path, std::chrono::milliseconds limit = kStartLimit) {
    Environment env = [path](const std::string& name) -> std::optional<std::string> {
      if (name == "KAVOR_AGENT_BROWSER") return path;
      return std::nullopt;
    };
    Launched launched = kavor::test::run(launch(env, nullptr, limit));
    return launched.ok() ? "(started)" : launched.message();
  }
  QTemporaryDir dir_;
};

TEST_F(StartFailures, EachFailureHasItsMessageAndLeavesNoProfile) {
  // The profile folders of this process; those of browsers closed before this test may still
  // be going away as it starts.
  const auto profiles = [] {
    std::set<std::string> names;
    const std::string prefix = "kavor-agent-browser-" + std::to_string(::getpid()) + "-";
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(prefix, 0) == 0) names.insert(name);
    }
    return names;
  };
  const std::set<std::string> before = profiles();
  const std::string quits = program("quits", "exit 3\n");
  EXPECT_EQ(start(quits), "The browser " + quits + " stopped right after starting (exit code 3).");
  const std::string sandboxed = program(
      "sandboxed", "echo 'FATAL:zygote_host_impl_linux.cc(128)] No usable sandbox!' >&2\nexit 1\n");
  EXPECT_EQ(start(sandboxed),
            "The browser " + sandboxed +
                " cannot start its sandbox on this computer (Ubuntu and some other Linux systems "
                "block it for browsers that are not installed as a package). Install Google Chrome "
                "or Chromium from a package, or set KAVOR_AGENT_BROWSER_NO_SANDBOX=1 to run it "
                "without the sandbox.");
  const std::string not_runnable = (fs::path(dir_.path().toStdString()) / "plain.txt").string();
  std::ofstream(not_runnable) << "text";
  EXPECT_EQ(start(not_runnable).rfind("Could not start the browser " + not_runnable + ": ", 0), 0u);

  // A program that holds its pipe but never answers: the wait runs out. The program waits 20
  // seconds; this test, 2.
  EXPECT_EQ(kStartLimit, std::chrono::seconds(20));
  const std::string silent = program("silent", "exec sleep 29.5\n");
  QElapsedTimer timer;
  timer.start();
  EXPECT_EQ(start(silent, std::chrono::seconds(2)),
            "The browser " + silent + " did not start within 2 seconds.");
  EXPECT_GE(timer.elapsed(), 1900);
  // One that closes its pipe and goes on running.
  const std::string deaf = program("deaf", "exec 3<&- 4>&-\nexec sleep 29.5\n");
  EXPECT_EQ(start(deaf), "Could not connect to the browser: it closed its DevTools pipe.");
  EXPECT_TRUE(kavor::test::wait_until(
      [&] {
        const std::set<std::string> now = profiles();
        return std::includes(before.begin(), before.end(), now.begin(), now.end());
      },
      kRemovalWait));
  // The stand-ins that slept were ended with their process group.
  EXPECT_TRUE(kavor::test::wait_until(
      [] { return std::system("pgrep -f '^sleep 29.5$' >/dev/null") != 0; }));
}

// The profile's name starts with the agent's process id, which every user can see: another user
// who makes folders of the coming names first must not keep the browser from starting.
TEST_F(StartFailures, FoldersAnotherUserMadeUnderTheProfilesNamesAreSteppedAround) {
  const kavor::test::OtherUser other;
  if (!other.problem().empty()) GTEST_SKIP() << other.problem();
  const std::string names =
      QDir::tempPath().toStdString() + "/kavor-agent-browser-" + std::to_string(::getpid()) + "-";
  ASSERT_EQ(std::system((other.run_as() + "sh -c 'for n in $(seq 1 300); do mkdir " + names +
                         "$n; done' 2>/dev/null")
                            .c_str()),
            0);
  const std::string quits = program("quits", "exit 3\n");
  const std::string message = start(quits);
  for (int n = 1; n <= 300; ++n) ::rmdir((names + std::to_string(n)).c_str());
  EXPECT_EQ(message, "The browser " + quits + " stopped right after starting (exit code 3).");
}

class RegistryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = new service::TestService();
    service_->set_default("GET", "/favicon.ico", service::Reply::text(204, ""));
    service_->set_default("GET", "/page", html("<title>Page</title><p>text</p>"));
    // Each time the page is searched for #never it asks for /asked: the sign that a wait for
    // #never is under way.
    service_->set_default("GET", "/watched", html(R"(<title>Watched</title><p>text</p><script>
      const find = Document.prototype.querySelector;
      Document.prototype.querySelector = function (selector) {
        if (selector === '#never') fetch('/asked', {cache: 'no-store'});
        return find.call(this, selector);
      };
    </script>)"));
  }
  static void TearDownTestSuite() { delete service_; }
  QCoro::Task<tools::ToolResult> start(const common::Json& args, tools::StopFlag stop,
                                       const std::string& chat = "chat-r") {
    auto decoded = decode_browser_args(args, "/");
    return registry_.run(decoded.value().args, chat, std::move(stop));
  }
  static tools::StopFlag flag() { return std::make_shared<std::atomic<bool>>(false); }
  // Returns once a wait for #never has searched the page more often than `before` times.
  static bool searched_after(std::size_t before) {
    return kavor::test::wait_until(
        [&] { return service_->requests("GET", "/asked").size() > before; },
        std::chrono::seconds(30));
  }
  static std::size_t searched() { return service_->requests("GET", "/asked").size(); }

  static service::TestService* service_;
  BrowserRegistry registry_;
};
service::TestService* RegistryTest::service_ = nullptr;

TEST_F(RegistryTest, CallsOfOneChatTakeTurnsAndTheStopEndsAnyStep) {
  // A stop before the browser exists ends the launch; nothing is left running.
  tools::StopFlag early = flag();
  QCoro::Task<tools::ToolResult> starting = start({{"action", "screenshot"}}, early);
  early->store(true);
  EXPECT_EQ(text_of(kavor::test::run(std::move(starting))), "FAILED: [stopped by the user]");

  ASSERT_TRUE(kavor::test::run(
                  start({{"action", "open"}, {"url", service_->base_url() + "/watched"}}, flag()))
                  .ok());
  BrowserInstance* browser = registry_.browser_of("chat-r", "");
  ASSERT_NE(browser, nullptr);

  // A long wait holds the page; a second call waits its turn, a third is stopped while waiting.
  QElapsedTimer timer;
  timer.start();
  QCoro::Task<tools::ToolResult> waiting =
      start({{"action", "wait"}, {"selector", "#never"}, {"wait_ms", 1500}}, flag());
  QCoro::Task<tools::ToolResult> queued = start({{"action", "eval"}, {"script", "1 + 1"}}, flag());
  tools::StopFlag third = flag();
  QCoro::Task<tools::ToolResult> stopped = start({{"action", "text"}}, third);
  third->store(true);
  EXPECT_EQ(text_of(kavor::test::run(std::move(stopped))), "FAILED: [stopped by the user]");
  EXPECT_LT(timer.elapsed(), 3000);
  // The reaper skips a slot in use, however old its last use.
  EXPECT_EQ(registry_.reap_idle(Clock::now() + std::chrono::hours(1)), 0u);
  const tools::ToolResult waited = kavor::test::run(std::move(waiting));
  const tools::ToolResult evaluated = kavor::test::run(std::move(queued));
  EXPECT_NE(text_of(waited).find("Still not there after"), std::string::npos);
  EXPECT_NE(text_of(evaluated).find("Result:\n2"), std::string::npos);
  EXPECT_GE(timer.elapsed(), 1500);

  // A stop in the middle of an action leaves the browser in place.
  tools::StopFlag middle = flag();
  const std::size_t before = searched();
  QCoro::Task<tools::ToolResult> long_wait =
      start({{"action", "wait"}, {"selector", "#never"}, {"wait_ms", 20000}}, middle);
  ASSERT_TRUE(searched_after(before));
  middle->store(true);
  timer.restart();
  EXPECT_EQ(text_of(kavor::test::run(std::move(long_wait))), "FAILED: [stopped by the user]");
  EXPECT_LT(timer.elapsed(), 3000);
  EXPECT_EQ(registry_.browser_of("chat-r", ""), browser);
  EXPECT_TRUE(kavor::test::run(start({{"action", "text"}}, flag())).ok());

  // Idle for ten minutes: the reaper closes it. Nothing of it stays, not even the folder the
  // browser keeps its own socket in, outside the profile, which a browser that is killed
  // cannot remove itself.
  const std::string profile = browser->profile();
  std::error_code no_link;
  const fs::path socket_folder =
      fs::read_symlink(fs::path(profile) / "SingletonSocket", no_link).parent_path();
  EXPECT_EQ(registry_.reap_idle(Clock::now() + std::chrono::seconds(500)), 0u);
  EXPECT_EQ(registry_.reap_idle(Clock::now() + std::chrono::seconds(600)), 1u);
  EXPECT_EQ(registry_.browser_of("chat-r", ""), nullptr);
  EXPECT_TRUE(kavor::test::wait_until(
      [&] { return !fs::exists(profile) && (socket_folder.empty() || !fs::exists(socket_folder)); },
      kRemovalWait));
}

// Killed outright, or only in its page's process (a crash, the system out of memory), where the
// browser runs on but the page never answers again: the call in the middle ends, and the next
// call starts afresh.
TEST_F(RegistryTest, ABrowserOrItsPageKilledInTheMiddleOfACallIsReplacedByTheNextCall) {
  const auto page_processes = [](pid_t browser) {
    std::vector<pid_t> found;
    for (const pid_t member : session_members(browser)) {
      if (read_file("/proc/" + std::to_string(member) + "/cmdline").find("--type=renderer") !=
          std::string::npos)
        found.push_back(member);
    }
    return found;
  };
  for (const bool whole : {false, true}) {
    SCOPED_TRACE(whole ? "the browser killed" : "its page's process killed");
    ASSERT_TRUE(kavor::test::run(
                    start({{"action", "open"}, {"url", service_->base_url() + "/watched"}}, flag()))
                    .ok());
    BrowserInstance* browser = registry_.browser_of("chat-r", "");
    ASSERT_NE(browser, nullptr);
    const pid_t pid = static_cast<pid_t>(browser->pid());
    const std::size_t before = searched();
    QCoro::Task<tools::ToolResult> waiting =
        start({{"action", "wait"}, {"selector", "#never"}, {"wait_ms", 10000}}, flag());
    ASSERT_TRUE(searched_after(before));
    if (whole) {
      ::kill(-pid, SIGKILL);
    } else {
      const std::vector<pid_t> page = page_processes(pid);
      ASSERT_FALSE(page.empty());
      for (const pid_t process : page) ::kill(process, SIGKILL);
    }
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(text_of(kavor::test::run(std::move(waiting))),
              std::string("FAILED: ") + (whole ? kConnectionClosed : kPageCrashed));
    EXPECT_LT(timer.elapsed(), 3000);
    const tools::ToolResult next = kavor::test::run(start({{"action", "screenshot"}}, flag()));
    ASSERT_TRUE(next.ok()) << next.message();
    EXPECT_EQ(next.value().output.substr(0, next.value().output.find('\n')), "about:blank \"\"");
    ASSERT_NE(registry_.browser_of("chat-r", ""), nullptr);
    EXPECT_NE(registry_.browser_of("chat-r", "")->pid(), pid);
  }
}

TEST_F(RegistryTest, CloseWaitsForTheRunningCallAndTheCallAfterItStartsAfresh) {
  ASSERT_TRUE(kavor::test::run(
                  start({{"action", "open"}, {"url", service_->base_url() + "/watched"}}, flag()))
                  .ok());
  const std::int64_t first = registry_.browser_of("chat-r", "")->pid();
  QCoro::Task<tools::ToolResult> waiting =
      start({{"action", "wait"}, {"selector", "#never"}, {"wait_ms", 1000}}, flag());
  QCoro::Task<tools::ToolResult> closing = start({{"action", "close"}}, flag());
  QCoro::Task<tools::ToolResult> after = start({{"action", "screenshot"}}, flag());
  EXPECT_NE(text_of(kavor::test::run(std::move(waiting))).find("Still not there"),
            std::string::npos);
  EXPECT_EQ(text_of(kavor::test::run(std::move(closing))), "Closed the browser for this chat.");
  const tools::ToolResult fresh = kavor::test::run(std::move(after));
  ASSERT_TRUE(fresh.ok()) << fresh.message();
  EXPECT_EQ(fresh.value().output.substr(0, fresh.value().output.find('\n')), "about:blank \"\"");
  EXPECT_NE(registry_.browser_of("chat-r", "")->pid(), first);
}

TEST_F(RegistryTest, ClosingEverythingWhileACallRunsEndsThatCallSafely) {
  auto registry = std::make_unique<BrowserRegistry>();
  auto decoded =
      decode_browser_args({{"action", "open"}, {"url", service_->base_url() + "/watched"}}, "/");
  ASSERT_TRUE(kavor::test::run(registry->run(decoded.value().args, "chat-x", flag())).ok());
  const std::string profile = registry->browser_of("chat-x", "")->profile();
  auto waiting =
      decode_browser_args({{"action", "wait"}, {"selector", "#never"}, {"wait_ms", 5000}}, "/");
  const std::size_t before = searched();
  QCoro::Task<tools::ToolResult> running = registry->run(waiting.value().args, "chat-x", flag());
  ASSERT_TRUE(searched_after(before));
  // Another chat's browser is still starting, its call suspended until it answers; at the end
  // of the program that call never resumes, so closing everything must reach it.
  QCoro::Task<tools::ToolResult> starting = registry->run(decoded.value().args, "chat-y", flag());
  const BrowserInstance* starting_browser = registry->browser_of("chat-y", "");
  ASSERT_NE(starting_browser, nullptr);
  const std::string starting_profile = starting_browser->profile();
  const pid_t starting_pid = static_cast<pid_t>(starting_browser->pid());
  registry.reset();  // as at the end of the program
  EXPECT_FALSE(fs::exists(profile));
  EXPECT_FALSE(fs::exists(starting_profile));
  // Watched without running the event loop, which the end of the program no longer runs.
  for (int i = 0; i < 100 && !session_members(starting_pid).empty(); ++i) ::usleep(20'000);
  EXPECT_EQ(session_members(starting_pid), std::vector<pid_t>{});
  const tools::ToolResult ended = kavor::test::run(std::move(running));
  EXPECT_EQ(text_of(ended), "FAILED: The browser closed the connection.");
  EXPECT_EQ(text_of(kavor::test::run(std::move(starting))),
            "FAILED: The browser closed the connection.");
}

}  // namespace
}  // namespace launch_test
}  // namespace kavor::browser
