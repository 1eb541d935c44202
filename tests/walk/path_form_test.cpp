#include "walk/path_form.h"

#include <gtest/gtest.h>

#include <string>

namespace kavor::walk {
namespace path_form_test {
namespace {

TEST(PathForm, ContainmentComparesWholeComponentsWhateverTheSlashes) {
  struct Case {
    std::string outer, inner;
    bool inside;
  };
  const Case cases[] = {
      {"/ws", "/ws", true},
      {"/ws", "/ws/src/a.c", true},
      {"/ws/", "/ws/src", true},  // a trailing slash on the folder changes nothing
      {"/ws", "/ws/", true},
      {"/", "/etc/passwd", true},
      {"/ws", "/ws-evil/x", false},  // a sibling whose name starts with the folder's
      {"/ws", "/wsx", false},
      {"/ws/src", "/ws", false},  // the parent is not inside the child
      {"/ws", "ws/x", false},     // relative and absolute never meet
      {"/", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(inside_or_same(c.outer, c.inner), c.inside) << c.outer << " / " << c.inner;
  }
  EXPECT_EQ(relative_to("/ws", "/ws/src/a.c"), "src/a.c");
  EXPECT_EQ(relative_to("/", "/etc"), "etc");
  EXPECT_EQ(relative_to("/ws", "/ws"), "");
}

TEST(PathForm, OnlyPlainRelativePathsAreJoinedToAFolder) {
  for (const char* ok : {"a", "a/b.c", "..a/b..", ".hidden/x"}) {
    EXPECT_TRUE(plain_relative(ok)) << ok;
  }
  const std::string bad_paths[] = {
      "", "/etc", "a//b", "a/", "./a", "a/../../b", "..", "a/.", std::string("a\0b", 3)};
  for (const std::string& bad : bad_paths) {
    EXPECT_FALSE(plain_relative(bad)) << bad;
  }
  EXPECT_FALSE(canonical("/no/such/folder/anywhere"));
  EXPECT_EQ(canonical("/tmp/../tmp/."), canonical("/tmp"));
}

}  // namespace
}  // namespace path_form_test
}  // namespace kavor::walk
