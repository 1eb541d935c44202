#include "walk/ignore.h"

#include <gtest/gtest.h>

#include <memory>

namespace kavor::walk {
namespace ignore_test {
namespace {

constexpr auto kIgnored = IgnoreVerdict::Ignored;
constexpr auto kIncluded = IgnoreVerdict::Included;
constexpr auto kNone = IgnoreVerdict::NoOpinion;

TEST(IgnoreRules, SyntaxAnchorsFoldersAndPrecedence) {
  const auto r = IgnoreRules::parse(
      "\xEF\xBB\xBF# comment\n\n   \n\\#hash\n\\!bang\nspaced   \nkept\\ \ncrlf\r\n lead\n"
      "*.log\n!keep.log\n/top\nmid/dle\nbuild/\n/only/dir/\n**/foo\nabc/**\na/**/b\nx**y\n"
      "*.[oa]\n[[:digit:]]*.tmp\n\\[x\\]\n[!a-m]?.md\n[unclosed\nbad[[:nope:]]\ntrailing\\\n"
      "last-without-newline");
  struct Case {
    const char* path;
    bool is_dir;
    IgnoreVerdict verdict;
  };
  const Case cases[] = {
      {"# comment", false, kNone},
      {"#hash", false, kIgnored},
      {"!bang", false, kIgnored},
      {"spaced", false, kIgnored},
      {"spaced   ", false, kNone},
      {"kept ", false, kIgnored},
      {"kept", false, kNone},
      {"crlf", false, kIgnored},
      {" lead", false, kIgnored},
      {"last-without-newline", false, kIgnored},
      // The last matching rule wins; "!" re-includes.
      {"d/a.log", false, kIgnored},
      {"d/keep.log", false, kIncluded},
      // A slash anchors to the file's folder; a trailing slash means folders only.
      {"top", false, kIgnored},
      {"x/top", false, kNone},
      {"mid/dle", false, kIgnored},
      {"x/mid/dle", false, kNone},
      {"x/y/build", true, kIgnored},
      {"build", false, kNone},
      {"only/dir", true, kIgnored},
      {"only/dir", false, kNone},
      // `**` forms; glued `**` is a `*` and, without a slash, matches at any depth.
      {"p/q/foo", true, kIgnored},
      {"abc", true, kNone},
      {"abc/d/e", false, kIgnored},
      {"a/b", false, kIgnored},
      {"a/p/q/b", false, kIgnored},
      {"q/xzy", false, kIgnored},
      // Classes and escapes; malformed patterns match nothing, as in git.
      {"x.a", false, kIgnored},
      {"x.c", false, kNone},
      {"7up.tmp", false, kIgnored},
      {"up.tmp", false, kNone},
      {"[x]", false, kIgnored},
      {"zz.md", false, kIgnored},
      {"bz.md", false, kNone},
      {"[unclosed", false, kNone},
      {"bad[", false, kNone},
      {"trailing", false, kNone},
  };
  for (const Case& c : cases) EXPECT_EQ(r.match(c.path, c.is_dir), c.verdict) << c.path;
  EXPECT_EQ(IgnoreRules::parse("!keep.log\n*.log\n").match("keep.log", false), kIgnored);
}

// Where git's reading is narrower than the C library's or than a quick look suggests: its
// space class is four bytes (no vertical tab, no form feed), and a `**` before an escaped
// slash crosses folders but, unlike `**/`, never stands for no folder at all.
TEST(IgnoreRules, ClassesAndEscapedSlashesReadAsGitReadsThem) {
  struct Case {
    const char* rule;
    const char* path;
    IgnoreVerdict verdict;
  };
  const Case cases[] = {
      {"a[[:space:]]b", "a b", kIgnored},
      {"a[[:space:]]b", "a\tb", kIgnored},
      {"a[[:space:]]b", "a\nb", kIgnored},
      {"a[[:space:]]b", "a\rb", kIgnored},
      {"a[[:space:]]b", "a\vb", kNone},
      {"a[[:space:]]b", "a\fb", kNone},
      {"a[![:space:]]b", "a\vb", kIgnored},
      {"a[![:space:]]b", "a\fb", kIgnored},
      {"a[![:space:]]b", "a\tb", kNone},
      {"a/**\\/b", "a/b", kNone},
      {"a/**\\/b", "a/c/b", kIgnored},
      {"a/**\\/b", "a/c/d/b", kIgnored},
      {"**\\/x", "x", kNone},
      {"**\\/x", "d/x", kIgnored},
      {"**\\/x", "d/e/x", kIgnored},
      {"a/**/b", "a/b", kIgnored},
      // Glued to other characters `**` is one `*`, also where a shortcut of git's reads it as
      // a component (see the comparison with git in the walker's tests).
      {"d/a**/b", "d/ab/c/b", kNone},
      {"d/a**/b", "d/ab/b", kIgnored},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IgnoreRules::parse(c.rule).match(c.path, false), c.verdict)
        << c.rule << " vs " << c.path;
  }
}

TEST(IgnoreStack, DeeperAndLaterFilesTakePrecedenceAndAnchorToTheirFolder) {
  const auto rules = [](std::string_view text) {
    return std::make_shared<IgnoreRules>(IgnoreRules::parse(text));
  };
  IgnoreStack stack;
  stack.push("", rules("*.txt\n/top.md\n!*.gen\n"));
  stack.push("", rules("*.gen\n"));  // a second file of the same folder, read later
  stack.push("sub", rules("!a.txt\n/top.md\n"));
  stack.push("sub/deeper", rules(""));  // empty files have no say
  EXPECT_EQ(stack.size(), 3u);
  EXPECT_TRUE(stack.ignored("a.txt", false));
  EXPECT_EQ(stack.check("sub/a.txt", false), kIncluded);
  EXPECT_TRUE(stack.ignored("sub/b.txt", false));
  EXPECT_TRUE(stack.ignored("other/a.txt", false));
  EXPECT_TRUE(stack.ignored("sub/top.md", false));
  EXPECT_FALSE(stack.ignored("other/top.md", false));
  EXPECT_FALSE(stack.ignored("subx/top.md", false));  // "sub" does not contain "subx/..."
  EXPECT_TRUE(stack.ignored("x.gen", false));
  EXPECT_EQ(stack.check("x.c", false), kNone);
  stack.truncate(2);
  EXPECT_TRUE(stack.ignored("sub/a.txt", false));
}

}  // namespace
}  // namespace ignore_test
}  // namespace kavor::walk
