#include "mention/walk_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "tree.h"

namespace kavor::mention {
namespace rules_test {
namespace {

using test::TempTree;

// Recorded paths of a walk, sorted; folders end in "/".
std::vector<std::string> recorded(const WalkRequest& request, WalkOutcome* outcome = nullptr) {
  std::vector<std::string> out;
  const WalkOutcome o =
      walk_entries(request, [&](Entry e) { out.push_back(e.path + (e.is_dir ? "/" : "")); });
  if (outcome) *outcome = o;
  std::sort(out.begin(), out.end());
  return out;
}

bool has(const std::vector<std::string>& list, const std::string& path) {
  return std::find(list.begin(), list.end(), path) != list.end();
}

TEST(Rules, FolderTableWithItsConditions) {
  TempTree t;
  t.add_all({"proj/app.csproj",
             "proj/bin/a",
             "proj/OBJ/x",
             "lib/bin/b",
             "sln/all.SLN",
             "sln/bin/c",
             "py/env/pyvenv.cfg",
             "py/env/lib.py",
             "py2/env/x",
             "ex/mix.exs",
             "ex/deps/x",
             "ex2/deps/y",
             "NODE_MODULES/x",
             "Vendor/x",
             "pkg.egg-info/x",
             "Pkg.EGG-INFO/y",
             "src/target/t",
             "app/storage/framework/x",
             "app/storage/frameworks/x",
             "storage/framework/z",
             "xstorage/framework/q",
             "web/wp-content/cache/c",
             "a/var/log/l",
             ".hidden/file",
             ".git/config",
             ".gitignore",
             ".hg/h"});
  const auto list = recorded({t.path(), ""});
  for (const char* skipped :
       {"proj/bin/", "proj/OBJ/", "sln/bin/", "py/env/", "ex/deps/", "NODE_MODULES/", "Vendor/",
        "pkg.egg-info/", "Pkg.EGG-INFO/", "src/target/", "app/storage/framework/",
        "storage/framework/", "web/wp-content/cache/", "a/var/log/", ".git/", ".hg/"})
    EXPECT_FALSE(has(list, skipped)) << skipped;
  for (const char* kept :
       {"lib/bin/", "lib/bin/b", "py2/env/", "py2/env/x", "ex2/deps/", "ex2/deps/y",
        "app/storage/frameworks/", "app/storage/frameworks/x", "xstorage/framework/",
        "xstorage/framework/q", ".hidden/", ".hidden/file", ".gitignore", "proj/app.csproj"})
    EXPECT_TRUE(has(list, kept)) << kept;
  EXPECT_FALSE(has(list, "py/env/lib.py"));

  // The same test for a folder typed in a search: by name first, then the disk.
  EXPECT_TRUE(folder_name_may_be_skipped("node_modules"));
  EXPECT_TRUE(folder_name_may_be_skipped("BIN"));
  EXPECT_TRUE(folder_name_may_be_skipped("x.egg-info"));
  EXPECT_FALSE(folder_name_may_be_skipped("src"));
  EXPECT_TRUE(is_skipped_folder("bin", "proj/bin", t / "proj/bin"));
  EXPECT_FALSE(is_skipped_folder("bin", "lib/bin", t / "lib/bin"));
}

TEST(Rules, SkippedFilesByNameAndExtension) {
  for (const char* name : {"a.zip", "LIB.SO", "x.tar.gz", ".DS_Store", "thumbs.DB", "x.o",
                           "App.Class", "b.7z", "lib.a"})
    EXPECT_TRUE(is_skipped_file(name)) << name;
  for (const char* name : {".o", "notes.txt", "archive.zip.txt", "zip", "a.", "o"})
    EXPECT_FALSE(is_skipped_file(name)) << name;
}

TEST(Rules, IgnoreFilesOfTheTreeAndAboveItAlsoOutsideARepository) {
  TempTree t;
  // No repository anywhere: the parent folder's .gitignore still counts.
  t.add("outer/.gitignore", "secret.txt\n");
  t.add_all({"outer/ws/secret.txt", "outer/ws/a.log", "outer/ws/keep.log", "outer/ws/sub/b.log",
             "outer/ws/sub/c.txt", "outer/ws/.env"});
  t.add("outer/ws/.gitignore", "*.log\n");
  t.add("outer/ws/.ignore", "!keep.log\n");  // .ignore wins over .gitignore
  const auto list = recorded({t / "outer/ws", ""});
  EXPECT_EQ(list, (std::vector<std::string>{".env", ".gitignore", ".ignore", "keep.log", "sub/",
                                            "sub/c.txt"}));
  // A rescan of a sub-folder sees the rules of the folders above it.
  EXPECT_EQ(recorded({t / "outer/ws", "sub"}), (std::vector<std::string>{"sub/c.txt"}));

  // Inside a repository its exclude file counts as well.
  TempTree repo;
  repo.add(".git/info/exclude", "excluded.txt\n");
  repo.add_all({"excluded.txt", "kept.txt"});
  EXPECT_EQ(recorded({repo.path(), ""}), (std::vector<std::string>{"kept.txt"}));
}

TEST(Rules, LinksDepthLengthNamesAndTheEntryCap) {
  TempTree t;
  t.add_all({"real/inside.txt"});
  ASSERT_EQ(symlink("real", (t / "link").c_str()), 0);
  ASSERT_EQ(symlink(".", (t / "real/loop").c_str()), 0);
  std::string deep;
  for (int i = 1; i <= 30; ++i) deep += (i > 1 ? "/" : "") + std::string("d");
  t.add(deep + "/");
  // Five components of 250 bytes: longer than 1024 bytes from the fourth on.
  std::string longer;
  for (int i = 0; i < 5; ++i) longer += (i > 0 ? "/" : "") + std::string(250, 'L');
  t.add(longer + "/f");
  t.add(std::string("bad\xFFname/x"));

  WalkOutcome outcome;
  const auto list = recorded({t.path(), ""}, &outcome);
  EXPECT_TRUE(has(list, "link"));       // a link to a folder is a file, not entered
  EXPECT_TRUE(has(list, "real/loop"));  // a loop is not followed
  EXPECT_FALSE(has(list, "link/inside.txt"));
  std::size_t deepest = 0;
  std::size_t longest = 0;
  for (const std::string& p : list) {
    if (p[0] == 'd') deepest = std::max<std::size_t>(deepest, std::count(p.begin(), p.end(), '/'));
    longest = std::max(longest, p.size() - (p.back() == '/' ? 1 : 0));
    EXPECT_EQ(p.find("bad"), std::string::npos);
  }
  EXPECT_EQ(deepest, 24u);  // "d/.../d/" at depth 24: 23 separators and the trailing one
  EXPECT_LE(longest, kMaxPathBytes);
  EXPECT_TRUE(has(list, std::string(250, 'L') + "/"));
  EXPECT_FALSE(outcome.truncated);

  // A rescan starting at depth 3 may go 21 levels further, no deeper than a full walk.
  EXPECT_EQ(depth_limit_below("d/d/d"), 21u);
  EXPECT_EQ(depth_limit_below(deep), 1u);
  const auto below = recorded({t.path(), "d/d/d", depth_limit_below("d/d/d")});
  EXPECT_EQ(below.back().size(), deep.substr(0, 2 * 24 - 1).size() + 1);

  // The cap stops the walk on the entry that reaches it.
  const auto capped = recorded({t.path(), "", kMaxDepth, 5}, &outcome);
  EXPECT_EQ(capped.size(), 5u);
  EXPECT_TRUE(outcome.truncated);
}

// Sharing the top folders among threads changes who walks, not what is recorded, in which
// order, or where the cap cuts.
TEST(Rules, ASharedWalkRecordsWhatThePlainWalkRecordsInItsOrder) {
  TempTree t;
  t.add(".gitignore", "*.log\n");
  for (const char* p : {"a.txt", "b/x.c", "b/y.log", "b/c/d/e.txt", "c0/", "d/1", "d/2", "d/3",
                        "e.md", "f/g/h/i", "f/g/j", "node_modules/k", "z/last"})
    t.add(p);
  const auto sequence = [&](unsigned threads, std::size_t cap, WalkOutcome* outcome) {
    std::vector<std::string> out;
    const WalkRequest request{t.path(), "", kMaxDepth, cap};
    *outcome = threads == 0
                   ? walk_entries(request, [&](Entry e) { out.push_back(e.path); })
                   : walk_entries_shared(request, threads, [&](Entry e) { out.push_back(e.path); });
    return out;
  };
  WalkOutcome plain_outcome;
  const auto plain = sequence(0, kMaxEntries, &plain_outcome);
  ASSERT_EQ(plain.size(), 20u);
  for (unsigned threads : {1u, 2u, 4u}) {
    for (std::size_t cap : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{19},
                            std::size_t{20}, kMaxEntries}) {
      WalkOutcome a;
      WalkOutcome b;
      EXPECT_EQ(sequence(threads, cap, &a), sequence(0, cap, &b)) << threads << " " << cap;
      EXPECT_EQ(a.truncated, b.truncated) << threads << " " << cap;
      EXPECT_EQ(a.recorded, b.recorded) << threads << " " << cap;
    }
  }
  // Cancelled from the start: nothing below the top is walked.
  std::atomic<std::size_t> calls = 0;  // asked from the walk's threads
  WalkRequest stopped{t.path(), "", kMaxDepth, kMaxEntries, [&] { return ++calls > 12; }};
  std::vector<std::string> some;
  const WalkOutcome o = walk_entries_shared(stopped, 2, [&](Entry e) { some.push_back(e.path); });
  EXPECT_TRUE(o.cancelled);
  EXPECT_LT(some.size(), plain.size());
}

}  // namespace
}  // namespace rules_test
}  // namespace kavor::mention
