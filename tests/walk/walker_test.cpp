#include "walk/walker.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "support/command_output.h"
#include "support/temp_tree.h"

namespace kavor::walk {
namespace walker_test {
namespace {

namespace fs = std::filesystem;

// Reported paths in walk order; folders end in "/", links in "@".
std::vector<std::string> listing(const std::string& start, const WalkOptions& options,
                                 WalkResult* result = nullptr) {
  std::vector<std::string> out;
  const WalkResult r = walk(start, options, [&out](const WalkEntry& e) {
    out.push_back(std::string(e.rel) + (e.is_dir ? "/" : e.is_link ? "@" : ""));
    return WalkNext::Continue;
  });
  if (result) *result = r;
  return out;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(Walker, OrderHiddenEntriesLinksAndFixedSkips) {
  test::TempTree dir;
  for (const char* f : {"b.txt", "B.txt", "a/z.txt", "a/.hidden", "a.txt", ".dot/x", "a b/c", "_",
                        ".git/config", "node_modules/p/i.js", "sub/node_modules"})
    test::write_file(dir / f);
  test::write_file(dir / "sub/file.txt", "12345");
  ASSERT_EQ(symlink("sub", (dir / "link-to-dir").c_str()), 0);
  ASSERT_EQ(symlink("missing", (dir / "dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);  // never reported: reading it could block

  WalkOptions options;
  options.report_folders = true;
  EXPECT_EQ(listing(dir.path() + "/", options),
            (std::vector<std::string>{".dot/", ".dot/x", "B.txt", "_", "a/", "a/.hidden", "a/z.txt",
                                      "a b/", "a b/c", "a.txt", "b.txt", "dangling@",
                                      "link-to-dir@", "sub/", "sub/file.txt"}));

  options.stat_entries = true;
  options.skip_names.clear();
  int checked = 0;
  walk(dir.path(), options, [&](const WalkEntry& e) {
    if (e.rel == "sub/file.txt") {
      EXPECT_EQ(e.abs, dir.path() + "/sub/file.txt");
      EXPECT_EQ(e.name, "file.txt");
      EXPECT_EQ(e.depth, 2u);
      EXPECT_EQ(e.size, 5u);
      EXPECT_GT(e.mtime_sec, 1'600'000'000);
      ++checked;
    }
    if (e.rel == ".git/config" || e.rel == "node_modules/p/i.js" || e.rel == "sub/node_modules")
      ++checked;  // with no fixed skips they come back
    return WalkNext::Continue;
  });
  EXPECT_EQ(checked, 4);
}

TEST(Walker, LimitsStopsAndFilters) {
  test::TempTree dir;
  for (const char* f : {"a/b/c/d.txt", "a/b/e.txt", "a/f.txt", "g.txt", "skip/h.txt"})
    test::write_file(dir / f);
  WalkOptions options;
  options.report_folders = true;

  options.max_depth = 2;
  EXPECT_EQ(listing(dir.path(), options),
            (std::vector<std::string>{"a/", "a/b/", "a/f.txt", "g.txt", "skip/", "skip/h.txt"}));

  options.max_depth = kUnlimited;
  options.max_entries = 3;
  WalkResult r;
  EXPECT_EQ(listing(dir.path(), options, &r), (std::vector<std::string>{"a/", "a/b/", "a/b/c/"}));
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(r.reported, 3u);
  // Reaching the cap ends the walk as truncated even when nothing was left.
  options.max_entries = 9;
  EXPECT_EQ(listing(dir.path(), options, &r).size(), 9u);
  EXPECT_TRUE(r.truncated);
  options.max_entries = 10;
  EXPECT_EQ(listing(dir.path(), options, &r).size(), 9u);
  EXPECT_FALSE(r.truncated);
  options.max_entries = kUnlimited;

  std::vector<std::string> asked;
  options.skip_folder = [&asked, &dir](std::string_view name, std::string_view rel,
                                       std::string_view abs) {
    asked.push_back(std::string(name) + "|" + std::string(rel));
    EXPECT_EQ(abs, dir.path() + "/" + std::string(rel));
    return name == "skip" || rel == "a/b";
  };
  EXPECT_EQ(listing(dir.path(), options), (std::vector<std::string>{"a/", "a/f.txt", "g.txt"}));
  EXPECT_EQ(asked, (std::vector<std::string>{"a|a", "b|a/b", "skip|skip"}));
  options.skip_folder = nullptr;

  int seen = 0;
  r = walk(dir.path(), options,
           [&seen](const WalkEntry&) { return ++seen == 2 ? WalkNext::Stop : WalkNext::Continue; });
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(seen, 2);

  int checks = 0;
  options.cancelled = [&checks]() { return ++checks > 4; };
  r = walk(dir.path(), options, [](const WalkEntry&) { return WalkNext::Continue; });
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(r.reported, 4u);

  r = walk(dir / "missing", WalkOptions{}, [](const WalkEntry&) { return WalkNext::Continue; });
  EXPECT_TRUE(r.start_failed);
  r = walk(dir / "g.txt", WalkOptions{}, [](const WalkEntry&) { return WalkNext::Continue; });
  EXPECT_TRUE(r.start_failed);
}

TEST(Walker, FoldersThatVanishOrCannotBeReadAreSkipped) {
  test::TempTree dir;
  test::write_file(dir / "a/x.txt");
  test::write_file(dir / "b/y.txt");
  test::write_file(dir / "c/z.txt");
  WalkOptions options;
  options.report_folders = true;
  std::vector<std::string> seen;
  walk(dir.path(), options, [&seen, &dir](const WalkEntry& e) {
    seen.emplace_back(e.rel);
    if (e.rel == "b") fs::remove_all(dir / "b");  // gone before it is entered
    return WalkNext::Continue;
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "a/x.txt", "b", "c", "c/z.txt"}));

  if (geteuid() != 0) {  // permissions do not stop the superuser
    ASSERT_EQ(chmod((dir / "a").c_str(), 0), 0);
    EXPECT_EQ(listing(dir.path(), WalkOptions{}), (std::vector<std::string>{"c/z.txt"}));
    chmod((dir / "a").c_str(), 0700);
  }
}

TEST(Walker, DeepTreesBeyondTheHeldFolderLimit) {
  test::TempTree dir;
  std::string rel;
  for (int i = 0; i < 150; ++i) rel += "d/";
  test::write_file(dir / (rel + "leaf.txt"));
  test::write_file(dir / (rel.substr(0, 100) + ".gitignore"), "leaf.txt\n");
  test::write_file(dir / (rel.substr(0, 100) + "x/leaf.txt"));
  EXPECT_EQ(listing(dir.path(), WalkOptions{}),
            (std::vector<std::string>{rel.substr(0, 100) + ".gitignore"}));
}

// Ignore files come with the workspace, so they may be built to hurt: a file of hundreds of
// thousands of rules in each of several nested folders is passed over whole (its "*.log" does
// not apply), while a small file below still does.
TEST(Walker, IgnoreFilesWithMillionsOfRulesArePassedOver) {
  test::TempTree dir;
  std::string huge;
  for (int i = 0; i < 300'000; ++i) huge += "a\n";
  std::string rel;
  for (; rel.size() < 8; rel += "d/")
    test::write_file(dir / (rel + ".gitignore"), huge + "*.log\n");
  test::write_file(dir / (rel + ".gitignore"), "*.log\n");
  for (const char* name : {"kept.log", "d/kept.log", "d/d/d/d/dropped.log"})
    test::write_file(dir / name);
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const auto listed = listing(dir.path(), WalkOptions{});
  getrusage(RUSAGE_SELF, &after);
  EXPECT_EQ(listed, (std::vector<std::string>{".gitignore", "d/.gitignore", "d/d/.gitignore",
                                              "d/d/d/.gitignore", "d/d/d/d/.gitignore",
                                              "d/kept.log", "kept.log"}));
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "kilobytes more at the peak";
}

TEST(Walker, IgnoreFilesOfTheTreeAndOfParentFolders) {
  test::TempTree dir;
  const std::string repo = dir / "repo";
  test::write_file(repo + "/.gitignore", "*.log\nsecret/\n");
  test::write_file(repo + "/sub/.gitignore", "!keep.log\n/local.txt\n");
  test::write_file(repo + "/sub/.ignore", "*.gen\n");
  for (const char* f : {"sub/a.log", "sub/keep.log", "sub/local.txt", "sub/x/local.txt",
                        "sub/secret/s.txt", "sub/code.gen", "sub/code.c"})
    test::write_file(repo + "/" + f);
  WalkOptions options;
  options.repository_rules = false;

  // Outside a git work tree only the walked tree's own files count by default.
  EXPECT_EQ(sorted(listing(repo + "/sub", options)),
            (std::vector<std::string>{".gitignore", ".ignore", "a.log", "code.c", "code.gen",
                                      "keep.log", "secret/s.txt", "x/local.txt"}));
  // Naming an ignore root brings in the files of the folders above the start.
  options.ignore_root = dir.path();
  EXPECT_EQ(sorted(listing(repo + "/sub", options)),
            (std::vector<std::string>{".gitignore", ".ignore", "code.c", "code.gen", "keep.log",
                                      "x/local.txt"}));
  options.ignore_file_names = {".gitignore", ".ignore"};
  EXPECT_EQ(
      sorted(listing(repo + "/sub", options)),
      (std::vector<std::string>{".gitignore", ".ignore", "code.c", "keep.log", "x/local.txt"}));
  // An ignore root that does not contain the start is not used.
  options.ignore_root = repo + "/sub/x";
  EXPECT_EQ(listing(repo + "/sub", options).size(), 7u);

  // Inside a work tree the parents up to its root count, and so does info/exclude.
  options = WalkOptions{};
  test::write_file(repo + "/.git/info/exclude", "# local\ncode.c\n");
  EXPECT_EQ(
      sorted(listing(repo + "/sub", options)),
      (std::vector<std::string>{".gitignore", ".ignore", "code.gen", "keep.log", "x/local.txt"}));
  // A start inside an excluded folder is still walked; the rules apply below it.
  test::write_file(repo + "/secret/a.txt");
  test::write_file(repo + "/secret/b.log");
  EXPECT_EQ(listing(repo + "/secret", options), (std::vector<std::string>{"a.txt"}));
}

TEST(Walker, ExcludeFileOfALinkedWorkTree) {
  test::TempTree dir;
  test::write_file(dir / "main/.git/info/exclude", "*.bak\n");
  test::write_file(dir / "main/.git/worktrees/wt/commondir", "../..\n");
  test::write_file(dir / "wt/.git", "gitdir: " + (dir / "main/.git/worktrees/wt") + "\n");
  test::write_file(dir / "wt/a.bak");
  test::write_file(dir / "wt/a.c");
  EXPECT_EQ(listing(dir / "wt", WalkOptions{}), (std::vector<std::string>{"a.c"}));
  test::write_file(dir / "sm/.git", "gitdir: ../main/.git\n");  // relative pointer, no commondir
  test::write_file(dir / "sm/b.bak");
  test::write_file(dir / "sm/b.c");
  EXPECT_EQ(listing(dir / "sm", WalkOptions{}), (std::vector<std::string>{"b.c"}));
}

// The repository's own exclude file may be a link (to rules kept elsewhere), and git follows
// it; an ignore file inside the walked tree that is a link is passed over, as git passes it.
TEST(Walker, TheExcludeFileIsReadThroughALinkTheTreesIgnoreFilesAreNot) {
  test::TempTree dir;
  test::write_file(dir / "rules/exclude", "*.bak\n");
  test::write_file(dir / "rules/ignore", "*.c\n");
  test::write_file(dir / "repo/.git/info/.keep");
  ASSERT_EQ(symlink("../../../rules/exclude", (dir / "repo/.git/info/exclude").c_str()), 0);
  ASSERT_EQ(symlink("../rules/ignore", (dir / "repo/.gitignore").c_str()), 0);
  test::write_file(dir / "repo/a.bak");
  test::write_file(dir / "repo/a.c");
  EXPECT_EQ(listing(dir / "repo", WalkOptions{}), (std::vector<std::string>{".gitignore@", "a.c"}));
}

// ---- Agreement with git on generated trees ----

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> out;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find(separator, start), text.size());
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// Random trees of names that the rules below aim at, with ignore files in half the folders.
class TreeGenerator {
 public:
  explicit TreeGenerator(unsigned seed) : rng_(seed) {}

  void folder(const std::string& path, int depth) {
    static const auto files = split(
        "a.txt|b.log|keep.log|main.c|x.o|lib.a|README.md|notes.md|.env|.hidden|"
        "file with spaces.txt|#hash.txt|!important!.txt|trailing.txt|1.tmp|data.json|abc|a?c|"
        "weird[1].txt|caf\xC3\xA9.txt|x |x",
        '|');
    static const auto folders =
        split("src|lib|build|docs|tmp|logs|a b|.cache|x|sub|keep|out|node_modules|xsrc|srcx", '|');
    fs::create_directories(path);
    for (unsigned i = 0, n = pick(6); i < n; ++i) {
      const std::string file = path + "/" + files[pick(files.size())];
      if (!fs::exists(file)) test::write_file(file, "x");
    }
    if (pick(8) == 0) {
      const std::string link = path + "/" + (pick(2) ? "link" : folders[pick(folders.size())]);
      std::error_code ec;
      if (!fs::exists(fs::symlink_status(link)))
        fs::create_symlink(pick(2) ? "." : "a.txt", link, ec);
    }
    if (pick(2) == 0) test::write_file(path + "/.gitignore", rules(1 + pick(6)));
    if (depth >= 4) return;
    for (unsigned i = 0, n = pick(depth == 0 ? 5 : 4); i < n; ++i) {
      const std::string sub = path + "/" + folders[pick(folders.size())];
      const auto status = fs::symlink_status(sub);
      if (!fs::exists(status) || fs::is_directory(status)) folder(sub, depth + 1);
    }
  }

 private:
  std::size_t pick(std::size_t n) { return rng_() % n; }

  std::string rules(std::size_t count) {
    static const auto pool = split(
        "*.log|!keep.log|/build|build/|**/tmp|docs/**/*.md|*.o|!x.o|logs/**|!logs/keep.log|"
        "\\#hash.txt|\\!important!.txt|trailing.txt   |*.[oa]|[!a]*.md|[[:digit:]]*|/*.txt|"
        "src/*.c|x/|!x/|sub/**/a.txt|*|!*/|!*.c|.env|.*|!.gitignore|a b/|*.txt|!src/|**/keep|"
        "keep/**|!keep/a.txt|# comment||file with spaces.txt|out/|!/out/|README.md|!README.md|"
        "lib/|!lib/main.c|weird\\[1\\].txt|*.json|**/src/**|a?c|notes.*|doc*/|/sub/|"
        "!sub/*.md|!/*/|!**/a.txt|link*|src/**/*.c|*/main.c|x\\ |tmp|!tmp/|**/|.cache/|"
        "**/src/*.c|**/x/**/*.txt|!**/src/**/keep.log|s*/**/[ab]*",
        '|');
    const char* eol = pick(4) == 0 ? "\r\n" : "\n";
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += pool[pick(pool.size())] + eol;
    return out;
  }

  std::mt19937 rng_;
};

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (const char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string difference(const std::vector<std::string>& ours, const std::vector<std::string>& git) {
  std::string out;
  for (const auto& p : ours)
    if (!std::binary_search(git.begin(), git.end(), p)) out += "  only ours: " + p + "\n";
  for (const auto& p : git)
    if (!std::binary_search(ours.begin(), ours.end(), p)) out += "  only git:  " + p + "\n";
  return out;
}

// git with no configuration but the repository's own.
std::string plain_git(const test::TempTree& home) {
  return "HOME=" + shell_quote(home.path()) + " XDG_CONFIG_HOME=" + shell_quote(home.path()) +
         " GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null git";
}

// Thirty generated trees side by side in one repository (one `git init`, one listing keep the
// test fast), with rules at the top and in info/exclude that reach into them.
TEST(Walker, AgreesWithGitOnGeneratedTrees) {
  test::TempTree home;
  const std::string git = plain_git(home);
  int status = 0;
  test::command_output(git + " --version >/dev/null 2>&1", &status);
  if (status != 0) GTEST_SKIP() << "git is not available";

  test::TempTree dir;
  constexpr unsigned kSeeds = 30;
  for (unsigned seed = 1; seed <= kSeeds; ++seed)
    TreeGenerator(seed).folder(dir / ("s" + std::to_string(seed)), 0);
  test::write_file(dir / ".gitignore",
                   "*.o\n!**/keep/*.o\n/s3/\ns5/**/tmp/\n/s7/*.txt\n!/s7/a.txt\n");
  test::command_output("cd " + shell_quote(dir.path()) + " && " + git + " init -q --template=",
                       &status);
  ASSERT_EQ(status, 0);
  test::write_file(dir / ".git/info/exclude",
                   "# local\n*.json\n!/s2/**/data.json\n/s4/src/\ns6/*/README.md\n");

  std::vector<std::string> expected;
  const std::string listed = test::command_output(
      "cd " + shell_quote(dir.path()) + " && " + git + " ls-files -z --others --exclude-standard",
      &status);
  ASSERT_EQ(status, 0);
  for (auto& p : split(listed, '\0'))
    if (("/" + p + "/").find("/node_modules/") == std::string::npos) expected.push_back(p);
  std::sort(expected.begin(), expected.end());
  ASSERT_GT(expected.size(), 500u);

  WalkOptions options;
  options.report_folders = true;
  std::vector<std::string> files, folders;
  walk(dir.path(), options, [&](const WalkEntry& e) {
    (e.is_dir ? folders : files).emplace_back(e.rel);
    return WalkNext::Continue;
  });
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files, expected) << difference(files, expected);

  // Starting below the top gives the same answer for that folder: each tree's own top and a
  // sample of deeper folders.
  int compared = 0;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    const std::string& start = folders[i];
    if (start.find('/') != std::string::npos && i % 7 != 0) continue;
    const std::string prefix = start + "/";
    std::vector<std::string> sub_expected;
    for (const auto& p : expected)
      if (p.compare(0, prefix.size(), prefix) == 0) sub_expected.push_back(p.substr(prefix.size()));
    std::vector<std::string> sub;
    walk(dir / start, WalkOptions{}, [&sub](const WalkEntry& e) {
      sub.emplace_back(e.rel);
      return WalkNext::Continue;
    });
    std::sort(sub.begin(), sub.end());
    ASSERT_EQ(sub, sub_expected) << "start " << start << "\n" << difference(sub, sub_expected);
    ++compared;
  }
  EXPECT_GT(compared, 40);
}

// ---- Generated rules judged by git check-ignore ----

// Rules built from what git's matcher treats specially: "!" and its escape, leading, inner and
// trailing slashes, `**` as a component and glued in every position, `**\/`, classes of every
// form, escapes, trailing spaces dropped or kept, comments and blank lines; files of LF or CRLF
// lines. The names of the trees share their letters and odd bytes.
class RuleGenerator {
 public:
  explicit RuleGenerator(unsigned seed) : rng_(seed) {}

  // With `anchor` (a folder path ending in "/") every rule is anchored below that folder.
  std::string file(const std::string& anchor = "") {
    const char* eol = pick(3) == 0 ? "\r\n" : "\n";
    std::string out;
    for (std::size_t i = 0, n = 1 + pick(6); i < n; ++i) {
      std::string line;
      do line = rule(anchor);
      while (git_reads_glued_stars_as_a_component(line));
      out += line + eol;
    }
    return out;
  }

  std::string name() {
    static const auto names = split(
        "a|b|ab|ba|a.b|.a|A|a b|a |a\tb|a\vb|a\fb|a\rb|a\nb|a*|a?|[a]|a\\b|!a|#a|a-b|a]|\x7f|"
        "\xc3\xa9|aa|b.a",
        '|');
    return names[pick(names.size())];
  }

  std::size_t pick(std::size_t n) { return rng_() % n; }

 private:
  std::string rule(const std::string& anchor) {
    static const auto atoms = split(
        "a|b|A|.|-| |a|b|*|*|?|**|\\a|\\*|\\?|\\[|\\ |\\!|\\#|\\\\|\\]|[ab]|[!a]|[^b]|[a-c]|[]a]|"
        "[a-]|[\\]]|[[:space:]]|[![:space:]]|[[:alpha:]]|[[:blank:]]|[[:cntrl:]]|[[:punct:]]|"
        "[[:upper:]]|[[:print:]]|[[:graph:]]|[[:alnum:]]|[^[:lower:]]|[[:nope:]]|[|[[:xdigit:]]|"
        "[[:digit:]]",
        '|');
    const auto component = [&] {
      std::string out;
      for (std::size_t i = 0, n = 1 + pick(3); i < n; ++i) out += atoms[pick(atoms.size())];
      return out;
    };
    if (pick(24) == 0) return pick(2) ? "" : "#" + component();
    std::string out = pick(4) ? "" : pick(6) ? "!" : "\\!";
    if (pick(4) == 0) out += "/";
    out += anchor;
    for (std::size_t i = 0, n = 1 + pick(3); i < n; ++i) {
      const bool stars = pick(5) == 0;
      if (i > 0) out += pick(stars ? 6 : 10) == 0 ? "\\/" : "/";
      out += stars ? "**" : component();
    }
    if (pick(4) == 0) out += "/";
    if (pick(8) == 0) out += "  ";
    if (pick(12) == 0) out += "\\ ";
    return out;
  }

  // git compares the literal head of a rule that holds a slash on its own and matches the rest
  // as a pattern of its own, so a `**` glued to that head ("d/a**/b") starts the rest and is
  // read there as a whole component: "a**/b" ignores "ab/c/b". Everywhere else, in git as
  // here, a glued `**` is one `*`. Rules where that shortcut of git's decides are not drawn.
  static bool git_reads_glued_stars_as_a_component(std::string rule) {
    while (rule.size() > 1 && rule.back() == ' ' && rule[rule.size() - 2] != '\\') rule.pop_back();
    if (rule.starts_with('!')) rule.erase(0, 1);
    if (rule.ends_with('/')) rule.pop_back();
    if (rule.starts_with('/')) rule.erase(0, 1);
    const std::size_t k = rule.find_first_of("*?[\\");
    if (rule.find('/') == std::string::npos || k == std::string::npos || k == 0 ||
        rule[k - 1] == '/' || rule.compare(k, 2, "**") != 0)
      return false;
    const std::size_t j = rule.find_first_not_of('*', k);
    return j == std::string::npos || rule[j] == '/' || rule.compare(j, 2, "\\/") == 0;
  }

  std::mt19937 rng_;
};

// A path with its unprintable bytes written as \xNN.
std::string shown(const std::string& path) {
  std::string out;
  for (const char c : path) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
    out += c >= 0x20 && c < 0x7f ? std::string(1, c) : hex;
  }
  return out;
}

// Every path of generated trees with generated ignore files, beside git's verdict. Rules at the
// top and in the exclude file (kept outside the repository, behind a link) reach into one tree
// each: unanchored, one "*" among them would leave nothing to compare. Beside the trees, every
// named class and its negation is tried on every byte a name can hold.
TEST(Walker, AgreesWithGitCheckIgnoreOnGeneratedRulesAndEveryByteOfEachClass) {
  test::TempTree home;
  const std::string git = plain_git(home);
  int status = 0;
  test::command_output(git + " --version >/dev/null 2>&1", &status);
  if (status != 0) GTEST_SKIP() << "git is not available";

  test::TempTree dir;
  RuleGenerator gen(29);
  constexpr std::size_t kTrees = 100;
  const auto into_a_tree = [&gen] {
    return gen.file("t" + std::to_string(gen.pick(kTrees)) + "/");
  };
  std::function<void(const std::string&, int)> folder = [&](const std::string& path, int depth) {
    fs::create_directories(path);
    for (std::size_t i = 0, n = 1 + gen.pick(4); i < n; ++i) {
      const std::string file = path + "/" + gen.name();
      if (!fs::exists(fs::symlink_status(file))) test::write_file(file, "x");
    }
    if (gen.pick(2) == 0) {
      test::write_file(path + "/.gitignore", gen.file());
    } else if (gen.pick(8) == 0) {  // passed over by both
      test::write_file(path + "/linked-rules", gen.file());
      fs::create_symlink("linked-rules", path + "/.gitignore");
    }
    for (std::size_t i = 0, n = depth < 3 ? gen.pick(depth == 0 ? 4 : 3) : 0; i < n; ++i) {
      const std::string sub = path + "/" + gen.name();
      const auto st = fs::symlink_status(sub);
      if (!fs::exists(st) || fs::is_directory(st)) folder(sub, depth + 1);
    }
  };
  for (std::size_t t = 0; t < kTrees; ++t) folder(dir / ("t" + std::to_string(t)), 0);
  for (const char* name : {"alnum", "alpha", "blank", "cntrl", "digit", "graph", "lower", "print",
                           "punct", "space", "upper", "xdigit"}) {
    for (const std::string negation : {"", "!"}) {
      const std::string classes = dir / ("classes/" + negation + name);
      test::write_file(classes + "/.gitignore", "x[" + negation + "[:" + name + ":]]\n");
      for (int b = 1; b < 256; ++b)
        if (b != '/') test::write_file(classes + "/x" + std::string(1, static_cast<char>(b)));
    }
  }
  test::write_file(dir / ".gitignore", into_a_tree() + into_a_tree());
  test::command_output("cd " + shell_quote(dir.path()) + " && " + git + " init -q --template=",
                       &status);
  ASSERT_EQ(status, 0);
  test::write_file(home / "exclude", into_a_tree() + into_a_tree() + "a.b\n");
  fs::create_directories(dir / ".git/info");
  fs::create_symlink(home / "exclude", dir / ".git/info/exclude");

  // Ours: what the walk leaves out, everything below a folder it does not enter included.
  std::vector<std::string> all, listed, ours;
  for (auto it = fs::recursive_directory_iterator(dir.path()); it != fs::end(it); ++it) {
    if (it->path().filename() == ".git") {
      it.disable_recursion_pending();
      continue;
    }
    // Lexically: fs::relative would resolve a linked ignore file to what it points at.
    all.push_back(it->path().lexically_relative(dir.path()).string());
  }
  WalkOptions options;
  options.report_folders = true;
  options.skip_names = {".git"};
  walk(dir.path(), options, [&listed](const WalkEntry& e) {
    listed.emplace_back(e.rel);
    return WalkNext::Continue;
  });
  std::sort(all.begin(), all.end());
  std::sort(listed.begin(), listed.end());
  std::set_difference(all.begin(), all.end(), listed.begin(), listed.end(),
                      std::back_inserter(ours));
  // git's: without the index, every path is judged by the rules alone, one below an excluded
  // folder included. Status 1 means that nothing is ignored; above that, git failed.
  std::string list;
  for (const auto& p : all) list += p + '\0';
  test::write_file(home / "paths", list);
  const std::string out = test::command_output("cd " + shell_quote(dir.path()) + " && " + git +
                                                   " check-ignore --no-index -z --stdin < " +
                                                   shell_quote(home / "paths") + " 2>/dev/null",
                                               &status);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1);
  auto theirs = test::nul_separated(out);
  std::sort(theirs.begin(), theirs.end());

  // Each class file is ignored in one of its two folders; of the trees' paths, neither nearly
  // all nor nearly none may be, or the comparison would tell little.
  // ("classes", its 24 folders, and in each 254 files and the ignore file.)
  constexpr std::size_t kClassPaths = 1 + 24 * (1 + 254 + 1), kIgnoredClassFiles = 12 * 254;
  const std::size_t tree_paths = all.size() - kClassPaths;
  ASSERT_GT(tree_paths, 1500u);
  EXPECT_GT(theirs.size(), kIgnoredClassFiles + tree_paths / 5);
  EXPECT_LT(theirs.size(), kIgnoredClassFiles + tree_paths * 4 / 5);
  // The first paths where the verdicts part, each with the ignore files on its way.
  std::string apart;
  std::vector<std::string> differing;
  std::set_symmetric_difference(ours.begin(), ours.end(), theirs.begin(), theirs.end(),
                                std::back_inserter(differing));
  for (std::size_t i = 0; i < differing.size() && i < 20; ++i) {
    const bool by_git = std::binary_search(theirs.begin(), theirs.end(), differing[i]);
    apart += (by_git ? "ignored only by git: " : "ignored only here: ") + shown(differing[i]);
    for (fs::path f = fs::path(differing[i]).parent_path();; f = f.parent_path()) {
      const fs::path file = dir.path() / f / ".gitignore";
      if (fs::is_regular_file(fs::symlink_status(file)))
        apart += "\n  " + shown(f / ".gitignore") + ": " + shown(test::read_file(file));
      if (f.empty()) break;
    }
    apart += "\n";
  }
  EXPECT_EQ(differing.size(), 0u) << apart;
}

}  // namespace
}  // namespace walker_test
}  // namespace kavor::walk
