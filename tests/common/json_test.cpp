#include "common/json.h"

#include <gtest/gtest.h>

namespace kavor {
namespace json_test {
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

TEST(JsonText, WritesWhatTheLibraryWritesAndReplacesBrokenTextInsteadOfThrowing) {
  std::string every_byte;
  for (int c = 1; c < 0x80; ++c) every_byte += static_cast<char>(c);
  const Json samples[] = {
      Json::parse(R"({"z":1,"a":[true,null,-2.5,1e300,"x"],"m":{"":"\u00e9\ud83d\ude00"}})"),
      Json({{"output", every_byte + "\xC3\xA9 end"}, {every_byte, 18446744073709551615ULL}}),
      Json::array(),
      Json::object(),
      Json("plain"),
  };
  for (const Json& sample : samples) EXPECT_EQ(json_text(sample), sample.dump());
  const Json broken = {{"name",
                        "a\xFF\xC3"
                        "b"}};
  EXPECT_EQ(json_text(broken),
            "{\"name\":\"a\xEF\xBF\xBD\xEF\xBF\xBD"
            "b\"}");
}

}  // namespace
}  // namespace json_test
}  // namespace kavor
