// The page state fed by protocol events: repeats, network bounds and hostile values.
#include "browser/page_state.h"

#include <gtest/gtest.h>

#include <string>

#include "browser/readback.h"

namespace kavor::browser {
namespace page_state_test {
namespace {

using common::Json;

const Clock::time_point kNow = Clock::now();

Json request(const std::string& id, const std::string& url, double at, const char* type = "Image") {
  return {{"requestId", id}, {"loaderId", "L"}, {"frameId", "main"},
          {"type", type},    {"timestamp", at}, {"request", {{"method", "GET"}, {"url", url}}}};
}

TEST(PageState, RepeatsAreCountedAndProblemsKeptApart) {
  PageState page;
  page.reset("main");
  const Json warning = {
      {"type", "warning"},
      {"args", {{{"type", "string"}, {"value", "careful"}}}},
      {"stackTrace", {{"callFrames", {{{"url", "http://a.test/x.js"}, {"lineNumber", 4}}}}}}};
  for (int i = 0; i < 50; ++i) page.apply("Runtime.consoleAPICalled", warning, kNow);
  page.apply(
      "Runtime.consoleAPICalled",
      {{"type", "log"}, {"args", {{{"type", "number"}, {"value", 7}}, {{"type", "undefined"}}}}},
      kNow);
  page.apply("Log.entryAdded",
             {{"entry", {{"source", "network"}, {"level", "error"}, {"text", "skipped"}}}}, kNow);
  page.apply("Log.entryAdded",
             {{"entry", {{"source", "other"}, {"level", "verbose"}, {"text", "v"}}}}, kNow);
  page.apply(
      "Runtime.exceptionThrown",
      {{"exceptionDetails",
        {{"text", "Uncaught"},
         {"exception",
          {{"description",
            "TypeError: x is not a function\n    at f (http://a.test/x.js:3:9)\n    at g"}}}}}},
      kNow);
  const std::optional<Answer> answer =
      page.apply("Page.javascriptDialogOpening",
                 {{"type", "prompt"}, {"message", "name?"}, {"defaultPrompt", "Ada"}}, kNow);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->method, "Page.handleJavaScriptDialog");
  EXPECT_EQ(answer->params, (Json{{"accept", true}, {"promptText", "Ada"}}));

