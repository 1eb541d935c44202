#include "walk/replace_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/temp_tree.h"

namespace kavor::walk {
namespace replace_file_test {
namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& p) {
  return test::read_file(p);
}

mode_t mode_of(const fs::path& p) {
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}

TEST(ReplaceFile, CreatesFoldersKeepsTheModeAndLeavesNoTemporaryBehind) {
  const test::TempTree tree{"kavor-replace"};
  const fs::path base = tree.path();
  const fs::path file = base / "a/b/device.json";
  ReplaceOptions owner;
  owner.mode = 0600;
  owner.folder_mode = 0700;
  ASSERT_EQ(replace_file(file.native(), "first", owner), 0);
  ASSERT_EQ(replace_file(file.native(), "second", owner), 0);
  EXPECT_EQ(read(file), "second");
  EXPECT_EQ(mode_of(file), 0600u);
  EXPECT_EQ(mode_of(base / "a"), 0700u);
  EXPECT_EQ(std::distance(fs::directory_iterator(base / "a/b"), fs::directory_iterator()), 1);

  // The default mode is what the umask leaves of 0666, as for any file the user makes.
  const mode_t mask = ::umask(022);
  ASSERT_EQ(replace_file((base / "plain").native(), "x", ReplaceOptions{}), 0);
  ::umask(mask);
  EXPECT_EQ(mode_of(base / "plain"), 0644u);

  // A file standing where a folder must be: the system's reason, and the file stays as it was.
  EXPECT_EQ(replace_file((base / "plain/x").native(), "y"), ENOTDIR);
  EXPECT_EQ(read(base / "plain"), "x");
}

TEST(ReplaceFile, LinksAtTheTargetTheTemporaryNameOrOnTheWayAreNeverWrittenThrough) {
  const test::TempTree tree{"kavor-replace"};
  const fs::path base = tree.path();
  fs::create_directories(base / "ws");
  fs::create_directories(base / "outside");
  std::ofstream(base / "outside/secret") << "secret";

  // A link at the target is replaced by the new file.
  fs::create_symlink(base / "outside/secret", base / "ws/notes.md");
  ASSERT_EQ(replace_file((base / "ws/notes.md").native(), "new"), 0);
  EXPECT_FALSE(fs::is_symlink(base / "ws/notes.md"));
  EXPECT_EQ(read(base / "outside/secret"), "secret");

  // A link on the folder's path is refused unless the caller trusts it.
  fs::create_symlink(base / "outside", base / "ws/linked");
  EXPECT_NE(replace_file((base / "ws/linked/secret").native(), "x"), 0);  // ELOOP or ENOTDIR
  EXPECT_EQ(read(base / "outside/secret"), "secret");
  ReplaceOptions trusting;
  trusting.folder_links = true;
  ASSERT_EQ(replace_file((base / "ws/linked/other").native(), "o", trusting), 0);
  EXPECT_EQ(read(base / "outside/other"), "o");

  // A link at a fixed temporary name is refused and removed; the next save succeeds.
  ReplaceOptions fixed;
  fixed.temporary = "save.tmp";
  fs::create_symlink(base / "outside/secret", base / "ws/save.tmp");
  EXPECT_EQ(replace_file((base / "ws/save").native(), "x", fixed), ELOOP);
  EXPECT_FALSE(fs::exists(fs::symlink_status(base / "ws/save.tmp")));
  EXPECT_EQ(read(base / "outside/secret"), "secret");
  EXPECT_EQ(replace_file((base / "ws/save").native(), "x", fixed), 0);
  EXPECT_EQ(read(base / "ws/save"), "x");
}

}  // namespace
}  // namespace replace_file_test
}  // namespace kavor::walk
