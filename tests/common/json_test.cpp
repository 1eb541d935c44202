#include "common/json.h"

#include <gtest/gtest.h>

namespace kavor {
namespace {

TEST(StrictJson, RejectsARepeatedKeyAtAnyDepthButNotTheSameKeyInSiblings) {
  EXPECT_FALSE(parse_json_strict(R"({"a":1,"a":2})"));
  EXPECT_FALSE(parse_json_strict(R"({"x":{"a":1,"b":{},"a":2}})"));
  EXPECT_FALSE(parse_json_strict(R"([{"k":1},{"k":1,"k":1}])"));
  EXPECT_TRUE(parse_json_strict(R"([{"k":1},{"k":2}])"));
  EXPECT_TRUE(parse_json_strict(R"({"a":{"a":{"a":1}}})"));
  EXPECT_FALSE(parse_json_strict(""));
  EXPECT_FALSE(parse_json_strict(R"({"a":)"));
}

TEST(StrictJson, KeepsKeyOrder) {
  const auto v = parse_json_strict(R"({"z":1,"a":2,"m":3})");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->dump(), R"({"z":1,"a":2,"m":3})");
}

}  // namespace
}  // namespace kavor
