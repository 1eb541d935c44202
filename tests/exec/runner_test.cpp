// The runner against real processes: what comes back, what streams, and that a stop or a
// time-out leaves nothing running however the command tries to hide.
#include "exec/runner.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QTimer>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>

#include "common/json.h"
#include "common/utf8.h"
#include "exec/process_tree.h"
#include "run_support.h"

namespace kavor::exec {
namespace runner_test {
namespace {

using namespace test;
using kavor::test::wait_until;

std::string seq_output(int last, std::size_t limit) {
  std::string out;
  for (int i = 1; i <= last; ++i) out += std::to_string(i) + "\n";
  out.resize(std::min(out.size(), limit));
  return out;
}

std::string joined(const std::vector<std::string>& chunks) {
  std::string out;
  for (const std::string& c : chunks) out += c;
  return out;
}

class RunnerTest : public RealProcessTest {};

TEST_F(RunnerTest, TheAnswerIsTheBoundedOutputOrAFailureWithTheExitCode) {
  struct Case {
    const char* script;
    bool ok;
    std::string text;
  };
  const std::string hundred_k = seq_output(20000, 100'000);
  const Case cases[] = {
      {"seq 1 20000 | head -c 100000", true,
       hundred_k.substr(0, 15'000) + "\n[... 70000 bytes cut ...]\n" + hundred_k.substr(85'000)},
      {"true", true, "(no output)"},
      {"printf ' \\n\\t '", true, "(no output)"},
      {"echo out; exit 3", false, "out\n\n[exit code 3]"},
      {"exit 4", false, "(no output)\n[exit code 4]"},
      {"echo to-stderr >&2", true, "to-stderr\n"},
      {"cat; echo input-was-empty", true, "input-was-empty\n"},
      {"printf 'caf\\xc3\\xa9 \\xff\\xfe bin\\0ary'", true,
       common::utf8_lossy(std::string("caf\xC3\xA9 \xFF\xFE bin\0ary", 16))},
      {"kill -9 $$", false, "(no output)\n[exit code 137]"},
      {"printenv KAVOR_AGENT_RUN | grep -c .", true, "1\n"},
  };
  for (const Case& c : cases) {
    const Ran ran = run(bash(c.script, folder_));
    EXPECT_EQ(ran.outcome.ok(), c.ok) << c.script;
    EXPECT_EQ(output(ran.outcome), c.text) << c.script;
  }
  // A signal the agent ignores is not ignored by the command: `yes` dies of SIGPIPE quietly.
  const auto previous = ::signal(SIGPIPE, SIG_IGN);
  const Ran piped = run(bash("yes | head -c 4", folder_));
  ::signal(SIGPIPE, previous);
  EXPECT_EQ(output(piped.outcome), "y\ny\n");
}

TEST_F(RunnerTest, StartFailuresNameTheProgramOrTheFolder) {
  const auto failure = [&](CommandRun command) {
    const Ran ran = run(std::move(command));
    EXPECT_FALSE(ran.outcome.ok());
    return output(ran.outcome);
  };
  EXPECT_EQ(failure({{"kavor-no-such-program", {}, {}, "bash"}, folder_}),
            "kavor-no-such-program is not installed or not on PATH.");
  EXPECT_EQ(failure({{"cmd.exe", {"/D"}, {}, "batch"}, folder_}),
            "cmd.exe is not installed or not on PATH.");
  EXPECT_EQ(failure(bash("true", folder_ / "gone")),
            "The folder " + (folder_ / "gone").string() + " does not exist.");
  EXPECT_EQ(failure(bash("echo " + std::string(200'000, 'x'), folder_)),
            "Could not start bash: Argument list too long");
  std::ofstream(folder_ / "plain.txt") << "not a program";
  EXPECT_EQ(failure({{(folder_ / "plain.txt").string(), {}, {}, "bash"}, folder_}),
            "Could not start " + (folder_ / "plain.txt").string() + ": Permission denied");

  // A program planted in the workspace is never found through an empty or relative PATH entry.
  std::ofstream(folder_ / "kavor-planted") << "#!/bin/sh\necho planted\n";
  fs::permissions(folder_ / "kavor-planted", fs::perms::owner_all);
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", ("::.:" + path).c_str(), 1);
  const std::string planted = failure({{"kavor-planted", {}, {}, "bash"}, folder_});
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(planted, "kavor-planted is not installed or not on PATH.");
}

TEST_F(RunnerTest, StreamedChunksAddUpToTheWholeOutputWithNoCharacterBroken) {
  const std::string line = "\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85 \xE2\x82\xAC\xF0\x9F\x98\x80 word\n";
  std::string expected;
  while (expected.size() < 300'000) expected += line;
  expected.resize(300'000);  // the last character is cut: it shows as U+FFFD, once
  const Ran ran = run(bash("yes '" + line.substr(0, line.size() - 1) +
                               "' | head -c 300000; "
                               "echo tail >&2",
                           folder_));
  ASSERT_TRUE(ran.outcome.ok()) << output(ran.outcome);
  EXPECT_GT(ran.chunks.size(), 36u);
  for (const std::string& chunk : ran.chunks) {
    EXPECT_LE(chunk.size(), kChunkBytes + 3);
    EXPECT_TRUE(common::valid_utf8(chunk));
  }
  std::string all = joined(ran.chunks);
  ASSERT_GE(all.size(), 5u);
  EXPECT_EQ(all.substr(all.size() - 5), "tail\n");
  all.resize(all.size() - 5);
  EXPECT_EQ(all, common::utf8_lossy(expected));
}

TEST_F(RunnerTest, BinaryOutputStreamsAndAnswersAsValidTextLosingNothingButBrokenBytes) {
  const Ran ran = run(bash("head -c 200000 /dev/urandom | tee random.bin", folder_));
  std::ifstream in(folder_ / "random.bin", std::ios::binary);
  const std::string bytes(std::istreambuf_iterator<char>(in), {});
  ASSERT_EQ(bytes.size(), 200'000u);
  for (const std::string& chunk : ran.chunks) ASSERT_TRUE(common::valid_utf8(chunk));
  EXPECT_EQ(joined(ran.chunks), common::utf8_lossy(bytes));
  EXPECT_TRUE(common::valid_utf8(output(ran.outcome)));
  EXPECT_NE(output(ran.outcome).find("\n[... 170000 bytes cut ...]\n"), std::string::npos);
  EXPECT_NO_THROW((void)common::Json(output(ran.outcome)).dump());
}

TEST_F(RunnerTest, ATimeOutEndsTheCommandWithTheNoteAndTheKilledProcessCode) {
  const Ran slept = run(bash("sleep 10", folder_, 1s));
  EXPECT_FALSE(slept.outcome.ok());
  EXPECT_EQ(output(slept.outcome),
            "(no output)\n[timed out after 1 seconds and was stopped]\n[exit code 137]");
  EXPECT_GE(slept.took, 900ms);
  EXPECT_LT(slept.took, 2500ms);

  // Closing its output does not hide a process from the time-out.
  std::ofstream(folder_ / "pids");
  const Ran closed = run(bash("echo $$ > pids; echo bye; exec >&- 2>&-; sleep 300", folder_, 1s));
  EXPECT_EQ(output(closed.outcome),
            "bye\n\n[timed out after 1 seconds and was stopped]\n[exit code 137]");
  EXPECT_LT(closed.took, 2500ms);
  EXPECT_TRUE(all_gone(pids_in(folder_ / "pids")));
}

// Starts every way of hiding a process from a stop, waits until all are running, stops.
void expect_stop_ends_everything(const fs::path& folder, RunOptions options) {
  std::ofstream(folder / "pids");
  const std::string script =
      "trap '' TERM INT HUP\n"
      "sleep 300 & echo $! >> pids\n"            // a plain child
      "setsid sleep 301 & echo $! >> pids\n"     // a session of its own
      "(set -m; sleep 302 & echo $! >> pids)\n"  // a group of its own
      "setsid -f bash -c 'echo $$ >> pids; trap \"\" TERM; exec sleep 303'\n"  // daemonized
      "setsid -f sh -c 'echo $$ >> pids; exec env -i sleep 304'\n"  // and without the marker
      "bash -c 'sleep 305 & echo $! >> pids'\n"                     // an orphan
      "nohup sleep 306 >/dev/null 2>&1 & echo $! >> pids\n"
      "while [ $(wc -l < pids) -lt 7 ]; do sleep 0.05; done; echo ready\n"
      "wait\n";
  auto stop = std::make_shared<std::atomic<bool>>(false);
  std::vector<std::string> chunks;
  auto task = run_command(
      bash(script, folder), stop, [&](std::string chunk) { chunks.push_back(chunk); }, options);
  ASSERT_TRUE(wait_until([&] { return joined(chunks).find("ready") != std::string::npos; }));
  const std::vector<pid_t> pids = pids_in(folder / "pids");
  ASSERT_EQ(pids.size(), 7u);
  for (const pid_t pid : pids) EXPECT_TRUE(alive(pid)) << pid;
  const auto stopped_at = std::chrono::steady_clock::now();
  stop->store(true);
  const RunOutcome outcome = kavor::test::run(std::move(task));
  EXPECT_LT(std::chrono::steady_clock::now() - stopped_at, 1500ms);
  EXPECT_FALSE(outcome.ok());
  EXPECT_EQ(output(outcome), "ready\n\n[stopped by the user]\n[exit code 137]");
  EXPECT_TRUE(all_gone(pids)) << "cgroup " << options.use_cgroup;
  for (const pid_t pid : pids) EXPECT_FALSE(alive(pid)) << pid;
}

TEST_F(RunnerTest, AStopEndsEverythingTheCommandStartedWithOrWithoutACgroup) {
  if (cgroups_available()) expect_stop_ends_everything(folder_, RunOptions{true});
  expect_stop_ends_everything(folder_, RunOptions{false});

  // A flood of output does not keep the stop from being seen.
  auto stop = std::make_shared<std::atomic<bool>>(false);
  std::uint64_t streamed = 0;
  auto task = run_command(bash("cat /dev/zero", folder_), stop,
                          [&](std::string chunk) { streamed += chunk.size(); });
  QTimer::singleShot(300, [stop] { stop->store(true); });
  const auto started = std::chrono::steady_clock::now();
  const RunOutcome flood = kavor::test::run(std::move(task));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms);
  EXPECT_GT(streamed, 1'000'000u);
  EXPECT_TRUE(output(flood).ends_with("\n[stopped by the user]\n[exit code 137]"))
      << output(flood).size();
}

TEST_F(RunnerTest, AfterANormalExitTheReadersWaitBrieflyAndLeaveBackgroundWorkAlone) {
  // Output a background child writes shortly after the shell ended still arrives.
  const Ran late = run(bash("(sleep 0.3; echo late) & echo early", folder_));
  EXPECT_TRUE(late.outcome.ok());
  EXPECT_EQ(output(late.outcome), "early\nlate\n");

  // A server left running holds the pipe: the call ends two seconds after the shell, and the
  // server keeps running (it may be what the user asked for).
  const Ran server = run(bash("sleep 300 & echo $!", folder_));
  EXPECT_TRUE(server.outcome.ok());
  EXPECT_GE(server.took, 1900ms);
  EXPECT_LT(server.took, 3500ms);
  const pid_t left = static_cast<pid_t>(std::stol(output(server.outcome)));
  EXPECT_TRUE(alive(left));
  ::kill(left, SIGKILL);

  // A stop during those two seconds ends what was left.
  std::ofstream(folder_ / "pids");
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto task =
      run_command(bash("setsid sleep 300 & echo $! > pids; echo started", folder_), stop, {});
  ASSERT_TRUE(wait_until([&] { return !pids_in(folder_ / "pids").empty(); }));
  QTimer::singleShot(300, [stop] { stop->store(true); });
  const RunOutcome outcome = kavor::test::run(std::move(task));
  EXPECT_EQ(output(outcome), "started\n\n[stopped by the user]\n[exit code 0]");
  EXPECT_TRUE(all_gone(pids_in(folder_ / "pids")));
}

TEST_F(RunnerTest, FortyCommandsAtOnceEachKeepTheirOwnOutputAndAllStopTogether) {
  constexpr int kRuns = 40;
  std::vector<QCoro::Task<RunOutcome>> tasks;
  for (int i = 0; i < kRuns; ++i) {
    const std::string n = std::to_string(i);
    tasks.push_back(
        run_command(bash("echo start " + n + "; sleep 0.5; echo end " + n, folder_), {}, {}));
  }
  for (int i = 0; i < kRuns; ++i) {
    const RunOutcome outcome = kavor::test::run(std::move(tasks[i]));
    EXPECT_EQ(output(outcome), "start " + std::to_string(i) + "\nend " + std::to_string(i) + "\n");
  }

  tasks.clear();
  auto stop = std::make_shared<std::atomic<bool>>(false);
  for (int i = 0; i < kRuns; ++i) {
    tasks.push_back(run_command(bash("sleep 300 & echo $! >> pids; wait", folder_), stop, {}));
  }
  ASSERT_TRUE(wait_until([&] { return pids_in(folder_ / "pids").size() == kRuns; }));
  const auto stopped_at = std::chrono::steady_clock::now();
  stop->store(true);
  for (auto& task : tasks) {
    EXPECT_EQ(output(kavor::test::run(std::move(task))),
              "(no output)\n[stopped by the user]\n[exit code 137]");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - stopped_at, 5s);
  EXPECT_TRUE(all_gone(pids_in(folder_ / "pids")));
}

TEST_F(RunnerTest, AStopAtTheMomentOfTheTimeOutGivesOneNote) {
  for (const int at : {990, 1000, 1010}) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto task = run_command(bash("sleep 30", folder_, 1s), stop, {});
    QTimer::singleShot(at, [stop] { stop->store(true); });
    const RunOutcome outcome = kavor::test::run(std::move(task));
    const bool stopped = output(outcome) == "(no output)\n[stopped by the user]\n[exit code 137]";
    const bool timed_out =
        output(outcome) ==
        "(no output)\n[timed out after 1 seconds and was stopped]\n[exit code 137]";
    EXPECT_TRUE(stopped || timed_out) << output(outcome);
  }
}

TEST_F(RunnerTest, AForkBombEndsWithItsTimeOut) {
  // Run as nobody with a process limit, so the bomb cannot take the machine with it. (A bomb
  // that puts itself in the background ends the call as any background work does, after the
  // shell and two seconds, and is not killed: see the test of background work above.)
  if (::geteuid() != 0) GTEST_SKIP() << "becoming nobody (setpriv --reuid) needs root";
  for (const bool cgroup : {true, false}) {
    const Ran ran = run(bash("exec setpriv --reuid=65534 --regid=65534 --clear-groups bash -c "
                             "'ulimit -u 400; bomb() { bomb | bomb; }; bomb' 2>/dev/null",
                             folder_, 2s),
                        {}, RunOptions{cgroup});
    EXPECT_FALSE(ran.outcome.ok());
    EXPECT_NE(output(ran.outcome).find("[timed out after 2 seconds and was stopped]"),
              std::string::npos);
    EXPECT_LT(ran.took, 6s);
    // Nothing of it is left.
    EXPECT_TRUE(wait_until(
        [] { return std::system("pgrep -u 65534 -f 'ulimit -u 400' >/dev/null") != 0; }, 3s))
        << "cgroup " << cgroup;
  }
}

TEST_F(RunnerTest, AGigabyteOfOutputKeepsOnlyTheCaptureInMemory) {
  constexpr std::uint64_t kBytes = 256ull << 20;
  std::uint64_t streamed = 0;
  std::ofstream("/proc/self/clear_refs") << "5";  // restart the peak resident count
  const auto status = [] {
    std::ifstream in("/proc/self/status");
    std::map<std::string, long> values;
    for (std::string key; in >> key;) {
      long kb = 0;
      if (key == "VmRSS:" || key == "VmHWM:") {
        in >> kb;
        values[key] = kb;
      }
      in.ignore(1 << 20, '\n');
    }
    return values;
  };
  const long before = status()["VmRSS:"];
  const RunOutcome outcome = kavor::test::run(
      run_command(bash("head -c " + std::to_string(kBytes) + " /dev/zero", folder_), {},
                  [&](std::string chunk) { streamed += chunk.size(); }));
  EXPECT_TRUE(outcome.ok());
  EXPECT_EQ(streamed, kBytes);
  EXPECT_EQ(output(outcome).size(),
            30'000 + std::string("\n[... 268405456 bytes cut ...]\n").size());
  // Freed memory waits in the address sanitizer's quarantine, so only a plain build can tell.
#if defined(__SANITIZE_ADDRESS__)
  (void)before;
#else
  EXPECT_LT(status()["VmHWM:"] - before, 32 * 1024) << "kB above the resident size before";
#endif
}

}  // namespace
}  // namespace runner_test
}  // namespace kavor::exec
