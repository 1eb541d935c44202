// What a fenced command, or another account, can do to the folder made ahead for the next
// fenced run while it waits in the temporary folder's parent, where anyone may list it.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "exec/fence.h"
#include "exec/run_folders.h"
#include "run_support.h"

namespace kavor::exec {
namespace run_folders_test {
namespace {

using test::first_line;
using test::output;
using test::RealProcessTest;

// Waits for the folder made ahead of the next run to show up beside the command's own, and
// writes its name to the workspace file "spare"; then runs `then` with it in $S.
std::string find_spare_then(const std::string& then) {
  return "p=$(dirname \"$TMPDIR\"); for i in $(seq 200); do "
         "S=$(ls -d \"$p\"/kavor-agent-run-* | grep -vxF \"$TMPDIR\" | head -1); "
         "[ -n \"$S\" ] && break; sleep 0.02; done; echo \"$S\" > spare; " +
         then;
}

class RunFoldersTest : public RealProcessTest {
 protected:
  void SetUp() override {
    if (landlock_abi() == 0) GTEST_SKIP() << "the kernel offers no Landlock";
    fs::create_directories(ws_);
    fs::create_directories(home_);
    fs::create_directories(parent_);
    if (const char* old = std::getenv("TMPDIR")) old_temp_ = old;
    ::setenv("TMPDIR", parent_.c_str(), 1);
    // A folder waiting elsewhere from an earlier test is spent; the next one is made here.
    (void)prepare_fence({}, {ws_});
  }
  void TearDown() override {
    remove_live_run_folders(std::chrono::seconds(1));
    if (old_temp_) {
      ::setenv("TMPDIR", old_temp_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    std::system(("chmod -R u+rwx '" + parent_.string() + "' 2>/dev/null").c_str());
    RealProcessTest::TearDown();
  }

  test::Ran fenced(const std::string& script) {
    const test::HomeFor home(home_);
    return test::run(test::bash(script, ws_), {},
                     RunOptions{true, std::make_shared<Fence>(), {ws_}});
  }

  fs::path ws_ = folder_ / "ws";
  fs::path home_ = folder_ / "home";
  fs::path parent_ = folder_ / "tmp";
  std::optional<std::string> old_temp_;
};

// The folder made while a run runs is the next run's, when it is still as it was made; one
// swapped for a link is passed over, and the link is left as it is.
TEST_F(RunFoldersTest, AFolderMadeAheadIsTakenOnlyAsItWasMade) {
  ASSERT_TRUE(fenced(find_spare_then("true")).outcome.ok());
  const std::string made = first_line(ws_ / "spare");
  ASSERT_FALSE(made.empty());
  EXPECT_EQ(fs::status(made).permissions(), fs::perms::owner_all);
  ASSERT_TRUE(fenced("echo \"$TMPDIR\" > where").outcome.ok());
  EXPECT_EQ(first_line(ws_ / "where"), made);

  ASSERT_TRUE(fenced(find_spare_then("true")).outcome.ok());
  const std::string swapped = first_line(ws_ / "spare");
  const fs::path outside = folder_ / "outside";
  fs::create_directories(outside);
  fs::remove(swapped);
  fs::create_directory_symlink(outside, swapped);
  const test::Ran ran = fenced("echo \"$TMPDIR\" > where; touch \"$TMPDIR/x\"");
  EXPECT_TRUE(ran.outcome.ok()) << output(ran.outcome);
  EXPECT_NE(first_line(ws_ / "where"), swapped);
  EXPECT_TRUE(fs::is_symlink(swapped));
  EXPECT_FALSE(fs::exists(outside / "x"));
}

// Landlock has no right for changing a file's mode, so a fenced command may chmod the folder
// waiting for the next run. The next preparation then rightly passes it over, but also drops it
// from the folders the program's end removes, and the agent's own later runs never sweep a
// folder named after their own process: it outlives the agent (world-writable, if the command
// made it so).
TEST_F(RunFoldersTest, AFolderMadeAheadThatAFencedCommandChangedOutlivesTheAgent) {
  const test::Ran first = fenced(find_spare_then("chmod 777 \"$S\""));
  ASSERT_TRUE(first.outcome.ok()) << output(first.outcome);
  const std::string spare = first_line(ws_ / "spare");
  ASSERT_FALSE(spare.empty());
  EXPECT_EQ(fs::status(spare).permissions(), fs::perms::all);  // the fence let it change

  const test::Ran second = fenced("echo \"$TMPDIR\" > where");
  ASSERT_TRUE(second.outcome.ok()) << output(second.outcome);
  EXPECT_NE(first_line(ws_ / "where"), spare);
  remove_live_run_folders(std::chrono::seconds(1));  // what the program's end does
  EXPECT_FALSE(fs::exists(fs::symlink_status(spare))) << spare << " outlived the agent";
}

// The check on taking a waiting folder looks at the folder alone, never at what is in it. A
// fenced command opens it to everyone for a moment (chmod is not fenced), another account puts
// a folder of its own inside, the command closes it again: the next run is given that folder
// as its private $TMPDIR, with an entry of the other account in it.
TEST_F(RunFoldersTest, TheNextRunsFolderHoldsNothingOfAnotherAccount) {
  if (::geteuid() != 0) GTEST_SKIP() << "playing another account takes root";
  fs::permissions(folder_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(parent_, fs::perms::all | fs::perms::sticky_bit);
  const std::string planted_by = parent_.string();
  const pid_t other = ::fork();
  if (other == 0) {
    // Another account: waits for any run folder it may write in, and plants a folder there.
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    for (int i = 0; i < 500; ++i) {
      if (DIR* dir = ::opendir(planted_by.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
          const std::string name = entry->d_name;
          if (name.rfind("kavor-agent-run-", 0) != 0) continue;
          if (::mkdir((planted_by + "/" + name + "/planted").c_str(), 0777) == 0) ::_exit(0);
        }
        ::closedir(dir);
      }
      ::usleep(20000);
    }
    ::_exit(1);
  }
  const test::Ran first = fenced(find_spare_then(
      "chmod 777 \"$S\"; for i in $(seq 300); do [ -e \"$S/planted\" ] && break; sleep 0.02; "
      "done; chmod 700 \"$S\""));
  ASSERT_TRUE(first.outcome.ok()) << output(first.outcome);
  int status = 0;
  ::waitpid(other, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other account planted nothing";
  const std::string spare = first_line(ws_ / "spare");

  const test::Ran second = fenced(
      "echo \"$TMPDIR\" > where; ls -A \"$TMPDIR\" | grep -vx '[.]X[0-9]*-lock' > listing; "
      "stat -c %u \"$TMPDIR/planted\" > owner 2>/dev/null; true");
  ASSERT_TRUE(second.outcome.ok()) << output(second.outcome);
  // Without the fault the changed folder is passed over and the run gets a new, empty one.
  SCOPED_TRACE(first_line(ws_ / "where") == spare ? "the changed folder was taken" : "");
  EXPECT_EQ(first_line(ws_ / "listing"), "") << "owner " << first_line(ws_ / "owner");
}

}  // namespace
}  // namespace run_folders_test
}  // namespace kavor::exec
