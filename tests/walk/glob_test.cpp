#include "walk/glob.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

namespace kavor::walk {
namespace glob_test {
namespace {

bool glob_matches(const std::string& pattern, const std::string& path) {
  const Result<Glob> glob = Glob::compile(pattern);
  EXPECT_TRUE(glob.ok()) << pattern << ": " << glob.message();
  return glob.ok() && glob->matches(path);
}

TEST(Glob, MatchingRules) {
  struct Case {
    const char* pattern;
    const char* path;
    bool match;
  };
  const Case cases[] = {
      // `*` and `?` stay inside one folder; matching is case-sensitive.
      {"*.txt", "a.txt", true},
      {"*.txt", "d/a.txt", false},
      {"*.txt", "a.txt.bak", false},
      {"src/*.c", "src/main.c", true},
      {"src/*.c", "src/a/b.c", false},
      {"a?c", "abc", true},
      {"a?c", "a/c", false},
      {"Readme.md", "README.md", false},
      // `**` as a whole component crosses folders, including none.
      {"**/*.txt", "a.txt", true},
      {"**/*.txt", "d/e/f/a.txt", true},
      {"**/*.txt", "d/a.txt/x", false},
      {"a/**/b", "a/b", true},
      {"a/**/b", "a/x/y/b", true},
      {"a/**/b", "a/xb", false},
      {"a/**", "a/b/c", true},
      {"a/**", "a", false},
      {"**", "x/y/z", true},
      {"src/**/t/*.rs", "src/a/b/t/a.rs", true},
      {"src/**/t/*.rs", "src/a/t/c/a.rs", false},
      // Glued to other characters it is one `*`.
      {"**.c", "x.c", true},
      {"**.c", "d/x.c", false},
      {"a**b", "axyb", true},
      {"a**b", "a/b", false},
      {"d/**x", "d/e/x", false},
      // A backslash is an ordinary character.
      {"a\\b", "a\\b", true},
      {"a\\b", "ab", false},
      {"\\*", "\\any", true},
      {"\\*", "*", false},
      {"[\\]x", "\\x", true},
      // Classes never match "/"; bytes above 0x7f are plain bytes.
      {"[abc].txt", "b.txt", true},
      {"[abc].txt", "d.txt", false},
      {"[a-c]x", "cx", true},
      {"[!a]x", "bx", true},
      {"[!a]x", "ax", false},
      {"[^a]x", "ax", false},
      {"[]]", "]", true},
      {"[a-]", "-", true},
      {"[[:digit:]]*", "7z", true},
      {"[[:digit:]]*", "z7", false},
      {"x[!a]y", "x/y", false},
      {"\xC3[\xA0-\xBF]", "\xC3\xA9", true},
      // Brace alternatives, expanded before the `**` rules apply.
      {"*.{c,h}", "a.h", true},
      {"*.{c,h}", "a.cpp", false},
      {"{src,lib}/**/*.rs", "lib/x/a.rs", true},
      {"{src,lib}/**/*.rs", "bin/a.rs", false},
      {"{,x}a", "a", true},
      {"{,x}a", "xa", true},
      {"{[}],x}", "}", true},
      {"a,b}", "a,b}", true},
      {"src/{**/,}*.c", "src/a/b.c", true},
      {"src/{**/,}*.c", "src/b.c", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(glob_matches(c.pattern, c.path), c.match) << c.pattern << " vs " << c.path;
}

TEST(Glob, MalformedPatternsGiveShortErrors) {
  const std::pair<const char*, const char*> cases[] = {
      {"[abc", "unclosed character class"},
      {"{[abc,d}", "unclosed character class"},
      {"{a,b", "unclosed alternative"},
      {"x/{a,{b,c}}", "nested alternatives are not supported"},
      {"[z-a]", "character range out of order"},
      {"[[:vowel:]]", "unknown character class name"},
      {"", "empty pattern"},
      {"{a,b}{a,b}{a,b}{a,b}{a,b}{a,b}{a,b}{a,b}{a,b}{a,b}{a,b}", "too many alternatives"},
  };
  for (const auto& [pattern, expected] : cases) {
    const Result<Glob> glob = Glob::compile(pattern);
    EXPECT_FALSE(glob.ok()) << pattern;
    EXPECT_EQ(glob.message(), expected) << pattern;
  }
}

TEST(Glob, NormalizeTrimsAndStripsOneDotSlash) {
  EXPECT_EQ(normalize_glob_pattern("  ./src/*.c \n"), "src/*.c");
  EXPECT_EQ(normalize_glob_pattern("././a"), "./a");
  EXPECT_EQ(normalize_glob_pattern(".hidden/*"), ".hidden/*");
}

TEST(Glob, PathologicalPatternsFinishQuickly) {
  const auto begin = std::chrono::steady_clock::now();
  const std::string as(20000, 'a');
  EXPECT_FALSE(glob_matches("*a*a*a*a*a*a*a*a*a*a*a*a*b", as));
  EXPECT_TRUE(glob_matches("*a*a*a*a*a*a*a*a*a*a*a*a*", as));
  std::string deep;
  for (int i = 0; i < 2000; ++i) deep += "a/";
  EXPECT_FALSE(glob_matches("**/a/**/a/**/a/**/a/**/b", deep + "a"));
  EXPECT_TRUE(glob_matches("**/a/**/a/**/a/**/a/**/a", deep + "a"));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
}

// A direct, backtracking reading of the rules, for small inputs only.
bool reference(const std::string& p, std::size_t pi, const std::string& t, std::size_t ti) {
  if (pi == p.size()) return ti == t.size();
  if (p[pi] == '*') {
    std::size_t j = pi;
    while (j < p.size() && p[j] == '*') ++j;
    if (j - pi >= 2 && (pi == 0 || p[pi - 1] == '/')) {
      if (j == p.size()) return true;
      if (p[j] == '/') {
        if (reference(p, j + 1, t, ti)) return true;
        for (std::size_t k = ti; k < t.size(); ++k)
          if (t[k] == '/' && reference(p, j + 1, t, k + 1)) return true;
        return false;
      }
    }
    for (std::size_t k = ti;; ++k) {
      if (reference(p, j, t, k)) return true;
      if (k == t.size() || t[k] == '/') return false;
    }
  }
  if (ti == t.size()) return false;
  if (p[pi] == '?') return t[ti] != '/' && reference(p, pi + 1, t, ti + 1);
  if (p[pi] == '[') {  // only the forms generated below: [ab] and [!a]
    const bool negated = p[pi + 1] == '!';
    const std::size_t first = pi + (negated ? 2 : 1);
    const std::size_t close = p.find(']', first + 1);
    const bool member = p.substr(first, close - first).find(t[ti]) != std::string::npos;
    return t[ti] != '/' && member != negated && reference(p, close + 1, t, ti + 1);
  }
  return p[pi] == t[ti] && reference(p, pi + 1, t, ti + 1);
}

TEST(Glob, AgreesWithABacktrackingReferenceOnRandomInputs) {
  std::mt19937 rng(12345);
  const char* pieces[] = {"a", "b", "/", ".", "*", "**", "?", "[ab]", "[!a]", "**/", "/**"};
  const char text_chars[] = {'a', 'b', '/', '.'};
  int matched = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string pattern, text;
    for (std::size_t i = 0, n = 1 + rng() % 6; i < n; ++i)
      pattern += pieces[rng() % std::size(pieces)];
    for (std::size_t i = 0, n = rng() % 9; i < n; ++i)
      text += text_chars[rng() % std::size(text_chars)];
    const bool expected = reference(pattern, 0, text, 0);
    matched += expected;
    ASSERT_EQ(glob_matches(pattern, text), expected) << "pattern " << pattern << " text " << text;
  }
  EXPECT_GT(matched, 500);  // the generator produces matches, not only misses
}

}  // namespace
}  // namespace glob_test
}  // namespace kavor::walk
