// Fenced runs side by side, and what happens around a fenced run while it is being prepared,
// runs or is cleaned up: real processes, the real kernel.
#include <dirent.h>

#include <gtest/gtest.h>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "exec/fence.h"
#include "exec/run_keeper.h"
#include "run_support.h"
#include "walk/remove_tree.h"

namespace kavor::exec {
namespace fence_concurrency_test {
namespace {

using test::output;
using test::read_all;
using test::RealProcessTest;

int open_descriptors() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the listing's own
}

// Awaits runs already started (tasks start eagerly) and keeps their outcomes.
QCoro::Task<std::vector<RunOutcome>> all_of(std::vector<QCoro::Task<RunOutcome>> runs) {
  std::vector<RunOutcome> outcomes;
  for (auto& run : runs) outcomes.push_back(co_await std::move(run));
  co_return outcomes;
}

// Awaits a run and notes when its answer came.
QCoro::Task<RunOutcome> timed(QCoro::Task<RunOutcome> run,
                              std::chrono::steady_clock::time_point* answered) {
  RunOutcome outcome = co_await std::move(run);
  *answered = std::chrono::steady_clock::now();
  co_return outcome;
}

class FenceConcurrencyTest : public RealProcessTest {
 protected:
  void SetUp() override {
    if (landlock_abi() == 0) GTEST_SKIP() << "the kernel offers no Landlock";
    fs::create_directories(ws_);
  }

  RunOptions fenced() const { return RunOptions{true, std::make_shared<Fence>(), {ws_}}; }

  QCoro::Task<RunOutcome> start(const std::string& script, StopSignal stop, RunOptions options) {
    return run_command(test::bash(script, ws_), std::move(stop), {}, std::move(options));
  }

  fs::path ws_ = folder_ / "ws";
};

// Many fenced runs at once: each has a temporary folder of its own that no other run's end
// removes, the command holds no descriptor beyond its standard three, and neither the runs nor
// the preparations that fail leave a descriptor open in the agent.
TEST_F(FenceConcurrencyTest, ParallelRunsKeepTheirOwnFoldersAndLeakNoDescriptor) {
  std::vector<QCoro::Task<RunOutcome>> runs;
  constexpr int kRuns = 8;
  for (int i = 0; i < kRuns; ++i) {
    // The short ones end (and lose their folders) while the long ones still use theirs.
    const std::string pause = i % 2 == 0 ? "0" : "1";
    runs.push_back(start("echo " + std::to_string(i) + " > \"$TMPDIR/mine\"; sleep " + pause +
                             "; echo \"$TMPDIR\"; cat \"$TMPDIR/mine\"; ls /proc/self/fd | wc -l",
                         {}, fenced()));
  }
  const std::vector<RunOutcome> outcomes = kavor::test::run(all_of(std::move(runs)));
  std::set<std::string> folders;
  for (int i = 0; i < kRuns; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(outcomes[i].ok()) << output(outcomes[i]);
    std::istringstream lines(output(outcomes[i]));
    std::string folder, mine, fds;
    std::getline(lines, folder);
    std::getline(lines, mine);
    std::getline(lines, fds);
    folders.insert(folder);
    EXPECT_EQ(mine, std::to_string(i));
    EXPECT_EQ(fds, "4");  // 0, 1, 2 and the listing's own
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder))) << folder;
  }
  EXPECT_EQ(folders.size(), static_cast<std::size_t>(kRuns));

  // Preparations that fail midway (a missing workspace, one reached through a link), and more
  // runs; counted once the event loop and the pool have made what they keep.
  const int before = open_descriptors();
  fs::create_directory_symlink(ws_, folder_ / "link");
  const Fence fence;
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(test::run(test::bash("true", ws_), {}, fenced()).outcome.ok());
  }
  for (int i = 0; i < 50; ++i) {
    EXPECT_FALSE(fence.prepare({folder_ / "missing"}).ok());
    EXPECT_FALSE(fence.prepare({folder_ / "link"}).ok());
    EXPECT_TRUE(fence.prepare({ws_}).ok());
  }
  EXPECT_EQ(open_descriptors(), before);
}

// A stop that arrives while the fence is still being built (building it reads folders off the
// event loop, so the window is real) must keep the command from starting. Here the command
// starts anyway, does its first work before the kill reaches it, and the answer says stopped.
TEST_F(FenceConcurrencyTest, AStopDuringThePreparationKeepsTheCommandFromStarting) {
  const auto stop = std::make_shared<std::atomic<bool>>(false);
  RunOptions options = fenced();
  // The user's stop, arriving while the refused places are looked up.
  options.fence = std::make_shared<Fence>([stop](const std::vector<fs::path>&) {
    stop->store(true);
    return std::vector<RefusedPlace>{};
  });
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    stop->store(false);
    const test::Ran ran = test::run(test::bash(": > started; sleep 5", ws_), stop, options);
    EXPECT_NE(output(ran.outcome).find(kStoppedNote), std::string::npos) << output(ran.outcome);
    EXPECT_FALSE(fs::exists(ws_ / "started")) << "the command ran after the stop";
    fs::remove(ws_ / "started");
  }
}

