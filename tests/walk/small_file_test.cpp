// The bounded reader against what may stand at a name when it is read: a pipe in place of a
// file, a link, a file past the bound, a device that never ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "support/temp_tree.h"
#include "walk/owned_fd.h"
#include "walk/small_file.h"

namespace kavor::walk {
namespace small_file_test {
namespace {

namespace fs = std::filesystem;

TEST(SmallFile, PipesLinksFoldersAndFilesPastTheBoundAreReadOnlyAsAsked) {
  const test::TempTree tree("kavor-small-file");
  tree.add("four", "1234");
  tree.add("five", "12345");
  tree.add("real/notes", "inside");
  tree.add("empty/");
  fs::create_symlink(tree / "four", tree / "link-to-four");
  fs::create_directory_symlink(tree / "real", tree / "linked-folder");
  ASSERT_EQ(::mkfifo((tree / "pipe").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((tree / "held-pipe").c_str(), 0600), 0);
  // A writer that holds the pipe open and says nothing: a blocking read would wait for ever.
  const OwnedFd writer(::open((tree / "held-pipe").c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(writer.valid());

  constexpr ReadRules kFour{4};
  constexpr ReadRules kFourCut{4, AtBound::Cut};
  constexpr ReadRules kFourFollowing{4, AtBound::Refuse, Links::Follow};
  constexpr ReadRules kAnyKind{4, AtBound::Cut, Links::Refuse, true};
  const struct {
    const char* what;
    std::string path;
    ReadRules rules;
    std::string bytes;
    bool cut;
    bool ok;
  } cases[] = {
      {"a file that just fits", tree / "four", kFour, "1234", false, true},
      {"a byte past the bound, refused", tree / "five", kFour, "", false, false},
      {"a byte past the bound, cut", tree / "five", kFourCut, "1234", true, true},
      {"a link at the end", tree / "link-to-four", kFour, "", false, false},
      {"a link on the way", tree / "linked-folder/notes", {16}, "", false, false},
      {"a link followed when asked", tree / "link-to-four", kFourFollowing, "1234", false, true},
      {"a pipe, files only", tree / "pipe", kFour, "", false, false},
      {"a pipe without a writer, any kind", tree / "pipe", kAnyKind, "", false, true},
      {"a pipe whose writer is silent", tree / "held-pipe", kAnyKind, "", false, false},
      {"a device that never ends", "/dev/zero", kAnyKind, std::string(4, '\0'), true, true},
      {"a folder", tree / "empty", kFour, "", false, false},
      {"a missing file", tree / "missing", kFour, "", false, false},
      {"a NUL in the name", tree.path() + std::string("\0/four", 6), kFour, "", false, false},
  };
  for (const auto& c : cases) {
    const FileBytes read = read_small_file(AT_FDCWD, c.path, c.rules);
    EXPECT_EQ(read.ok(), c.ok) << c.what << ": " << read.error;
    EXPECT_EQ(read.bytes, c.bytes) << c.what;
    EXPECT_EQ(read.cut, c.cut) << c.what;
  }
  EXPECT_EQ(read_small_file(AT_FDCWD, tree / "five", kFour).error, EFBIG);
  EXPECT_EQ(read_small_file(AT_FDCWD, tree / "held-pipe", kAnyKind).error, EAGAIN);
  const OwnedFd folder(::open(tree.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  EXPECT_EQ(read_small_file(folder.get(), "real/notes", {16}).bytes, "inside");
}

}  // namespace
}  // namespace small_file_test
}  // namespace kavor::walk