  const std::vector<ConsoleEntry> expected = {
      {"warn", "careful (http://a.test/x.js:5)", 50},
      {"log", "7 undefined", 1},
      {"debug", "v", 1},
      {"exception", "Uncaught TypeError: x is not a function at f (http://a.test/x.js:3:9)", 1},
      {"info", "prompt dialog \"name?\" was accepted", 1},
  };
  EXPECT_EQ(page.take_console().entries, expected);
  const Drained<ConsoleEntry> problems = page.take_problems();
  ASSERT_EQ(problems.entries.size(), 2u);
  EXPECT_EQ(problems.entries[0].count, 50u);
  EXPECT_TRUE(page.take_console().entries.empty());
}

TEST(PageState, NetworkEventsTrackTheDocumentFailuresAndBounds) {
  PageState page;
  page.reset("main");
  page.apply("Page.frameStartedLoading", {{"frameId", "main"}}, kNow);
  page.apply("Page.frameStartedLoading", {{"frameId", "child"}}, kNow);
  EXPECT_FALSE(page.loaded());
  EXPECT_EQ(page.navigation_counter(), 1u);
  Json doc = request("D", "http://a.test/", 10.0, "Document");
  doc["loaderId"] = "D";
  page.apply("Network.requestWillBeSent", doc, kNow);
  // A redirect logs the first hop as finished with the redirect's status.
  Json hop = doc;
  hop["timestamp"] = 10.1;
  hop["request"]["url"] = "http://a.test/home";
  hop["redirectResponse"] = {{"status", 302}};
  page.apply("Network.requestWillBeSent", hop, kNow);
  page.apply("Network.responseReceived", {{"requestId", "D"}, {"response", {{"status", 200}}}},
             kNow);
  page.apply("Network.loadingFinished", {{"requestId", "D"}, {"timestamp", 10.35}}, kNow);
  page.apply("Network.requestWillBeSent", request("img", "http://a.test/missing.png", 11), kNow);
  page.apply("Network.responseReceived", {{"requestId", "img"}, {"response", {{"status", 404}}}},
             kNow);
  page.apply("Network.loadingFinished", {{"requestId", "img"}, {"timestamp", 11.0004}}, kNow);
  page.apply("Network.requestWillBeSent", request("x", "http://a.test/api", 12), kNow);
  page.apply("Network.loadingFailed",
             {{"requestId", "x"}, {"errorText", "net::ERR_ABORTED"}, {"canceled", true}}, kNow);
  page.apply("Network.requestWillBeSent", request("y", "http://down.test/", 12), kNow);
  page.apply("Network.loadingFailed",
             {{"requestId", "y"}, {"errorText", "net::ERR_NAME_NOT_RESOLVED"}}, kNow);
  page.apply("Network.requestWillBeSent", request("z", "http://a.test/slow", 13), kNow);
  page.apply("Page.frameNavigated", {{"frame", {{"id", "main"}, {"url", "http://a.test/home"}}}},
             kNow);
  page.apply("Page.frameNavigated",
             {{"frame", {{"id", "c"}, {"parentId", "main"}, {"url", "http://ad.test/"}}}}, kNow);
  page.apply("Page.navigatedWithinDocument",
             {{"frameId", "main"}, {"url", "http://a.test/home#top"}}, kNow);
  page.apply("Page.loadEventFired", Json::object(), kNow);

  EXPECT_TRUE(page.loaded());
  EXPECT_EQ(page.url(), "http://a.test/home#top");
  EXPECT_EQ(page.document_status(), 200);
  EXPECT_EQ(page.in_flight(), 1u);
  EXPECT_EQ(network_report(page.take_network()),
            "Requests since the last check (method, status, type, url, time):\n"
            "GET 302 Document http://a.test/ 100ms\n"
            "GET 200 Document http://a.test/home 250ms\n"
            "GET 404 Image http://a.test/missing.png 0ms\n"
            "GET failed Image http://a.test/api net::ERR_ABORTED\n"
            "GET failed Image http://down.test/ net::ERR_NAME_NOT_RESOLVED\n"
            "GET pending Image http://a.test/slow");
  // The canceled request logs no console entry; the 404 and the unresolved host do.
  EXPECT_EQ(console_report(page.take_console()),
            "Console since the last check (every level):\n"
            "failed: 404 GET http://a.test/missing.png\n"
            "failed: GET http://down.test/ net::ERR_NAME_NOT_RESOLVED");

  // A page that starts requests without end cannot grow the tables past their bounds.
  for (int i = 0; i < 5000; ++i) {
    page.apply("Network.requestWillBeSent", request("r" + std::to_string(i), "http://a.test/", 1),
               kNow);
  }
  EXPECT_LE(page.in_flight(), kInFlightLimit + 1);
  for (int i = 0; i < 300; ++i) {
    page.apply("Runtime.consoleAPICalled",
               {{"type", "log"}, {"args", {{{"type", "string"}, {"value", std::to_string(i)}}}}},
               kNow);
  }
  const Drained<ConsoleEntry> console = page.take_console();
  EXPECT_EQ(console.entries.size(), kConsoleLimit);
  EXPECT_EQ(console.dropped, 100u);
  EXPECT_EQ(console_lines(console, 200, "").substr(0, 38),
            "[... 100 earlier entries ...]\nlog: 100");
}

TEST(PageState, HostileEventsAreReadAsAbsentValues) {
  PageState page;
  page.reset("main");
  const Json junk[] = {nullptr,
                       5,
                       "text",
                       Json::array(),
                       {{"requestId", 5}},
                       {{"request", "x"}},
                       {{"args", "not a list"}},
                       {{"entry", 3}},
                       {{"frame", {{"url", 9}}}},
                       {{"exceptionDetails", {{"exception", 1}}}},
                       {{"response", {{"status", -3}}}}};
  for (const char* method :
       {"Page.loadEventFired", "Page.frameStartedLoading", "Page.frameNavigated",
        "Network.requestWillBeSent", "Network.responseReceived", "Network.loadingFinished",
        "Network.loadingFailed", "Runtime.consoleAPICalled", "Runtime.exceptionThrown",
        "Log.entryAdded", "Page.javascriptDialogOpening", "Unknown.event"}) {
    for (const Json& params : junk) page.apply(method, params, kNow);
  }
  // Nothing crashed; what was logged is plain text.
  for (const ConsoleEntry& entry : page.take_console().entries) EXPECT_FALSE(entry.level.empty());
}

}  // namespace
}  // namespace page_state_test
}  // namespace kavor::browser
