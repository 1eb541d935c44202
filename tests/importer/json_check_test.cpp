// The streaming JSON check gives the JSON library's verdict on every text, however the text is
// cut into pieces, and reports the kinds of the watched top-level members.
#include "importer/json_check.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kavor::importer {
namespace json_check_test {
namespace {

using Kind = JsonCheck::Kind;

bool check_in_pieces(std::string_view text, std::size_t piece) {
  JsonCheck check;
  for (std::size_t at = 0; at < text.size(); at += piece) check.feed(text.substr(at, piece));
  return check.finish();
}

TEST(JsonCheckTest, VerdictsMatchTheJsonLibraryWhereverTheTextIsCut) {
  const std::vector<std::string> texts = {
      // Accepted.
      "{}",
      "[]",
      " \t\r\n[1, -0, 0.5, -1.25e+3, 2E-2, 1e308, 1.7976931348623157e308]\n",
      "\"\"",
      "true",
      "null",
      "0",
      "-0.0e0",
      R"({"a":{"b":[{"c":"\"}\\"}]}})",
      R"(["\u00e9\ud83d\ude00\/\b\f\n\r\t"])",
      "\xEF\xBB\xBF{\"bom\":1}",
      "[\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\"]",
      "123456789012345678901234567890",
      "[1e-400, 0.000000e999999999999999999999]",
      std::string(400, '9'),
      std::string(308, '9'),
      "179769313486231570" + std::string(291, '0'),
      "1797693134862315807" + std::string(290, '0'),  // just rounds to infinity
      "17976931348623158" + std::string(292, '0'),    // just rounds to the largest double
      "0." + std::string(2000, '0') + "1e2300",
      // Refused.
      "",
      " ",
      "{",
      "[1,]",
      "[,1]",
      "{\"a\"}",
      "{\"a\":}",
      "{\"a\":1,}",
      "{1:2}",
      "[01]",
      "[1.]",
      "[.5]",
      "[+1]",
      "[1e]",
      "[1e+]",
      "[-]",
      "[tru]",
      "[nulll]",
      "[True]",
      "{} {}",
      "[] x",
      "1e400",
      "-1e400",
      std::string(309, '9') + "0",
      "\"\\x\"",
      "\"\\u12G4\"",
      "\"\\ud800\"",
      "\"\\udc00\"",
      "\"\\ud800\\u0041\"",
      "\"\\ud800x\"",
      "\"a\nb\"",
      "\"\x01\"",
      "[\"\xC0\xAF\"]",
      "[\"\xE0\x80\xAF\"]",
      "[\"\xED\xA0\x80\"]",
      "[\"\xF4\x90\x80\x80\"]",
      "[\"\xC3\"]",
      "[\"\x80\"]",
      "\xEF\xBB{}",
      "[\"a\"\"b\"]",
      "[1 2]",
      "{\"a\" 1}",
      "]",
      "/* c */ 1",
      "[1]\0x",
  };
  for (const std::string& text : texts) {
    bool expected = nlohmann::ordered_json::accept(text);
    // The library stops at a NUL byte as at the end of the text; the check does not.
    if (text.find('\0') != std::string::npos) expected = false;
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{7}, text.size() + 1}) {
      EXPECT_EQ(check_in_pieces(text, piece), expected) << text.substr(0, 80) << " / " << piece;
    }
  }
}

TEST(JsonCheckTest, WatchedMembersReportTheLastValueOfTheirKeyAfterEscapes) {
  const std::vector<std::tuple<std::string, Kind, Kind, Kind>> table = {
      {R"({"conversation_id":"c1","mapping":{}})", Kind::String, Kind::Absent, Kind::Object},
      {R"({"id":"","mapping":[]})", Kind::Absent, Kind::EmptyString, Kind::Other},
      {R"({"conversation\u005fid":"\u0000","m":{"id":"x"},"mapping":null})", Kind::String,
       Kind::Absent, Kind::Other},
      {R"({"id":"a","id":7,"mapping":{},"mapping":{"x":1}})", Kind::Absent, Kind::Other,
       Kind::Object},
      {R"({"ID":"a","mapping ":{},"idx":"b","conversation_id_":"c"})", Kind::Absent, Kind::Absent,
       Kind::Absent},
      {R"({"\u00e9id":"a","i\u0064":"b"})", Kind::Absent, Kind::String, Kind::Absent},
      {R"([{"id":"a","mapping":{}}])", Kind::Absent, Kind::Absent, Kind::Absent},
  };
  // One check for all texts: reset() starts it over.
  JsonCheck check({"conversation_id", "id", "mapping"});
  for (const auto& [text, conversation_id, id, mapping] : table) {
    for (std::size_t piece : {std::size_t{1}, text.size()}) {
      check.reset();
      for (std::size_t at = 0; at < text.size(); at += piece) check.feed(text.substr(at, piece));
      ASSERT_TRUE(check.finish()) << text;
      EXPECT_EQ(check.member(0), conversation_id) << text;
      EXPECT_EQ(check.member(1), id) << text;
      EXPECT_EQ(check.member(2), mapping) << text;
    }
  }
}

TEST(JsonCheckTest, DeepNestingCostsBitsAndLongNumbersStayExact) {
  const std::size_t depth = 1'000'000;
  std::string deep = std::string(depth, '[') + std::string(depth, ']');
  EXPECT_TRUE(check_in_pieces(deep, 4096));
  deep.back() = '}';
  EXPECT_FALSE(check_in_pieces(deep, 4096));
  // A number of many digits is decided without keeping them all.
  EXPECT_TRUE(check_in_pieces("0." + std::string(100'000, '9') + "e308", 4096));
  EXPECT_FALSE(check_in_pieces("9." + std::string(100'000, '9') + "e308", 4096));
}

}  // namespace
}  // namespace json_check_test
}  // namespace kavor::importer
