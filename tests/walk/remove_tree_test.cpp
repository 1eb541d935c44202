// The tree removal against what a command may leave in the folder removed after it: links out
// of it, folders it made unreadable, nesting past the descriptors one removal holds.
#include "walk/remove_tree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_tree.h"

namespace kavor::walk {
namespace remove_tree_test {
namespace {

namespace fs = std::filesystem;

TEST(RemoveTree, LinksLoseOnlyThemselvesAndLockedOrDeepFoldersGoToo) {
  const test::TempTree tree("kavor-remove-tree");
  tree.add("outside/kept", "keep me");
  const auto kept = [&] { return test::read_file(tree / "outside/kept") == "keep me"; };
  // Nesting past the descriptors one removal holds.
  std::string deep = "deep";
  for (std::size_t level = 0; level < kRemovalDepth + 8; ++level) deep += "/d";
  tree.add(deep + "/file");

  const struct {
    const char* what;
    void (*make)(const test::TempTree& tree);
    std::string removed;
  } cases[] = {
      {"links to a folder and a file outside",
       [](const test::TempTree& t) {
         t.add("links/sub/");
         fs::create_directory_symlink(t / "outside", t / "links/sub/away");
         fs::create_symlink(t / "outside/kept", t / "links/file");
       },
       "links"},
      {"a folder made unreadable and unwritable",
       [](const test::TempTree& t) {
         t.add("locked/a/b/file");
         fs::permissions(t / "locked/a", fs::perms::none);
       },
       "locked"},
      {"a tree deeper than the descriptors held", [](const test::TempTree&) {}, "deep"},
  };
  for (const auto& c : cases) {
    c.make(tree);
    remove_tree_no_follow(tree / c.removed);
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree / c.removed))) << c.what;
    EXPECT_TRUE(kept()) << c.what;
  }
  // A link given as the folder to remove is not followed.
  fs::create_directory_symlink(tree / "outside", tree / "named-link");
  remove_tree_no_follow(tree / "named-link");
  EXPECT_TRUE(fs::is_symlink(tree / "named-link"));
  EXPECT_TRUE(kept());
}

}  // namespace
}  // namespace remove_tree_test
}  // namespace kavor::walk
