// The keeper of fenced runs, killed by someone while runs start: a run prepared with it still
// starts, in the namespace of a new keeper, and so do the runs after it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>
#include <vector>

#include "exec/fence.h"
#include "exec/run_keeper.h"
#include "run_support.h"

namespace kavor::exec {
namespace run_keeper_test {
namespace {

using test::output;

ino_t namespace_of(int fd) {
  struct stat info {};
  ::fstat(fd, &info);
  return info.st_ino;
}

class RunKeeperTest : public test::RealProcessTest {
 protected:
  void SetUp() override {
    if (landlock_abi() == 0 || !runs_end_with_agent()) GTEST_SKIP() << "no keeper here";
  }
};

TEST_F(RunKeeperTest, AKeeperThatEndsIsReplacedAndRunsPreparedWithItStillStart) {
  const std::shared_ptr<const RunKeeper> first = run_keeper();
  auto prepared = prepare_fence({}, {folder_});
  ASSERT_TRUE(prepared.ok()) << prepared.message();
  first->end();
  ASSERT_TRUE(kavor::test::wait_until([&] { return first->ending(); }));

  SpawnRequest request{ProcessDescription{"bash", {"-c", "echo $$"}, {}, "bash"}, folder_, "", ""};
  request.fence_fd = prepared.value()->ruleset_fd();
  request.view = &*prepared.value()->view();
  Result<std::unique_ptr<Child>> started = spawn(request);
  ASSERT_TRUE(started.ok()) << started.message();
  EXPECT_EQ(started.value()->wait(), 0);

  const std::shared_ptr<const RunKeeper> second = run_keeper();
  ASSERT_TRUE(second);
  EXPECT_NE(namespace_of(second->pid_namespace()), namespace_of(first->pid_namespace()));
  const test::Ran later = test::run(test::bash("cat /proc/1/comm", folder_), {},
                                    RunOptions{true, std::make_shared<Fence>(), {folder_}});
  EXPECT_EQ(output(later.outcome), "kavor-keeper\n");
}

// A keeper killed before it could answer is tried again by the next run: only the system's
// refusal turns keeping off.
TEST_F(RunKeeperTest, AKeeperKilledWhileItSetsItselfUpIsMadeAgainLater) {
  const std::shared_ptr<const RunKeeper> old = run_keeper();
  old->end();
  ASSERT_TRUE(kavor::test::wait_until([&] { return !old->alive(); }));
  struct stat own {};
  ASSERT_EQ(::stat("/proc/self/ns/pid", &own), 0);
  start_run_keeper(true);
  // The new keeper is the child of this program in a PID namespace of its own.
  bool killed = false;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(line.substr(close + 2));
    char state = 0;
    long parent = 0;
    fields >> state >> parent;
    struct stat ns {};
    if (parent != ::getpid() || state == 'Z' ||
        ::stat((entry.path() / "ns/pid").c_str(), &ns) != 0 || ns.st_ino == own.st_ino ||
        ns.st_ino == namespace_of(old->pid_namespace())) {
      continue;
    }
    killed = ::kill(static_cast<pid_t>(std::stol(entry.path().filename().string())), SIGKILL) == 0;
  }
  ASSERT_TRUE(killed);
  run_keeper();  // finds the one being made gone
  EXPECT_TRUE(run_keeper());
  EXPECT_TRUE(runs_end_with_agent());
}

// A keeper made while the agent holds much memory executes the program anew: it keeps no copy of
// what the agent writes afterwards.
TEST_F(RunKeeperTest, AKeeperMadeLaterHoldsNoCopyOfTheAgentsMemory) {
  run_keeper()->end();
  constexpr std::size_t kHeld = 256 << 20;
  std::vector<char> held(kHeld, 'a');
  const std::shared_ptr<const RunKeeper> keeper = run_keeper();
  ASSERT_TRUE(keeper);
  std::fill(held.begin(), held.end(), 'b');  // what a copy would now hold apart
  std::ifstream rollup("/proc/" + std::to_string(keeper->pid()) + "/smaps_rollup");
  long private_kb = 0;
  for (std::string key; rollup >> key;) {
    long kb = 0;
    if ((key == "Private_Dirty:" || key == "Private_Clean:") && rollup >> kb) private_kb += kb;
  }
  // A program made anew holds some tens of megabytes of its own (more under the sanitizers); a
  // copy would hold all of what was written.
  EXPECT_LT(private_kb, static_cast<long>(kHeld / 1024 / 2)) << private_kb << " kB";
}

}  // namespace
}  // namespace run_keeper_test
}  // namespace kavor::exec
