// The texts read back to the assistant: the page line, the page summary and script values.
#include "browser/readback.h"

#include <gtest/gtest.h>

#include <string>

#include "browser/page_state.h"

namespace kavor::browser {
namespace readback_test {
namespace {

using common::Json;

TEST(ResultText, PageLineActionScreenshotAndProblems) {
  PageFacts facts{"http://a.test/", "  Home page  ", std::nullopt, 200, false};
  Drained<ConsoleEntry> problems;
  for (int i = 0; i < 35; ++i) problems.entries.push_back({"error", "e" + std::to_string(i), 1});
  problems.entries.back().count = 3;
  const std::string text = result_text(facts, "Clicked at (1, 2).", ShotFacts{640, 400}, problems);
  EXPECT_EQ(text.substr(0, text.find("\n- [")),
            "http://a.test/ (200) \"Home page\" (still loading)\nClicked at (1, 2).\n"
            "Screenshot attached (640x400 px, JPEG).\n\nProblems seen:");
  EXPECT_NE(text.find("\n- [... 5 earlier entries ...]\n- error: e5\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 17), "- error: e34 (x3)");

  facts = {std::string(400, 'u'), "", std::string("net::ERR_CONNECTION_REFUSED"), 200, true};
  EXPECT_EQ(result_text(facts, "", std::nullopt, {}),
            std::string(300, 'u') + " \u2026 (net::ERR_CONNECTION_REFUSED) \"\"");
}

TEST(ResultText, PageSummaryAndValues) {
  const Json summary = {
      {"text", "  First line\n\n\n\nSecond line  \n"},
      {"headings", {"h1 Welcome"}},
      {"links", Json::array({Json::array({"Docs", "http://a.test/docs"}),
                             Json::array({"", "http://a.test/x"})})},
      {"buttons", {"Send (disabled)", ""}},
      {"inputs",
       {{{"tag", "input"},
         {"type", "email"},
         {"name", "mail"},
         {"placeholder", ""},
         {"label", "Mail"}}}},
      {"images", {{{"src", "http://a.test/i.png"}, {"broken", true}, {"noalt", true}}}},
  };
  EXPECT_EQ(summary_report(summary),
            "Visible text:\nFirst line\n\nSecond line\n\n"
            "Headings:\n  h1 Welcome\n"
            "Links (2):\n  Docs -> http://a.test/docs\n  (no text) -> http://a.test/x\n"
            "Buttons:\n  Send (disabled)\n  (no text)\n"
            "Inputs:\n  input type=\"email\" name=\"mail\" label=\"Mail\"\n"
            "Images with problems:\n  http://a.test/i.png (failed to load, no alt text)");
  EXPECT_EQ(summary_report(Json::object()), "Visible text:\n(none)");
  EXPECT_EQ(summary_report(Json("junk")), "Visible text:\n(none)");

  EXPECT_EQ(value_report({{"type", "string"}, {"value", "hi"}}), "\"hi\"");
  EXPECT_EQ(value_report({{"type", "undefined"}}), "undefined");
  EXPECT_EQ(value_report({{"type", "bigint"}, {"unserializableValue", "12n"}}), "12n");
  const Json preview = Json::parse(
      R"({"type":"object","description":"Object","preview":{"properties":[)"
      R"({"name":"a","type":"number","value":"1"},{"name":"b","type":"string","value":"x"}]}})");
  EXPECT_EQ(value_report(preview), "{a: 1, b: \"x\"}");
  EXPECT_EQ(value_report({{"type", "string"}, {"value", std::string(30000, 'v')}}).size(),
            20000 + std::string(" \u2026").size());
}

}  // namespace
}  // namespace readback_test
}  // namespace kavor::browser