// A stop must not wait for other runs' work: here fenced runs that just ended are removing
// folders of many files (seconds) while another run is stopped. Its answer must come before
// theirs; a stop queued behind the removals comes only after one of them has finished.
TEST_F(FenceConcurrencyTest, AStopDoesNotWaitForOtherRunsCleanup) {
  using Clock = std::chrono::steady_clock;
  const auto stop = std::make_shared<std::atomic<bool>>(false);
  const int busy = std::max(1, QThread::idealThreadCount());
  const fs::path filled = ws_ / "filled";
  fs::create_directories(filled);
  Clock::time_point stop_answered;
  std::vector<Clock::time_point> filling_answered(static_cast<std::size_t>(busy));
  auto stopped = timed(start("sleep 60", stop, {}), &stop_answered);
  std::vector<QCoro::Task<RunOutcome>> runs;
  for (int i = 0; i < busy; ++i) {
    // Each fills its folder, then waits for the others, so that all their removals overlap.
    runs.push_back(
        timed(start("cd \"$TMPDIR\" && seq 1 50000 | xargs touch && touch '" + filled.string() +
                        "/" + std::to_string(i) + "' && until [ $(ls '" + filled.string() +
                        "' | wc -l) = " + std::to_string(busy) + " ]; do sleep 0.02; done",
                    {}, fenced()),
              &filling_answered[static_cast<std::size_t>(i)]));
  }
  // Once every filling command is done, their folders are being removed: the stop goes now.
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    int done = 0;
    for (const auto& entry : fs::directory_iterator(filled)) done += entry.exists() ? 1 : 0;
    if (done < busy) return;
    watch.stop();
    // The commands end now and their runs hand the removals to a pool; the loop goes on.
    QTimer::singleShot(300, [&] { stop->store(true); });
  });
  watch.start(10);
  const RunOutcome outcome = kavor::test::run(std::move(stopped));
  for (const RunOutcome& filling : kavor::test::run(all_of(std::move(runs)))) {
    EXPECT_TRUE(filling.ok()) << output(filling);
  }
  EXPECT_NE(output(outcome).find(kStoppedNote), std::string::npos) << output(outcome);
  for (const Clock::time_point answered : filling_answered) {
    EXPECT_LT(stop_answered, answered) << "the stop waited for other runs' folders to be removed";
  }
}

// Processes the command left running that keep writing to its temporary folder keep it: it is
// their /tmp. Once they end, the next run's end removes it, however much they wrote to it until
// their last moment.
TEST_F(FenceConcurrencyTest, LeftoverWritersKeepTheRunsFolderUntilTheyEnd) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    const test::Ran ran = test::run(
        test::bash("echo \"$TMPDIR\" > where; for i in 1 2 3; do setsid bash -c 'echo $$ >> "
                   "writers; while : > \"$TMPDIR/f$RANDOM$RANDOM\"; do :; done' "
                   "< /dev/null > /dev/null 2>&1 & done; sleep 0.3",
                   ws_),
        {}, fenced());
    ASSERT_TRUE(ran.outcome.ok()) << output(ran.outcome);
    std::string folder = read_all(ws_ / "where");
    folder.pop_back();
    const std::vector<pid_t> writers = test::outside_pids(test::pids_in(ws_ / "writers"));
    fs::remove(ws_ / "writers");
    for (const pid_t pid : writers) {
      ASSERT_GT(pid, 0);
      EXPECT_TRUE(test::alive(pid)) << "a writer lost its folder";
    }
    EXPECT_TRUE(fs::exists(folder));
    for (const pid_t pid : writers) ::kill(pid, SIGKILL);
    ASSERT_TRUE(test::all_gone(writers));
    ASSERT_TRUE(test::run(test::bash("true", ws_), {}, fenced()).outcome.ok());
    const bool left = fs::exists(fs::symlink_status(folder));
    if (left) walk::remove_tree_no_follow(folder);
    EXPECT_FALSE(left) << folder << " stayed behind";
  }
}

// Runs that end at the same moment, each leaving a process that still uses its temporary
// folder afterwards: every folder stays for its own.
TEST_F(FenceConcurrencyTest, RunsEndingTogetherKeepEachOthersFoldersForWhatTheyLeft) {
  if (!runs_end_with_agent()) GTEST_SKIP() << "fenced runs get no user namespace of their own";
  constexpr int kRuns = 16;
  std::vector<QCoro::Task<RunOutcome>> runs;
  for (int i = 0; i < kRuns; ++i) {
    const std::string n = std::to_string(i);
    runs.push_back(start("echo kept" + n +
                             " > \"$TMPDIR/keep\"; setsid -f sh -c 'sleep 1.5; "
                             "cat \"$TMPDIR/keep\" > out" +
                             n + "' < /dev/null > /dev/null 2>&1",
                         {}, fenced()));
  }
  for (const RunOutcome& outcome : kavor::test::run(all_of(std::move(runs)))) {
    EXPECT_TRUE(outcome.ok()) << output(outcome);
  }
  for (int i = 0; i < kRuns; ++i) {
    const std::string n = std::to_string(i);
    EXPECT_TRUE(kavor::test::wait_until(
        [&] { return read_all(ws_ / ("out" + n)) == "kept" + n + "\n"; }, std::chrono::seconds(5)))
        << "run " << n << " lost its folder";
  }
}

}  // namespace
}  // namespace fence_concurrency_test
}  // namespace kavor::exec
