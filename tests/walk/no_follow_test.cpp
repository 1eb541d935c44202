#include "walk/no_follow.h"
#include "support/temp_tree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace kavor::walk {
namespace no_follow_test {
namespace {

namespace fs = std::filesystem;

TEST(NoFollow, ALinkAnywhereOnTheWayIsRefusedAndNothingIsCreatedThroughOne) {
  const test::TempTree tree("kavor-no-follow");
  const fs::path base = tree.path();
  fs::create_directories(base / "real" / "deep");
  fs::create_directories(base / "elsewhere");
  std::ofstream(base / "real" / "deep" / "f.txt") << "f";
  std::ofstream(base / "elsewhere" / "f.txt") << "e";
  fs::create_symlink(base / "elsewhere", base / "real" / "link");
  fs::create_symlink(base / "real" / "deep" / "f.txt", base / "real" / "file-link");

  const auto opens = [](const fs::path& p, int flags) {
    const int fd = open_no_follow(AT_FDCWD, p.native(), flags);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
  };
  EXPECT_TRUE(opens(base / "real" / "deep" / "f.txt", O_RDONLY));
  EXPECT_TRUE(opens(base / "real" / "deep", O_RDONLY | O_DIRECTORY));
  EXPECT_FALSE(opens(base / "real" / "link" / "f.txt", O_RDONLY));  // a folder on the way
  EXPECT_FALSE(opens(base / "real" / "file-link", O_RDONLY));       // the last component
  EXPECT_FALSE(opens(base / "real" / "link", O_RDONLY | O_DIRECTORY));
  EXPECT_FALSE(opens(base / "real" / "missing", O_RDONLY));
  EXPECT_EQ(errno, ENOENT);
  const int dir = ::open(base.c_str(), O_PATH | O_DIRECTORY);
  const int rel = open_no_follow(dir, "real/deep/f.txt", O_RDONLY);
  EXPECT_GE(rel, 0);
  ::close(rel);
  EXPECT_LT(open_no_follow(dir, "real/link/f.txt", O_RDONLY), 0);
  ::close(dir);

  const int made = open_folder_creating((base / "real" / "new" / "er").native());
  EXPECT_GE(made, 0);
  ::close(made);
  EXPECT_TRUE(fs::is_directory(base / "real" / "new" / "er"));
  EXPECT_LT(open_folder_creating((base / "real" / "link" / "planted").native()), 0);
  EXPECT_FALSE(fs::exists(base / "elsewhere" / "planted"));
  // A NUL would cut the name the system reads short of the one checked.
  using namespace std::string_literals;
  const std::string cut = (base / "real").native() + "\0/new/nul"s;
  EXPECT_LT(open_no_follow(AT_FDCWD, cut, O_RDONLY | O_DIRECTORY), 0);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_LT(open_folder_creating(cut), 0);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(fs::exists(base / "real" / "new" / "nul"));
  fs::remove_all(base);
}

}  // namespace
}  // namespace no_follow_test
}  // namespace kavor::walk
