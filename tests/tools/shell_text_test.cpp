#include "tools/shell_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/command_output.h"
#include "support/temp_tree.h"

namespace kavor::tools {
namespace shell_text_test {
namespace {

namespace fs = std::filesystem;

// The arguments bash gives `printf` for `text`, run in an empty folder (patterns stay as
// written there).
std::vector<std::string> bash_words(const std::string& text) {
  const test::TempTree tree("kavor-shell");
  const fs::path dir = tree.path();
  std::ofstream(dir / "script") << "printf '%s\\0' " << text << "\n";
  const std::string command = "cd '" + dir.string() + "' && bash --norc --noprofile script";
  return test::nul_separated(test::command_output(command));
}

TEST(ShellText, QuotesEscapesAndBracesAreReadAsBashReadsThem) {
  if (std::system("bash -c true > /dev/null 2>&1") != 0) GTEST_SKIP() << "no bash";
  for (const char* text : {
           R"(a 'b c' "d e" f\ g '' "")",
           R"(do"cs"/x d\ocs 'it'\''s' "a\"b\$c\\d\e" "line\
joined" x\
y)",
           R"(x{a,b}y {1..3} {5..1..2} {a..c} {x,{y,z}}w {a} {} {,a} a{b,c}{d,e} {-1..1})",
           R"(*.none ?x [ab]c ~5% "~" a=b --c=d)",
       }) {
    std::vector<std::string> ours;
    for (const ShellWord& word : shell_words(text)) {
      const auto alternatives = brace_alternatives(word.text, 100);
      ASSERT_TRUE(alternatives) << word.text;
      ours.insert(ours.end(), alternatives->begin(), alternatives->end());
    }
    EXPECT_EQ(ours, bash_words(text)) << text;
  }
  EXPECT_FALSE(brace_alternatives("{1..100000}", 1024));
  EXPECT_FALSE(brace_alternatives("{a,b}{a,b}{a,b}{a,b}{a,b}{a,b}{a,b}{a,b}{a,b}{a,b}{a,b}", 1024));
}

TEST(ShellText, EachWordKnowsWhetherItNamesACommandReadsAPipeOrTakesARedirection) {
  // c: command word, p: reading a pipe, r: redirection target, -: argument.
  const auto roles = [](const std::string& text) {
    std::string out;
    for (const ShellWord& word : shell_words(text)) {
      out += word.redirect ? 'r' : word.piped ? 'p' : word.command ? 'c' : '-';
    }
    return out;
  };
  EXPECT_EQ(roles("a b | c && d || e; f & g\nh (i) {j,k}"), "c-pccccccc");
  EXPECT_EQ(roles("a 2>&1 >> out <<< 'x y' <<-EOF |& b"), "crrrrp");
  EXPECT_EQ(roles("> out a b"), "rc-");
  EXPECT_EQ(roles("cat @(a|b) !(x) x"), "c---");
}

}  // namespace
}  // namespace shell_text_test
}  // namespace kavor::tools
