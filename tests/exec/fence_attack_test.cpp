// Commands that try to get around the workspace fence: through links and /proc, through what
// other programs of the user offer outside it, and through the run's temporary folder.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/tools.h"
#include "common/config_dir.h"
#include "exec/fence.h"
#include "platform/session_file.h"
#include "run_support.h"

namespace kavor::exec {
namespace fence_attack_test {
namespace {

using test::output;
using test::read_all;
using test::RealProcessTest;

void put(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

int sh(const std::string& script) {
  return std::system(("sh -c '" + script + "' >/dev/null 2>&1").c_str());
}

class FenceAttackTest : public RealProcessTest {
 protected:
  void SetUp() override {
    if (landlock_abi() == 0) GTEST_SKIP() << "the kernel offers no Landlock";
    put(home_ / ".ssh" / "id_ed25519", "PRIVATE KEY");
    put(home_ / ".netrc", "machine x password NETRC");
    put(outside_ / "file", "keep me");
    fs::create_directories(ws_);
  }

  test::Ran fenced(const std::string& script) {
    const test::HomeFor home(home_);
    const std::string prelude = "export OUT='" + outside_.string() + "'\n";
    return test::run(test::bash(prelude + script, ws_), {},
                     RunOptions{true, std::make_shared<Fence>(), {ws_}});
  }

  // The run's temporary folder, as the command wrote it to the workspace file `where`.
  std::string run_folder() {
    std::string temp = read_all(ws_ / "where");
    if (!temp.empty() && temp.back() == '\n') temp.pop_back();
    return temp;
  }

  fs::path home_ = folder_ / "home";
  fs::path ws_ = folder_ / "ws";
  fs::path outside_ = folder_ / "outside";
};

// Links, hard links and /proc names of the credential files and of the agent's own descriptors
// and root all end at the refused file.
TEST_F(FenceAttackTest, LinksAndProcPathsDoNotReachRefusedFiles) {
  const int held = ::open((home_ / ".ssh" / "id_ed25519").c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  const std::string key = (home_ / ".ssh" / "id_ed25519").string();
  const std::string fd = std::to_string(held);
  const char* scripts[] = {
      "ln -s ~/.ssh ws-link && cat ws-link/id_ed25519",
      "ln ~/.ssh/id_ed25519 hard",
      "ln ~/.netrc hard-netrc",
      "cp --reflink=auto ~/.netrc copy",
      "ln -s \"$OUT\" \"$TMPDIR/o\" && echo x > \"$TMPDIR/o/new\"",
      "mkdir d && mv d \"$OUT/d\"",
      "TMPDIR=\"$OUT\" mktemp",
      "cat /proc/$PPID/fd/FD",
      "cat /proc/$PPID/root/KEY",
      "cat /proc/self/root/KEY",
      "cat /proc/$PPID/cwd/../../home/.ssh/id_ed25519",
      // Root may read it (what the kernel grants a tracer); nobody else may.
      "[ $(id -u) = 0 ] && exit 1; cat /proc/$PPID/environ",
      "cat /proc/$$/fd/0 < KEY",
  };
  for (std::string script : scripts) {
    for (const auto& [from, to] : {std::pair{"FD", fd}, std::pair{"KEY", key}}) {
      for (std::size_t at; (at = script.find(from)) != std::string::npos;) {
        script.replace(at, std::string(from).size(), to);
      }
    }
    SCOPED_TRACE(script);
    const test::Ran ran = fenced(script);
    EXPECT_FALSE(ran.outcome.ok()) << output(ran.outcome);
    EXPECT_EQ(output(ran.outcome).find("PRIVATE KEY"), std::string::npos);
    EXPECT_EQ(output(ran.outcome).find("NETRC"), std::string::npos);
  }
  ::close(held);
  EXPECT_FALSE(fs::exists(outside_ / "new"));
  EXPECT_FALSE(fs::exists(outside_ / "d"));
}

// What the command leaves in its temporary folder goes when the run ends, however it is laid
// out.
TEST_F(FenceAttackTest, TheRunsTemporaryFolderGoesWhateverTheCommandLeftInIt) {
  const char* scripts[] = {
      // Deeper than the removal walks.
      "echo \"$TMPDIR\" > where && cd \"$TMPDIR\" && for i in $(seq 300); do mkdir d && cd d; "
      "done",
      // A folder its owner may not change, and one it may not list (as root neither hinders).
      "echo \"$TMPDIR\" > where && mkdir \"$TMPDIR/a\" && touch \"$TMPDIR/a/f\" && chmod 500 "
      "\"$TMPDIR/a\"",
      "echo \"$TMPDIR\" > where && mkdir -p \"$TMPDIR/b/c\" && chmod 300 \"$TMPDIR/b\"",
      // The folder itself made unreadable.
      "echo \"$TMPDIR\" > where && touch \"$TMPDIR/f\" && chmod 0 \"$TMPDIR\"",
  };
  for (const char* script : scripts) {
    SCOPED_TRACE(script);
    const test::Ran ran = fenced(script);
    EXPECT_TRUE(ran.outcome.ok()) << output(ran.outcome);
    const std::string temp = run_folder();
    ASSERT_FALSE(temp.empty());
    EXPECT_FALSE(fs::exists(fs::symlink_status(temp))) << temp;
    sh("chmod -R u+rwx " + temp + "; rm -rf " + temp);
  }
}

// What the command leaves behind goes on writing in the temporary folder: the folder stays for
// it (it is its /tmp), and once it has ended, the end of the next run takes the folder whole,
// with all it made there. A process whose first thread has ended runs on in its others.
TEST_F(FenceAttackTest, WhatIsLeftBehindKeepsTheTemporaryFolderUntilItEnds) {
  put(ws_ / "leader.c",
      "#include <pthread.h>\n#include <stdio.h>\n#include <stdlib.h>\n#include <unistd.h>\n"
      "static void* work(void* x) { for (;;) { char p[4096]; snprintf(p, sizeof p, "
      "\"%s/still\", getenv(\"TMPDIR\")); FILE* f = fopen(p, \"w\"); if (!f) exit(1); "
      "fclose(f); usleep(10000); } return x; }\n"
      "int main(void) { pthread_t t; pthread_create(&t, 0, work, 0); pthread_exit(0); }\n");
  const std::vector<std::pair<const char*, std::string>> leftovers = {
      {"a child that keeps making folders",
       "(while :; do mkdir -p \"$TMPDIR/x$RANDOM/y\" || exit; done) > /dev/null 2>&1 & "
       "echo $! > child"},
      {"a process whose first thread has ended",
       "cc -pthread -o leader leader.c && { ./leader > /dev/null 2>&1 & echo $! > child; }"},
  };
  for (const auto& [name, script] : leftovers) {
    SCOPED_TRACE(name);
    const test::Ran ran = fenced("echo \"$TMPDIR\" > where; " + script);
    EXPECT_TRUE(ran.outcome.ok()) << output(ran.outcome);
    const std::string temp = run_folder();
    const pid_t child = test::outside_pid(static_cast<pid_t>(std::stol(read_all(ws_ / "child"))));
    ASSERT_GT(child, 0);
    // Another run's end looks at what lingers, and keeps it.
    EXPECT_TRUE(fenced("sleep 0.2").outcome.ok());
    EXPECT_TRUE(fs::exists(temp));
    ::kill(child, SIGKILL);
    ASSERT_TRUE(test::all_gone({child}));
    EXPECT_TRUE(fenced("true").outcome.ok());
    EXPECT_FALSE(fs::exists(fs::symlink_status(temp))) << temp;
    fs::remove_all(temp);
  }
}

// Runs at the same time each get a folder of their own, keep out of each other's, and leave
// nothing behind, whether they end or are stopped.
TEST_F(FenceAttackTest, RunsAtTheSameTimeKeepToTheirOwnFolders) {
  const test::HomeFor home(home_);
  auto stop = std::make_shared<std::atomic<bool>>(false);
  std::vector<QCoro::Task<RunOutcome>> runs;
  constexpr int kRuns = 6;
  for (int i = 0; i < kRuns; ++i) {
    const std::string n = std::to_string(i);
    const std::string script =
        "echo \"$TMPDIR\" > where" + n + "; echo mine > \"$TMPDIR/f\"; sleep 0.5; " +
        "for o in where*; do t=$(cat $o); [ \"$t\" = \"$TMPDIR\" ] && continue; " +
        "echo x > \"$t/f\" 2>/dev/null && exit 7; done; " + (i % 2 ? "sleep 20" : "true");
    runs.push_back(run_command(test::bash(script, ws_), i % 2 ? StopSignal(stop) : StopSignal{}, {},
                               RunOptions{true, std::make_shared<Fence>(), {ws_}}));
  }
  QTimer::singleShot(1500, [stop] { stop->store(true); });
  std::set<std::string> folders;
  for (int i = 0; i < kRuns; ++i) {
    const RunOutcome outcome = kavor::test::run(std::move(runs[i]));
    if (i % 2 == 0) {
      EXPECT_TRUE(outcome.ok()) << output(outcome);
    }
    EXPECT_EQ(output(outcome).find("exit code 7"), std::string::npos) << output(outcome);
    std::string temp = read_all(ws_ / ("where" + std::to_string(i)));
    if (!temp.empty()) temp.pop_back();
    folders.insert(temp);
    EXPECT_FALSE(fs::exists(temp)) << temp;
  }
  EXPECT_EQ(folders.size(), static_cast<std::size_t>(kRuns));
}

// With a second writable folder inside the first (an extra folder below the workspace), one
// fenced run can put a link where that folder was; the next run's fence then follows it.
TEST_F(FenceAttackTest, ALinkLeftByOneRunDoesNotWidenTheNext) {
  fs::create_directories(ws_ / "sub");
  const test::HomeFor home(home_);
  const RunOptions options{true, std::make_shared<Fence>(), {ws_, ws_ / "sub"}};
  const test::Ran swap =
      test::run(test::bash("rmdir sub && ln -s \"$HOME\" sub", ws_), {}, options);
  ASSERT_TRUE(swap.outcome.ok()) << output(swap.outcome);
  const test::Ran next =
      test::run(test::bash("cat sub/.ssh/id_ed25519; touch \"$HOME/planted\"", ws_), {}, options);
  EXPECT_EQ(output(next.outcome).find("PRIVATE KEY"), std::string::npos) << output(next.outcome);
  EXPECT_FALSE(fs::exists(home_ / "planted"));
}

// Odd names of the workspace change nothing: inside is writable, outside is not.
TEST_F(FenceAttackTest, AWorkspaceWithANewlineInItsNameIsFencedAlike) {
  const fs::path odd = folder_ / "work\nspace";
  fs::create_directories(odd);
  const test::HomeFor home(home_);
  const test::Ran ran = test::run(test::bash("echo in > f && cat f && echo out > \"$HOME/f\"", odd),
                                  {}, RunOptions{true, std::make_shared<Fence>(), {odd}});
  EXPECT_FALSE(ran.outcome.ok());
  EXPECT_EQ(read_all(odd / "f"), "in\n");
  EXPECT_FALSE(fs::exists(home_ / "f"));
}

// The program's fence refuses its configuration folder; the agent keeps other secrets too: the
// session secret the local chat service asks for, and the cookies of its own web view.
TEST_F(FenceAttackTest, TheAgentsOtherSecretsStayUnread) {
  const test::HomeFor home(home_);
  std::optional<std::string> runtime;
  if (const char* old = std::getenv("XDG_RUNTIME_DIR")) runtime = old;
  ::setenv("XDG_RUNTIME_DIR", (folder_ / "run").c_str(), 1);
  const fs::path session = platform::default_session_file();
  const fs::path device = common::config_dir().path.toStdString() + "/device.json";
  const fs::path cookies = home_ / ".local/share/kavor-agent/QtWebEngine/kavor-agent/Cookies";
  put(session, "SESSION-SECRET");
  put(device, "DEVICE-SECRET");
  put(cookies, "COOKIE-SECRET");
  fs::permissions(session.parent_path(), fs::perms::owner_all);
  const RunOptions options{true, app::program_fence(), {ws_}};
  for (const fs::path& secret : {device, session, cookies}) {
    SCOPED_TRACE(secret.string());
    const test::Ran ran = test::run(test::bash("cat '" + secret.string() + "'", ws_), {}, options);
    EXPECT_FALSE(ran.outcome.ok());
    EXPECT_EQ(output(ran.outcome).find("-SECRET"), std::string::npos) << output(ran.outcome);
  }
  if (runtime) {
    ::setenv("XDG_RUNTIME_DIR", runtime->c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
}

// A refused place missing when a run starts, made while what the run left running waits for it
// (the agent writing its session secret, the user logging in): that process never reads it. Nor
// does it read a name made beside it: the deepest folder that existed has no rule, only its
// entries then, so what is made in it stays unreadable until the next run's fence, which reads
// the new names and still refuses the places. The workspace stays readable throughout.
TEST_F(FenceAttackTest, PlacesMadeAfterARunStartsStayUnreadByWhatItLeftRunning) {
  const test::HomeFor home(home_);
  for (const char* folder : {"run", "home/.config", "home/dotfiles"}) {
    fs::create_directories(folder_ / folder);
  }
  fs::create_symlink(home_ / "dotfiles/pypirc", home_ / ".pypirc");
  const fs::path session = folder_ / "run/kavor-agent/session";
  const fs::path places[][3] = {
      // the refused place, the file made for it, a name made beside it
      {session, session, folder_ / "run/kavor-agent/other"},
      {home_ / ".pgpass", home_ / ".pgpass", home_ / "notes"},
      {home_ / ".config/gh/hosts.yml", home_ / ".config/gh/hosts.yml", home_ / ".config/gh/c"},
      {home_ / ".pypirc", home_ / "dotfiles/pypirc", home_ / "dotfiles/vimrc"},
  };
  std::string files;
  for (const auto& place : places)
    files += " '" + place[0].string() + "' '" + place[2].string() + "'";
  const RunOptions options{true,
                           std::make_shared<Fence>([session](const std::vector<fs::path>&) {
                             return std::vector<RefusedPlace>{{session}};
                           }),
                           {ws_}};
  const test::Ran left = test::run(
      test::bash("nohup sh -c 'until [ \"$(cat go)\" = go ]; do cat \"$@\"; sleep 0.05; done; "
                 "cat \"$@\"; echo done' sh" +
                     files + " > out 2>&1 & echo $! > pid",
                 ws_),
      {}, options);
  ASSERT_TRUE(left.outcome.ok()) << output(left.outcome);
  for (const auto& place : places) {
    put(place[1], "SECRET");
    put(place[2], "plain");
  }
  put(ws_ / "go", "go");
  EXPECT_TRUE(kavor::test::wait_until([&] { return read_all(ws_ / "out").ends_with("done\n"); }));
  ::kill(static_cast<pid_t>(std::stol(read_all(ws_ / "pid"))), SIGKILL);
  const std::string out = read_all(ws_ / "out");
  EXPECT_TRUE(out.find("SECRET") == std::string::npos && out.find("plain") == std::string::npos)
      << out;
  const test::Ran next =
      test::run(test::bash("cat" + files + " 2>/dev/null || true", ws_), {}, options);
  EXPECT_EQ(output(next.outcome), "plainplainplainplain");
}

// Another run's temporary folder is as far out of reach as any other place outside.
TEST_F(FenceAttackTest, ARunCannotWriteIntoAnotherRunsTemporaryFolder) {
  auto other = prepare_fence({}, {ws_});
  ASSERT_TRUE(other.ok()) << other.message();
  const fs::path theirs = other.value()->temp_folder();
  const test::Ran ran = fenced("echo x > '" + theirs.string() + "/planted'");
  EXPECT_FALSE(ran.outcome.ok());
  EXPECT_FALSE(fs::exists(theirs / "planted"));
}

// When the agent ends with a fenced command running, the run's temporary folder still goes.
// The agent's end is played by this test binary run again with KAVOR_FENCE_ATTACK_END set.
TEST_F(FenceAttackTest, TheAgentsEndLeavesNoRunFolderBehind) {
  if (const char* where = std::getenv("KAVOR_FENCE_ATTACK_END")) {
    const fs::path ws = where;
    // std::exit skips this fixture's end, so its folder goes first.
    QTimer::singleShot(1500, [this] {
      dir_.remove();
      std::exit(0);
    });
    test::run(test::bash("echo \"$TMPDIR\" > where; sleep 30", ws), {},
              RunOptions{true, std::make_shared<Fence>(), {ws}});
    return;
  }
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const std::string command =
      "KAVOR_FENCE_ATTACK_END='" + ws_.string() + "' '" + self +
      "' --gtest_filter=FenceAttackTest.TheAgentsEndLeavesNoRunFolderBehind > /dev/null 2>&1";
  std::system(command.c_str());
  const std::string temp = run_folder();
  ASSERT_FALSE(temp.empty());
  EXPECT_FALSE(fs::exists(temp)) << temp;
  fs::remove_all(temp);
}

}  // namespace
}  // namespace fence_attack_test
}  // namespace kavor::exec
