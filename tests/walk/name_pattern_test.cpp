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
    const Result<NamePattern> pattern = NamePattern::compile(c.pattern);
    ASSERT_TRUE(pattern.ok()) << c.pattern << ": " << pattern.message();
    EXPECT_EQ(pattern.value().matches(c.name), c.match) << c.pattern << " " << c.name;
  }
  const Result<NamePattern> unclosed = NamePattern::compile("[abc");
  EXPECT_FALSE(unclosed.ok());
  EXPECT_FALSE(unclosed.message().empty());
}

}  // namespace
}  // namespace name_pattern_test
}  // namespace kavor::walk
