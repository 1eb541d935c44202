#include "common/json.h"
#include "common/json_read.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavor::common {
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

// Text is looked at eight bytes at a time: every byte that needs an escape, and some that
// look alike to a word-wide test (DEL, a space, bytes of a character from 0x80 up), at every
// place in a word and in the short end after the last whole word.
TEST(JsonText, EscapesEveryByteThatNeedsItWhereverItFallsInTheText) {
  std::vector<std::string> inserts = {"\x7F", " ", "!",        "#",
                                      "[",    "]", "\xC3\xA9", "\xF0\x9D\x84\x9E"};
  for (int c = 0; c < 0x20; ++c) inserts.emplace_back(1, static_cast<char>(c));
  inserts.emplace_back("\"");
  inserts.emplace_back("\\");
  for (const std::string& insert : inserts) {
    for (std::size_t length = 0; length <= 19; ++length) {
      for (std::size_t at = 0; at <= length; ++at) {
        std::string text(length, 'a');
        text.insert(at, insert);
        text += insert;  // a second one, after the first's word
        EXPECT_EQ(json_text(Json(text)), Json(text).dump()) << Json(text).dump();
      }
    }
  }
}

TEST(JsonRead, WrongTypesAndNonObjectsReadAsAbsentButABrokenRecordKeyFails) {
  const Json v = Json::parse(
      R"({"s":"x","n":2.5,"big":1e300,"neg":-3,"t":true,"f":"true","null":null,"num":7})");
  for (const Json& not_object : {Json(nullptr), Json::array({1}), Json("s")}) {
    EXPECT_TRUE(json::member(not_object, "s").is_null());
    EXPECT_EQ(json::text(not_object, "s", "fallback"), "fallback");
  }
  EXPECT_EQ(json::text(v, "s"), "x");
  EXPECT_EQ(json::text(v, "n", "d"), "d");
  EXPECT_EQ(json::number(v, "n"), 2.5);
  EXPECT_EQ(json::integer(v, "n"), 2);
  EXPECT_FALSE(json::integer(v, "big"));  // no longer a whole number in a double
  EXPECT_EQ(json::integer(v, "neg"), -3);
  EXPECT_FALSE(json::count(v, "neg"));
  EXPECT_TRUE(json::flag(v, "t"));
  EXPECT_FALSE(json::flag(v, "f"));  // the text "true" is not true
  // A record's optional text: missing and null are absent, text is read, anything else fails.
  EXPECT_FALSE(json::optional_text(v, "missing").value());
  EXPECT_FALSE(json::optional_text(v, "null").value());
  EXPECT_EQ(json::optional_text(v, "s").value(), QStringLiteral("x"));
  EXPECT_FALSE(json::optional_text(v, "num").ok());
}

}  // namespace
}  // namespace json_test
}  // namespace kavor::common
