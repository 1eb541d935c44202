#include "walk/name_pattern.h"

#include <gtest/gtest.h>

namespace kavor::walk {
namespace name_pattern_test {
namespace {

// A name matches as the shell matches the names of a folder: a leading "." only by a pattern
// that starts with one, and a backslash is an ordinary character.
TEST(NamePattern, NamesMatchAsTheShellMatchesAFoldersNames) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  };
  const Case cases[] = {
      {"*.c", "main.c", true},      {"*.c", "main.h", false},  {"h?", "hi", true},
      {"h?", "h", false},           {"[ab]*", "bin", true},    {"[!ab]*", "bin", false},
      {"*", ".ssh", false},         {".*", ".ssh", true},      {".*", "..", true},
      {"?ssh", ".ssh", false},      {"[.]ssh", ".ssh", false}, {"a\\b", "a\\b", true},
      {"Readme*", "README", false},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto pattern = NamePattern::compile(c.pattern, error);
    ASSERT_TRUE(pattern) << c.pattern << ": " << error;
    EXPECT_EQ(pattern->matches(c.name), c.match) << c.pattern << " " << c.name;
  }
  std::string error;
  EXPECT_FALSE(NamePattern::compile("[abc", error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace name_pattern_test
}  // namespace kavor::walk
